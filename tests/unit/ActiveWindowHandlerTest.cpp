#include "Implementations/ActiveWindowHandler.h"

#include "support/Mocks.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ulvarend::testing;
using platform::FrontmostApplication;

class ActiveWindowHandlerTest : public ::testing::Test {
protected:
    const TimePoint start = TimePoint{hours{24 * 19000} + hours{10}};
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(start);
    std::shared_ptr<FakeFrontmostSource> frontmost = std::make_shared<FakeFrontmostSource>();
    ActiveWindowHandler handler{clock, frontmost};

    system_clock::duration lastLook = -1s;
    std::optional<FrontmostApplication> lastAnswer;

    // One poll at `at` with `app` in front (nullopt: an application without an identifier),
    // after a poll every second since the last one with the same window in front as then.
    std::optional<ActiveWindow> lookAt(system_clock::duration at, std::optional<std::string> app) {
        return see(at, FrontmostApplication{std::move(app)});
    }
    std::optional<ActiveWindow> see(system_clock::duration at,
                                    std::optional<FrontmostApplication> answer) {
        for (auto between = lastLook + 1s; lastLook >= 0s && between < at; between += 1s) {
            EXPECT_EQ(jumpTo(between, lastAnswer), std::nullopt) << "quiet poll";
        }
        return jumpTo(at, std::move(answer));
    }
    // One poll at `at`, with no polls since the last one.
    std::optional<ActiveWindow> jumpTo(system_clock::duration at,
                                       std::optional<FrontmostApplication> answer) {
        clock->set(start + at);
        lastLook = at;
        lastAnswer = answer;
        frontmost->answer = std::move(answer);
        return handler.updateActiveWindow();
    }
    std::optional<ActiveWindow> closeAt(system_clock::duration at) {
        clock->set(start + at);
        return handler.closeActiveWindow();
    }
};

const std::optional<FrontmostApplication> kNothing = std::nullopt;

TEST_F(ActiveWindowHandlerTest, ASessionIsReturnedWhenAnotherApplicationComesToTheFront) {
    EXPECT_EQ(lookAt(0s, "firefox"), std::nullopt);
    EXPECT_EQ(lookAt(1s, "firefox"), std::nullopt);
    EXPECT_EQ(lookAt(2min, "firefox"), std::nullopt);
    EXPECT_EQ(lookAt(5min, "org.gnome.Terminal"), (ActiveWindow{"firefox", start, start + 5min}));
    EXPECT_EQ(lookAt(6min, "firefox"),
              (ActiveWindow{"org.gnome.Terminal", start + 5min, start + 6min}));
}

TEST_F(ActiveWindowHandlerTest, NothingInFrontEndsTheSessionAtTheFirstLookThatFindsIt) {
    EXPECT_EQ(see(0s, kNothing), std::nullopt); // nothing opened yet
    EXPECT_EQ(lookAt(1s, "firefox"), std::nullopt);
    EXPECT_EQ(see(30s, kNothing), std::nullopt); // may be the focus passing between windows
    EXPECT_EQ(see(31s, kNothing), (ActiveWindow{"firefox", start + 1s, start + 30s}));
    EXPECT_EQ(see(2min, kNothing), std::nullopt);
    EXPECT_EQ(lookAt(2min + 1s, "gimp"), std::nullopt);
    EXPECT_EQ(lookAt(3min, "firefox"), (ActiveWindow{"gimp", start + 2min + 1s, start + 3min}));
}

TEST_F(ActiveWindowHandlerTest, NothingInFrontForOneLookSettlesOnWhatComesNext) {
    lookAt(0s, "firefox");
    // Back to the same application: one session, not two.
    EXPECT_EQ(see(10s, kNothing), std::nullopt);
    EXPECT_EQ(lookAt(11s, "firefox"), std::nullopt);
    // Another application: the first ended when the focus left it.
    EXPECT_EQ(see(20s, kNothing), std::nullopt);
    EXPECT_EQ(lookAt(21s, "gimp"), (ActiveWindow{"firefox", start, start + 20s}));
    EXPECT_EQ(lookAt(30s, "firefox"), (ActiveWindow{"gimp", start + 21s, start + 30s}));
}

TEST_F(ActiveWindowHandlerTest, AGapBetweenLooksEndsTheSessionAtTheLookBeforeIt) {
    struct Case {
        const char* what;
        system_clock::duration resumedAt;
    };
    const Case cases[] = {
        {"suspended for an hour", 1h + 10s},
        {"clock set back", -1h},
        {"just over the longest gap", 10s + ActiveWindowHandler::kLongestLookGap + 1ms},
    };
    for (const auto& c : cases) {
        ActiveWindowHandler fresh{clock, frontmost};
        frontmost->answer = FrontmostApplication{"firefox"};
        for (auto at = 0s; at <= 10s; at += 1s) {
            clock->set(start + at);
            EXPECT_EQ(fresh.updateActiveWindow(), std::nullopt) << c.what;
        }
        clock->set(start + c.resumedAt);
        EXPECT_EQ(fresh.updateActiveWindow(), (ActiveWindow{"firefox", start, start + 10s}))
            << c.what;
        // The same application is still in front after it: a new session, from then.
        clock->set(start + c.resumedAt + 1s);
        frontmost->answer = FrontmostApplication{"gimp"};
        EXPECT_EQ(fresh.updateActiveWindow(),
                  (ActiveWindow{"firefox", start + c.resumedAt, start + c.resumedAt + 1s}))
            << c.what;
    }
    // Looks that only come late, as on a loaded machine, are no gap.
    lookAt(0s, "firefox");
    EXPECT_EQ(jumpTo(ActiveWindowHandler::kLongestLookGap, FrontmostApplication{"firefox"}),
              std::nullopt);
    EXPECT_EQ(lookAt(ActiveWindowHandler::kLongestLookGap + 1s, "gimp"),
              (ActiveWindow{"firefox", start, start + ActiveWindowHandler::kLongestLookGap + 1s}));
}

TEST_F(ActiveWindowHandlerTest, ClosingEndsTheOpenSessionNowOrAtTheLastLookBeforeAGap) {
    EXPECT_EQ(closeAt(0s), std::nullopt); // nothing open
    lookAt(0s, "firefox");
    lookAt(10s, "firefox");
    EXPECT_EQ(closeAt(10s + 500ms), (ActiveWindow{"firefox", start, start + 10s + 500ms}));
    EXPECT_EQ(closeAt(11s), std::nullopt);
    // The next look opens a new session.
    EXPECT_EQ(jumpTo(12s, FrontmostApplication{"firefox"}), std::nullopt);
    lookAt(20s, "firefox");
    // Told of the sleep only after the resume.
    EXPECT_EQ(closeAt(2h), (ActiveWindow{"firefox", start + 12s, start + 20s}));
    jumpTo(2h + 1s, FrontmostApplication{"gimp"});
    EXPECT_EQ(see(2h + 5s, kNothing), std::nullopt);
    EXPECT_EQ(closeAt(2h + 5s + 300ms), (ActiveWindow{"gimp", start + 2h + 1s, start + 2h + 5s}));
    jumpTo(2h + 6s, FrontmostApplication{std::nullopt, true});
    EXPECT_EQ(closeAt(2h + 7s), std::nullopt) << "the lock screen's session is never handed back";
}

TEST_F(ActiveWindowHandlerTest, LockScreenSessionsAreNeverHandedBackWhateverAppsCallThemselves) {
    const auto lockAt = [this](system_clock::duration at) {
        return see(at, FrontmostApplication{std::nullopt, true});
    };
    lookAt(0s, "firefox");
    EXPECT_EQ(lockAt(10s), (ActiveWindow{"firefox", start, start + 10s}));
    EXPECT_EQ(lockAt(20s), std::nullopt);
    EXPECT_EQ(lookAt(60s, "gimp"), std::nullopt);
    EXPECT_EQ(lookAt(63s, "firefox"), (ActiveWindow{"gimp", start + 60s, start + 63s}));
    // A program that names itself as the lock screen once was is recorded like any other.
    EXPECT_EQ(lookAt(120s, "(lock screen)"), (ActiveWindow{"firefox", start + 63s, start + 120s}));
    EXPECT_EQ(lockAt(180s), (ActiveWindow{"(lock screen)", start + 120s, start + 180s}));
    EXPECT_EQ(lookAt(240s, "(lock screen)"), std::nullopt);
    EXPECT_EQ(lookAt(300s, "gimp"), (ActiveWindow{"(lock screen)", start + 240s, start + 300s}));
}

TEST_F(ActiveWindowHandlerTest, AnApplicationWithoutIdentifierEndsTheSessionOnEveryLook) {
    EXPECT_EQ(lookAt(0s, std::nullopt), std::nullopt);
    EXPECT_EQ(lookAt(1s, std::nullopt), (ActiveWindow{"ukendt-applikation", start, start + 1s}));
    EXPECT_EQ(lookAt(2s, std::nullopt),
              (ActiveWindow{"ukendt-applikation", start + 1s, start + 2s}));
    // An application whose identifier really reads so continues the open session.
    EXPECT_EQ(lookAt(3s, "ukendt-applikation"), std::nullopt);
    EXPECT_EQ(lookAt(4s, "gimp"), (ActiveWindow{"ukendt-applikation", start + 2s, start + 4s}));
}

TEST_F(ActiveWindowHandlerTest, AnApplicationWithoutIdentifierIsOneSessionWhileItsWindowStays) {
    const auto unnamedIn = [](const char* window) {
        return FrontmostApplication{std::nullopt, false, window};
    };
    EXPECT_EQ(see(0s, unnamedIn("x11:1")), std::nullopt);
    EXPECT_EQ(see(30s, unnamedIn("x11:1")), std::nullopt);
    // Another window without an identifier is another session.
    EXPECT_EQ(see(31s, unnamedIn("x11:2")),
              (ActiveWindow{"ukendt-applikation", start, start + 31s}));
    // A named application in the same window is not the unnamed one.
    EXPECT_EQ(jumpTo(32s, FrontmostApplication{"gimp", false, "x11:2"}),
              (ActiveWindow{"ukendt-applikation", start + 31s, start + 32s}));
    EXPECT_EQ(see(33s, unnamedIn("x11:2")), (ActiveWindow{"gimp", start + 32s, start + 33s}));
    EXPECT_EQ(see(40s, kNothing), std::nullopt);
    EXPECT_EQ(see(41s, unnamedIn("x11:2")), std::nullopt) << "the focus passed through nothing";
    EXPECT_EQ(see(50s, unnamedIn("x11:2")), std::nullopt);
    EXPECT_EQ(closeAt(51s), (ActiveWindow{"ukendt-applikation", start + 33s, start + 51s}));
}

TEST_F(ActiveWindowHandlerTest, OverlappingPollersEachCloseASessionOnce) {
    // Two loops polling while the front application alternates: every closed session must be
    // handed back exactly once, and sessions must tile the time without gaps.
    std::mutex resultsMutex;
    std::vector<ActiveWindow> closed;
    class AlternatingFrontmostSource : public platform::FrontmostApplicationSource {
    public:
        std::atomic<int> n{0};
        std::optional<FrontmostApplication> frontmostApplication() override {
            return FrontmostApplication{(n++ % 2) == 0 ? "a" : "b"};
        }
    };
    auto alternating = std::make_shared<AlternatingFrontmostSource>();
    clock->setStep(milliseconds{1});
    ActiveWindowHandler shared{clock, alternating};
    auto pollShared = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            if (auto window = shared.updateActiveWindow()) {
                std::lock_guard lock(resultsMutex);
                closed.push_back(*window);
            }
        }
    };
    std::thread first(pollShared, 500);
    std::thread second(pollShared, 500);
    first.join();
    second.join();
    ASSERT_EQ(closed.size(), 999u);
    std::sort(closed.begin(), closed.end(),
              [](const auto& l, const auto& r) { return l.startTime < r.startTime; });
    for (std::size_t i = 1; i < closed.size(); ++i) {
        EXPECT_EQ(closed[i].startTime, *closed[i - 1].endTime);
    }
}

} // namespace
} // namespace ulvarend
