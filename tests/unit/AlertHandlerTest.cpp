#include "Implementations/AlertHandler.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ulvarend::testing;

// Answers with a scripted button and lets the clock run while the alert is "open".
class ScriptedPresenter : public platform::AlertPresenter {
public:
    explicit ScriptedPresenter(FakeClock& clock) : clock(clock) {}
    std::optional<std::size_t> answer;
    milliseconds openFor{1000};
    std::vector<platform::Alert> shown;
    std::optional<std::size_t> runModal(const platform::Alert& alert) override {
        shown.push_back(alert);
        clock.advance(openFor);
        return answer;
    }
    FakeClock& clock;
};

class AlertHandlerTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<ScriptedPresenter> presenter = std::make_shared<ScriptedPresenter>(*clock);
    AlertHandler alerts{clock, presenter};
};

TEST_F(AlertHandlerTest, TheQuestionNamesTheUserAndOnlyTheSecondButtonMeansSwitch) {
    presenter->answer = 1;
    EXPECT_TRUE(alerts.showCurrentUserAlert("Åse Ærø"));
    const auto& alert = presenter->shown.at(0);
    EXPECT_EQ(alert.messageText, "Er du Åse Ærø?");
    EXPECT_EQ(alert.informativeText, "Hvis ikke, så skift nuværende bruger.");
    EXPECT_EQ(alert.style, platform::AlertStyle::informational);
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Ja, det er mig", "Nej, skift bruger"}));
    EXPECT_EQ(alert.closeAfter, seconds{5});

    clock->advance(seconds{10});
    presenter->answer = 0;
    EXPECT_FALSE(alerts.showCurrentUserAlert("Bo"));
    clock->advance(seconds{10});
    presenter->answer = std::nullopt; // closed by itself
    EXPECT_FALSE(alerts.showCurrentUserAlert("Bo"));
    EXPECT_EQ(presenter->shown.size(), 3u);
}

TEST_F(AlertHandlerTest, TheQuestionWaitsFiveSecondsCountedFromWhenItClosed) {
    presenter->openFor = seconds{3};
    alerts.showCurrentUserAlert("Anna"); // closes 3 s after it opened
    clock->advance(milliseconds{4999});
    presenter->answer = 1;
    EXPECT_FALSE(alerts.showCurrentUserAlert("Anna"));
    EXPECT_EQ(presenter->shown.size(), 1u);
    clock->advance(milliseconds{1});
    EXPECT_TRUE(alerts.showCurrentUserAlert("Anna"));
    EXPECT_EQ(presenter->shown.size(), 2u);
}

TEST_F(AlertHandlerTest, AClockSetBackOnlyByAMomentStillCountsAsJustNow) {
    presenter->openFor = milliseconds{0};
    alerts.showCurrentUserAlert("Anna");
    clock->advance(-microseconds{500});
    EXPECT_FALSE(alerts.showCurrentUserAlert("Anna"));
    EXPECT_EQ(presenter->shown.size(), 1u);
    clock->advance(-hours{2});
    alerts.showCurrentUserAlert("Anna");
    EXPECT_EQ(presenter->shown.size(), 2u);
}

TEST_F(AlertHandlerTest, TheNoticesHaveTheirTextsAndLeaveTheQuestionsLimitAlone) {
    alerts.showCurrentUserAlert("Anna");
    clock->advance(seconds{6});
    alerts.showTrackingPeriodEndedAlert();
    alerts.showSetupMissingAlert();
    ASSERT_EQ(presenter->shown.size(), 3u);
    const auto& ended = presenter->shown[1];
    EXPECT_EQ(ended.messageText, "Tracking perioden er afsluttet");
    EXPECT_EQ(ended.informativeText, "Tak for din deltagelse.");
    EXPECT_EQ(ended.style, platform::AlertStyle::informational);
    EXPECT_EQ(ended.buttons, (std::vector<std::string>{"Ok"}));
    EXPECT_EQ(ended.closeAfter, seconds{5});
    const auto& missing = presenter->shown[2];
    EXPECT_EQ(missing.messageText, "Klar til opsætning");
    EXPECT_EQ(missing.informativeText,
              "Ulvarend er installeret, men mangler at blive sat op via. linket, som du har "
              "modtaget på e-mail.");
    EXPECT_EQ(missing.style, platform::AlertStyle::warning);
    EXPECT_EQ(missing.closeAfter, seconds{15});

    // Right after the notices the question may come again: its five seconds run from the
    // question before them (8 s ago), not from the notices, which closed just now.
    presenter->openFor = milliseconds{0};
    alerts.showCurrentUserAlert("Anna");
    EXPECT_EQ(presenter->shown.size(), 4u);
}

} // namespace
} // namespace ulvarend
