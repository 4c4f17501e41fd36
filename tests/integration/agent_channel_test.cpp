#include "platform/AgentChannel.h"
#include "support/ChildProcess.h"
#include "support/TemporaryHome.h"

#include <QCoreApplication>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace ulvarend::platform {
namespace {

using ulvarend::testing::TemporaryHome;
using ulvarend::testing::waitUntil;

// Writes `bytes` to the agent's socket as a raw peer would and returns what came back.
std::string sendRaw(const std::filesystem::path& socketPath, const std::string& bytes,
                    bool closeWriting = true) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return "connect failed";
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    if (closeWriting) {
        shutdown(fd, SHUT_WR);
    }
    std::string answer;
    char buffer[64];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return answer;
}

class AgentChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        home.set("XDG_RUNTIME_DIR", home.root() / "run");
        std::filesystem::create_directory(home.root() / "run");
    }

    std::filesystem::path socketPath() const { return home.root() / "run/ulvarend/agent.socket"; }

    // Runs the event loop until `work`, on a thread of its own, has finished.
    template <class Work> auto whileServing(Work work) {
        auto result = std::async(std::launch::async, work);
        waitUntil(
            [&] { return result.wait_for(std::chrono::seconds{0}) == std::future_status::ready; },
            [] { QCoreApplication::processEvents(); }, std::chrono::seconds{30});
        // Let the link's own delivery, queued behind the answer, run too.
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents();
        }
        return result.get();
    }

    // A channel that keeps what arrives in `links` and `errors`.
    std::unique_ptr<AgentChannel> openChannel(const AgentLock& lock) {
        std::string error;
        auto channel = openAgentChannel(
            lock, [this](const std::string& url) { links.push_back(url); },
            [this] { ++startedAgain; }, [this](const std::string& e) { errors.push_back(e); },
            &error);
        EXPECT_TRUE(channel) << error;
        return channel;
    }

    // What a later invocation is told: nothing once the agent took the link, else why not.
    static std::string handOver(const std::string& url) {
        std::string whyNot;
        return handOverToAgent(url, &whyNot) ? "" : whyNot;
    }

    TemporaryHome home;
    int argc = 1;
    char name[9] = "ulvarend";
    char* argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    std::vector<std::string> links;
    std::vector<std::string> errors;
    int startedAgain = 0;
};

TEST_F(AgentChannelTest, OneAgentPerUserTakesLinksFromLaterInvocations) {
    std::string whyNot;
    auto lock = claimAgent(&whyNot);
    ASSERT_TRUE(lock) << whyNot;
    struct stat info {};
    ASSERT_EQ(stat((home.stateHome() / "ulvarend").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(claimAgent(&whyNot));
    EXPECT_EQ(whyNot, "") << "held by another claim, not failed";

    // A socket left behind by an agent that died is replaced.
    std::filesystem::create_directories(socketPath().parent_path());
    std::ofstream(socketPath()) << "stale";
    auto channel = openChannel(*lock);
    ASSERT_TRUE(channel);
    ASSERT_EQ(stat(socketPath().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    EXPECT_EQ(whileServing([] { return handOver("ulvarend://setup?data=QUJD%3D"); }), "");
    EXPECT_EQ(startedAgain, 0);
    EXPECT_EQ(whileServing([] { return handOver(""); }), "") << "started again, no link";
    EXPECT_EQ(links, std::vector<std::string>{"ulvarend://setup?data=QUJD%3D"});
    EXPECT_EQ(startedAgain, 1);
    EXPECT_TRUE(errors.empty());

    // Once the agent is gone another process may become it.
    channel.reset();
    lock.reset();
    EXPECT_TRUE(claimAgent(&whyNot)) << whyNot;
}

TEST_F(AgentChannelTest, BadMessagesAreDroppedAndLoggedAndTheAgentGoesOn) {
    std::string whyNot;
    auto lock = claimAgent(&whyNot);
    ASSERT_TRUE(lock) << whyNot;
    auto channel = openChannel(*lock);
    ASSERT_TRUE(channel);
    const auto path = socketPath();

    EXPECT_EQ(whileServing([&] { return sendRaw(path, std::string(20000, 'a')); }), "");
    EXPECT_EQ(whileServing([&] { return sendRaw(path, "one\ntwo\n"); }), "");
    EXPECT_EQ(whileServing([&] { return sendRaw(path, "ulvarend://\xff\xfe\n"); }), "");
    EXPECT_EQ(whileServing([&] { return sendRaw(path, "ulvarend://a\tb\n"); }), "");
    EXPECT_EQ(whileServing([&] { return sendRaw(path, "ulvarend://cut"); }), "");
    // A peer that keeps the connection open without finishing its line is cut off after five
    // seconds: not at once, and not only when it gives up.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(whileServing([&] { return sendRaw(path, "ulvarend://slow", false); }), "");
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, std::chrono::seconds{4});
    EXPECT_LT(waited, std::chrono::seconds{20});
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "Dropped a setup link message longer than 16384 bytes",
                          "Dropped a setup link message of more than one line",
                          "Dropped a setup link message that is not UTF-8 text: ulvarend://??",
                          "Dropped a setup link message with control characters: ulvarend://a?b",
                          "Dropped a setup link message that ended without a line break",
                          "Dropped a setup link message that did not arrive within 5 seconds",
                      }));
    EXPECT_TRUE(links.empty());

    EXPECT_EQ(whileServing([&] { return sendRaw(path, "ulvarend://ok\n"); }), "ok\n");
    EXPECT_EQ(links, std::vector<std::string>{"ulvarend://ok"});
    EXPECT_EQ(handOver(std::string(kAgentMessageLimit, 'x')),
              "The link is longer than 16383 bytes");
}

// Without a runtime folder of this user's own, the socket lives in the agent's state folder,
// which no other user can make first; a path too long for a socket address is reached through
// its folder.
TEST_F(AgentChannelTest, AFolderAnotherUserMadeFirstOrALongPathStillLetsLinksReachTheAgent) {
    const auto folder = socketPath().parent_path();
    const auto elsewhere = home.root() / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    chmod(elsewhere.c_str(), 0700);
    const auto deep = home.root() / std::string(60, 'd') / std::string(60, 'e');
    // Another local user got there first, or put a link to a folder of their choosing there;
    // or there is no runtime folder at all, and the state folder lies deep.
    const std::vector<std::function<void()>> spoilers{
        [&] {
            std::filesystem::create_directory(folder);
            ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0) << "needs root";
        },
        [&] { std::filesystem::create_directory_symlink(elsewhere, folder); },
        [&] {
            home.set("XDG_RUNTIME_DIR", "");
            home.set("XDG_STATE_HOME", deep);
        }};
    for (const auto& spoil : spoilers) {
        std::filesystem::remove_all(folder);
        spoil();
        std::string whyNot;
        auto lock = claimAgent(&whyNot);
        ASSERT_TRUE(lock) << whyNot;
        EXPECT_FALSE(claimAgent(&whyNot)) << "a second agent while the first runs";
        EXPECT_EQ(whyNot, "");
        auto channel = openChannel(*lock);
        ASSERT_TRUE(channel);
        EXPECT_EQ(whileServing([] { return handOver("ulvarend://setup?data=QUJD%3D"); }), "");
        struct stat info {};
        ASSERT_EQ(lstat((lock->directory() / "agent.socket").c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    EXPECT_GT((deep / "ulvarend/agent.socket").string().size(), sizeof(sockaddr_un{}.sun_path));
    EXPECT_EQ(links, std::vector<std::string>(3, "ulvarend://setup?data=QUJD%3D"));
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "agent.lock"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "agent.socket"));
}

TEST_F(AgentChannelTest, ALinkFromAnotherUserIsRefused) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    std::string whyNot;
    auto lock = claimAgent(&whyNot);
    ASSERT_TRUE(lock) << whyNot;
    auto channel = openChannel(*lock);
    ASSERT_TRUE(channel);
    // Open the folder and socket so that only the peer check stands in the way.
    chmod(home.root().c_str(), 0755);
    chmod((home.root() / "run").c_str(), 0755);
    chmod(socketPath().parent_path().c_str(), 0755);
    chmod(socketPath().c_str(), 0777);
    const auto path = socketPath();
    const int status = whileServing([&] {
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(3);
            }
            _exit(sendRaw(path, "ulvarend://forged\n") == "ok\n" ? 1 : 0);
        }
        int childStatus = 0;
        waitpid(child, &childStatus, 0);
        return childStatus;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(errors, std::vector<std::string>{"Refused a setup link from user id 65534"});
    EXPECT_TRUE(links.empty());
}

} // namespace
} // namespace ulvarend::platform
