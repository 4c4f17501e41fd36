#include "Implementations/Logger.h"
#include "support/LogFiles.h"
#include "support/TemporaryHome.h"

#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace ulvarend {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::logFiles;
using ::testing::MatchesRegex;
using testing::readFile;
using testing::SettableClock;

const std::chrono::system_clock::time_point kNow{1'765'000'000s};

class LogFileTest : public ::testing::Test {
protected:
    std::filesystem::path directory() const { return home.stateHome() / "logs"; }

    std::shared_ptr<platform::LogOutput> output() {
        return platform::makeFileLogOutput(directory(), {}, SettableClock::of(clock));
    }

    std::string current() const { return readFile(directory() / logFiles(directory()).back()); }

    testing::TemporaryHome home;
    std::shared_ptr<SettableClock> clock = std::make_shared<SettableClock>(kNow);
};

TEST_F(LogFileTest, AgentLogGoesToTheStateFolderOwnerOnly) {
    {
        Logger logger(platform::makeLogOutput());
        logger.logInfo("App has not been setup.");
    }
    const auto folder = home.stateHome() / "ulvarend" / "logs";
    const auto files = logFiles(folder);
    ASSERT_EQ(files.size(), 1U);
    EXPECT_THAT(readFile(folder / files[0]), HasSubstr("[INFO] App has not been setup.\n"));
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700U);
    ASSERT_EQ(stat((folder / files[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
}

// /dev/log of this process only: in a mount namespace of its own, /dev gets a writable layer
// over it, where a socket of the test's listens. Needs root; `why` says what failed.
class PrivateSystemLog {
public:
    explicit PrivateSystemLog(const std::filesystem::path& folder)
        : layer(folder / "dev"), why(start()) {}
    ~PrivateSystemLog() {
        closelog();
        if (listening >= 0) {
            close(listening);
        }
        if (mounted) {
            umount2("/dev", MNT_DETACH);
        }
        umount2(layer.c_str(), MNT_DETACH);
    }

    // The messages that arrived within a second of the last one, as the system log got them.
    std::vector<std::string> messages() const {
        std::vector<std::string> got;
        pollfd ready{listening, POLLIN, 0};
        while (poll(&ready, 1, 1000) == 1) {
            char buffer[4096];
            const ssize_t n = recv(listening, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            got.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    std::string start() {
        const auto failed = [](const char* what) {
            return std::string(what) + ": " + std::strerror(errno);
        };
        std::filesystem::create_directories(layer);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return failed("no mount namespace of our own");
        }
        // Overlay's upper layer must be on a file system that can hold one, as tmpfs can.
        if (mount("tmpfs", layer.c_str(), "tmpfs", 0, "mode=0700") != 0) {
            return failed("no tmpfs");
        }
        std::filesystem::create_directories(layer / "upper");
        std::filesystem::create_directories(layer / "work");
        const std::string options = "lowerdir=/dev,upperdir=" + (layer / "upper").string() +
                                    ",workdir=" + (layer / "work").string();
        if (mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0) {
            return failed("no layer over /dev");
        }
        mounted = true;
        listening = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, "/dev/log");
        if (bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return failed("cannot listen on /dev/log");
        }
        return {};
    }

    std::filesystem::path layer;
    bool mounted = false;
    int listening = -1;

public:
    // Empty once /dev/log is ours; else what failed.
    const std::string why;
};

TEST_F(LogFileTest, AgentLogGoesToTheSystemLogEscapedAsInTheFile) {
    PrivateSystemLog systemLog(home.root());
    if (!systemLog.why.empty()) {
        GTEST_SKIP() << systemLog.why;
    }
    {
        Logger logger(platform::makeLogOutput());
        logger.logInfo("App has not been setup.");
        logger.logError("app\n<11>Jan  1 00:00:00 ulvarend[1]: forged\x1b[2J\xff");
    }
    // The system log stamps lines itself: priority (user, then info or error), time, name.
    const std::string from =
        R"([A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} ulvarend\[)" + std::to_string(getpid()) + R"(\]: )";
    EXPECT_THAT(systemLog.messages(),
                ElementsAre(MatchesRegex("<14>" + from + R"(\[INFO\] App has not been setup\.)"),
                            MatchesRegex("<11>" + from +
                                         R"(\[ERROR\] app\\x0A<11>Jan  1 )"
                                         R"(00:00:00 ulvarend\[1\]: )"
                                         R"(forged\\x1B\[2J\\xFF)")));
}

TEST_F(LogFileTest, LinesCarryATimeStampAndErrorsAreWrittenBeforeTheCallReturns) {
    Logger logger(output());
    logger.logInfo("first");
    logger.logInfo("");
    logger.logError("second");
    // Text from outside (a window class, a name from a link) cannot forge a line of its own.
    // Nor show reversed or hide a part: bidirectional controls, zero-width and C1 characters.
    logger.logInfo("app\n2026-01-01 00:00:00.000 +00:00 [ERROR] forged\r\x1b[2J\xff\xc3 Åse\x7f"
                   " \u202Egnp.exe\u200B\u2066\u0085\u200A");
    logger.logError("third");
    // No flush: the error is on disk, and the info lines queued before it precede it.
    std::istringstream text(current());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    // The test's clock, in local time, to the millisecond.
    const std::string stamp = R"([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.000 )"
                              R"([+-][0-9]{2}:[0-9]{2} )";
    EXPECT_THAT(lines, ElementsAre(MatchesRegex(stamp + R"(\[INFO\] first)"),
                                   MatchesRegex(stamp + R"(\[INFO\] )"),
                                   MatchesRegex(stamp + R"(\[ERROR\] second)"), ::testing::_,
                                   MatchesRegex(stamp + R"(\[ERROR\] third)")));
    EXPECT_THAT(lines.at(3),
                ::testing::EndsWith(R"([INFO] app\x0A2026-01-01 00:00:00.000 +00:00 [ERROR] )"
                                    R"(forged\x0D\x1B[2J\xFF\xC3 Åse\x7F )"
                                    R"(\xE2\x80\xAEgnp.exe\xE2\x80\x8B\xE2\x81\xA6\xC2\x85)"
                                    "\u200A"));
}

TEST_F(LogFileTest, CurrentFileIsKeptUntilSevenDaysOldAcrossRestarts) {
    std::filesystem::create_directories(directory());
    const auto young = platform::logFileName(kNow - 7 * 24h + 1s);
    testing::writeFile(directory() / young, "earlier run\n");
    {
        Logger logger(output());
        logger.logInfo("appended");
    }
    EXPECT_THAT(logFiles(directory()), ElementsAre(young));
    EXPECT_THAT(readFile(directory() / young), HasSubstr("earlier run\n"));
    EXPECT_THAT(readFile(directory() / young), HasSubstr("[INFO] appended\n"));

    clock->advance(1s);
    {
        Logger logger(output());
        logger.logInfo("rolled");
    }
    EXPECT_THAT(logFiles(directory()), ElementsAre(young, platform::logFileName(kNow + 1s)));
    EXPECT_THAT(current(), HasSubstr("[INFO] rolled\n"));
    EXPECT_THAT(readFile(directory() / young), ::testing::Not(HasSubstr("rolled")));
}

TEST_F(LogFileTest, RunningFileRollsWhenItReachesSevenDays) {
    Logger logger(output());
    logger.logInfo("week one");
    clock->advance(7 * 24h);
    logger.logError("week two");
    EXPECT_THAT(logFiles(directory()),
                ElementsAre(platform::logFileName(kNow), platform::logFileName(kNow + 7 * 24h)));
    EXPECT_THAT(current(), HasSubstr("[ERROR] week two\n"));
    EXPECT_THAT(current(), ::testing::Not(HasSubstr("week one")));
}

TEST_F(LogFileTest, AFileThatReachesItsSizeLimitRollsEvenWithinOneSecond) {
    EXPECT_LE(platform::LogFileRolling{}.maximumBytes, 64u * 1024 * 1024);
    platform::LogFileRolling small;
    small.maximumBytes = 1000;
    {
        Logger logger(platform::makeFileLogOutput(directory(), small, SettableClock::of(clock)));
        for (int i = 0; i < 100; ++i) {
            logger.logInfo("line " + std::to_string(i) + std::string(80, '.'));
        }
        clock->advance(1s);
        logger.logInfo("last");
    }
    const auto files = logFiles(directory());
    EXPECT_EQ(files.size(), small.maximumFiles);
    for (const auto& name : files) {
        EXPECT_LE(std::filesystem::file_size(directory() / name), small.maximumBytes) << name;
    }
    EXPECT_THAT(current(), HasSubstr("[INFO] last\n"));
    std::string kept;
    for (const auto& name : files) {
        kept += readFile(directory() / name);
    }
    EXPECT_THAT(kept, HasSubstr("[INFO] line 99."));
    EXPECT_THAT(kept, ::testing::Not(HasSubstr("[INFO] line 0.")));
}

TEST_F(LogFileTest, AtMostSevenFilesAreKeptAndOthersAreLeftAlone) {
    std::filesystem::create_directories(directory());
    std::vector<std::string> old;
    for (int week = 10; week >= 1; --week) {
        old.push_back(platform::logFileName(kNow - week * 7 * 24h));
        testing::writeFile(directory() / old.back(), "old\n");
    }
    testing::writeFile(directory() / "notes.txt", "not ours\n");
    {
        Logger logger(output());
        logger.logInfo("new");
    }
    const auto files = logFiles(directory());
    ASSERT_EQ(files.size(), 7U);
    EXPECT_EQ(files.front(), old[4]);
    EXPECT_EQ(files.back(), platform::logFileName(kNow));
    EXPECT_TRUE(std::filesystem::exists(directory() / "notes.txt"));
}

TEST_F(LogFileTest, FileStartedInTheFutureIsReplaced) {
    // After the clock was set back the newest name lies ahead; it must not hold every line
    // until the clock catches up.
    std::filesystem::create_directories(directory());
    const auto ahead = platform::logFileName(kNow + 30 * 24h);
    testing::writeFile(directory() / ahead, "");
    {
        Logger logger(output());
        logger.logInfo("today");
    }
    EXPECT_THAT(readFile(directory() / platform::logFileName(kNow)), HasSubstr("today"));
}

} // namespace
} // namespace ulvarend
