#include "platform/Reachability.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace ulvarend::platform {
namespace {

using namespace std::chrono_literals;

// Collects the callbacks in the order they arrive from the monitor's thread.
class Announcements {
public:
    void attach(Reachability& reachability) {
        reachability.setWhenReachable([this] { add("reachable"); });
        reachability.setWhenUnreachable([this] { add("unreachable"); });
    }

    // Waits until `count` announcements have arrived and returns all of them.
    std::vector<std::string> awaitCount(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] { return received.size() >= count; });
        return received;
    }

    std::vector<std::string> now() {
        std::lock_guard lock(mutex);
        return received;
    }

private:
    void add(std::string what) {
        std::lock_guard lock(mutex);
        received.push_back(std::move(what));
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> received;
};

std::string expectedFor(Connection connection) {
    return connection == Connection::connected ? "reachable" : "unreachable";
}

TEST(GioReachability, AnnouncesTheStateFoundAtStartOnceAndAgreesWithConnection) {
    std::string whyNot;
    auto reachability = makeGioReachability(&whyNot);
    ASSERT_NE(reachability, nullptr) << whyNot;
    Announcements announcements;
    announcements.attach(*reachability);

    EXPECT_TRUE(reachability->startNotifier(nullptr));
    EXPECT_TRUE(reachability->startNotifier(nullptr));

    auto received = announcements.awaitCount(1);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received.front(), expectedFor(reachability->connection()));
    // A second start and the quiet network after it must not repeat the announcement: only
    // time passing can show that nothing more comes.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(announcements.now().size(), 1u);
}

TEST(GioReachability, NothingIsAnnouncedBeforeTheNotifierStartsAndTeardownIsClean) {
    Announcements announcements;
    {
        auto reachability = makeGioReachability(nullptr);
        ASSERT_NE(reachability, nullptr);
        announcements.attach(*reachability);
        // Silence is what is checked: the time an announcement would have had to come.
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(announcements.now().empty());
    // Monitors made one after another each get their own announcements.
    for (int i = 0; i < 3; ++i) {
        Announcements again;
        auto reachability = makeGioReachability(nullptr);
        ASSERT_NE(reachability, nullptr);
        again.attach(*reachability);
        reachability->startNotifier(nullptr);
        EXPECT_EQ(again.awaitCount(1).size(), 1u);
    }
}

constexpr const char* kInsideNamespace = "ULVAREND_REACHABILITY_INSIDE_NETNS";

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the test below in a private network namespace, whose routes belong to it alone.
TEST(GioReachability, FollowsTheDefaultRouteOfAPrivateNetworkNamespace) {
    if (run("unshare -n ip link set lo up >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no private network namespace can be made here";
    }
    auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    auto command = std::string(kInsideNamespace) + "=1 unshare -n '" + self +
                   "' --gtest_filter=GioReachabilityInNamespace.*";
    EXPECT_EQ(run(command), 0);
}

TEST(GioReachabilityInNamespace, AnnouncesEachChangeOfTheDefaultRouteOnce) {
    if (std::getenv(kInsideNamespace) == nullptr) {
        GTEST_SKIP() << "runs only inside the namespace the test above makes";
    }
    ASSERT_EQ(run("ip link set lo up"), 0);
    auto reachability = makeGioReachability(nullptr);
    ASSERT_NE(reachability, nullptr);
    Announcements announcements;
    announcements.attach(*reachability);
    reachability->startNotifier(nullptr);

    using List = std::vector<std::string>;
    ASSERT_EQ(announcements.awaitCount(1), List({"unreachable"}));
    EXPECT_EQ(reachability->connection(), Connection::unavailable);

    ASSERT_EQ(run("ip route add default dev lo"), 0);
    ASSERT_EQ(announcements.awaitCount(2), List({"unreachable", "reachable"}));
    EXPECT_EQ(reachability->connection(), Connection::connected);

    // Another route changes the network but not whether it can be reached: an announcement of
    // it would come before the next one, which the whole list below would show.
    ASSERT_EQ(run("ip route add 10.77.0.0/24 dev lo"), 0);

    ASSERT_EQ(run("ip route del default dev lo"), 0);
    ASSERT_EQ(announcements.awaitCount(3), List({"unreachable", "reachable", "unreachable"}));
    EXPECT_EQ(reachability->connection(), Connection::unavailable);

    ASSERT_EQ(run("ip route add default dev lo"), 0);
    EXPECT_EQ(announcements.awaitCount(4).back(), "reachable");
    // Silence after the last change: only time passing can show that nothing more comes.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(announcements.now().size(), 4u);
}

} // namespace
} // namespace ulvarend::platform
