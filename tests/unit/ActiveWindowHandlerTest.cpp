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

class ScriptedFrontmostSource : public platform::FrontmostApplicationSource {
public:
    std::optional<FrontmostApplication> answer;
    std::optional<FrontmostApplication> frontmostApplication() override { return answer; }
};

class ActiveWindowHandlerTest : public ::testing::Test {
protected:
    const TimePoint start = TimePoint{hours{24 * 19000} + hours{10}};
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(start);
    std::shared_ptr<ScriptedFrontmostSource> frontmost =
        std::make_shared<ScriptedFrontmostSource>();
    ActiveWindowHandler handler{clock, frontmost};

    // One poll at `at` with `app` in front (nullopt: an application without an identifier).
    std::optional<ActiveWindow> lookAt(system_clock::duration at, std::optional<std::string> app) {
        clock->set(start + at);
        frontmost->answer = FrontmostApplication{std::move(app)};
        return handler.updateActiveWindow();
    }
};

TEST_F(ActiveWindowHandlerTest, ASessionIsReturnedWhenAnotherApplicationComesToTheFront) {
    EXPECT_EQ(lookAt(0s, "firefox"), std::nullopt);
    EXPECT_EQ(lookAt(1s, "firefox"), std::nullopt);
    EXPECT_EQ(lookAt(2min, "firefox"), std::nullopt);
    EXPECT_EQ(lookAt(5min, "org.gnome.Terminal"), (ActiveWindow{"firefox", start, start + 5min}));
    EXPECT_EQ(lookAt(6min, "firefox"),
              (ActiveWindow{"org.gnome.Terminal", start + 5min, start + 6min}));
}

TEST_F(ActiveWindowHandlerTest, NoFrontmostApplicationLeavesTheSessionOpen) {
    frontmost->answer = std::nullopt;
    EXPECT_EQ(handler.updateActiveWindow(), std::nullopt); // nothing opened yet
    EXPECT_EQ(lookAt(1s, "firefox"), std::nullopt);
    frontmost->answer = std::nullopt;
    clock->set(start + 30s);
    EXPECT_EQ(handler.updateActiveWindow(), std::nullopt);
    EXPECT_EQ(lookAt(40s, "gimp"), (ActiveWindow{"firefox", start + 1s, start + 40s}));
}

TEST_F(ActiveWindowHandlerTest, LockScreenSessionsAreNeverHandedBackWhateverAppsCallThemselves) {
    const auto lockAt = [this](system_clock::duration at) {
        clock->set(start + at);
        frontmost->answer = FrontmostApplication{std::nullopt, true};
        return handler.updateActiveWindow();
    };
    lookAt(0s, "firefox");
    EXPECT_EQ(lockAt(10s), (ActiveWindow{"firefox", start, start + 10s}));
    EXPECT_EQ(lockAt(20s), std::nullopt);
    EXPECT_EQ(lookAt(1h, "gimp"), std::nullopt);
    EXPECT_EQ(lookAt(1h + 3s, "firefox"), (ActiveWindow{"gimp", start + 1h, start + 1h + 3s}));
    // A program that names itself as the lock screen once was is recorded like any other.
    EXPECT_EQ(lookAt(2h, "(lock screen)"), (ActiveWindow{"firefox", start + 1h + 3s, start + 2h}));
    EXPECT_EQ(lockAt(3h), (ActiveWindow{"(lock screen)", start + 2h, start + 3h}));
    EXPECT_EQ(lookAt(4h, "(lock screen)"), std::nullopt);
    EXPECT_EQ(lookAt(5h, "gimp"), (ActiveWindow{"(lock screen)", start + 4h, start + 5h}));
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
