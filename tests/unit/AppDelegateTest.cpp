#include "app/AppDelegate.h"

#include "app/AgentApplication.h"
#include "support/Mocks.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <stdexcept>

namespace ulvarend {
namespace {

using namespace ::testing;
using namespace ulvarend::testing;

class MockRunner : public RunnerProtocol {
public:
    MOCK_METHOD(void, run, (), (override));
    MOCK_METHOD(void, handleTermination, (), (override));
    MOCK_METHOD(void, checkTrackingPeriod, (), (override));
    MOCK_METHOD(void, closeSessions, (), (override));
};

class MockSetupHandler : public SetupHandlerProtocol {
public:
    MOCK_METHOD(bool, setup, (const std::string&), (override));
    MOCK_METHOD(void, showSetupResult, (bool), (override));
    MOCK_METHOD(std::optional<SetupValues>, readSetup, (const std::string&), (override));
    MOCK_METHOD(bool, applySetup, (const SetupValues&), (override));
};

class AppDelegateTest : public Test {
protected:
    StrictShared<MockRunner> runner;
    StrictShared<MockSetupHandler> setup;
    StrictShared<MockSendOrSaveHandler> delivery;
    NiceShared<MockSettings> settings;
    StrictShared<MockProcess> process;
    AppDelegate delegate{runner, setup, delivery, settings, process, std::chrono::milliseconds{0}};

    // An agent tracking participant p-1 with the household Anna and Bo, Anna selected.
    void tracking(bool setUp = true) {
        ON_CALL(*settings, appHasBeenSetup()).WillByDefault(Return(setUp));
        ON_CALL(*settings, currentUser()).WillByDefault(Return("Anna"));
        ON_CALL(*settings, userList())
            .WillByDefault(Return(std::vector<std::string>{"Anna", "Bo"}));
        ON_CALL(*settings, participantIdentifier(_)).WillByDefault([](const std::string& user) {
            return "p-1:" + user;
        });
    }

    static SetupValues link(std::string userId, std::vector<std::string> users) {
        return SetupValues{std::move(userId), std::move(users), TrackingType::AppAndDevice,
                           TimePoint{}};
    }
};

// Only a link that changes the participant, the household or the selected member closes the
// sessions, and it closes them before anything of it is stored.
TEST_F(AppDelegateTest, AGoodLinkClosesTheSessionsOnlyWhenItChangesWhoIsRecorded) {
    struct Case {
        bool setUp;
        SetupValues values;
        bool closes;
    };
    const Case cases[] = {
        {true, link("p-1", {"Anna", "Bo"}), false},
        {false, link("p-2", {"Cy"}), false}, // nothing is open before setup
        {true, link("p-2", {"Anna", "Bo"}), true},
        {true, link("p-1", {"Anna"}), true},
        {true, link("p-1", {"Anna", "Bo", "Cy"}), true},
        {true, link("p-1", {"Bo", "Anna"}), true},
    };
    for (const auto& c : cases) {
        tracking(c.setUp);
        InSequence order;
        EXPECT_CALL(*setup, readSetup("ulvarend://setup?data=x")).WillOnce(Return(c.values));
        EXPECT_CALL(*runner, closeSessions()).Times(c.closes ? 1 : 0);
        EXPECT_CALL(*setup, applySetup(_)).WillOnce(Return(true));
        EXPECT_CALL(*setup, showSetupResult(true));
        EXPECT_CALL(*runner, run());
        delegate.handleGetUrl("ulvarend://setup?data=x");
        Mock::VerifyAndClearExpectations(runner.get());
        Mock::VerifyAndClearExpectations(setup.get());
    }
}

TEST_F(AppDelegateTest, ALinkThatCouldNotBeStoredBeginsTheSessionsItClosedAgain) {
    tracking();
    InSequence order;
    EXPECT_CALL(*setup, readSetup(_)).WillOnce(Return(link("p-2", {"Cy"})));
    EXPECT_CALL(*runner, closeSessions());
    EXPECT_CALL(*setup, applySetup(_)).WillOnce(Return(false));
    EXPECT_CALL(*setup, showSetupResult(false));
    EXPECT_CALL(*runner, run());
    delegate.handleGetUrl("ulvarend://setup?data=x");
}

TEST_F(AppDelegateTest, ABadLinkBeforeSetupShowsItsResultAndEndsTheProcessWithOne) {
    InSequence order;
    EXPECT_CALL(*settings, appHasBeenSetup()).WillOnce(Return(false));
    EXPECT_CALL(*setup, readSetup(_)).WillOnce(Return(std::nullopt));
    EXPECT_CALL(*setup, showSetupResult(false));
    EXPECT_CALL(*process, exit(1));
    delegate.handleGetUrl("ulvarend://nothing");
}

TEST_F(AppDelegateTest, ABadLinkToATrackingAgentShowsItsResultAndLeavesTrackingAlone) {
    InSequence order;
    EXPECT_CALL(*settings, appHasBeenSetup()).WillOnce(Return(true));
    EXPECT_CALL(*setup, readSetup(_)).WillOnce(Return(std::nullopt));
    EXPECT_CALL(*setup, showSetupResult(false));
    delegate.handleGetUrl("ulvarend://setup?data=%%%");
}

TEST_F(AppDelegateTest, QuittingRecordsTheEndThenKeepsWhatIsStillUnsent) {
    InSequence order;
    EXPECT_CALL(*runner, handleTermination());
    EXPECT_CALL(*delivery, saveUnfinishedUsages());
    delegate.applicationShouldTerminate();
}

TEST(AgentArguments, OnlyALinkOfTheAgentsSchemeLeftByQtIsASetupLink) {
    struct Case {
        QStringList arguments;
        std::optional<std::string> link;
        std::vector<std::string> ignored;
    };
    const std::vector<Case> cases{
        {{"ulvarend"}, std::nullopt, {}},
        {{"ulvarend", "ulvarend://setup?data=e30%3D"}, "ulvarend://setup?data=e30%3D", {}},
        {{"ulvarend", "ULVAREND:?data=x"}, "ULVAREND:?data=x", {}},
        // What a session manager adds on restoring the agent, and what Qt did not know.
        {{"ulvarend", "1016e3b0a5000163", "--verbose"},
         std::nullopt,
         {"1016e3b0a5000163", "--verbose"}},
        {{"ulvarend", "https://example.invalid/?data=x", "ulvarend://a", "ulvarend://b"},
         "ulvarend://a",
         {"https://example.invalid/?data=x", "ulvarend://b"}},
        {{"ulvarend", ":1", "xcb"}, std::nullopt, {":1", "xcb"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> ignored;
        EXPECT_EQ(setupLinkArgument(c.arguments, &ignored), c.link)
            << c.arguments.join(' ').toStdString();
        EXPECT_EQ(ignored, c.ignored);
    }

    // Qt's own options and their values never reach the search.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    char program[] = "ulvarend", style[] = "-style", fusion[] = "fusion", session[] = "-session",
         id[] = "1016e3b0a5000163", link[] = "ulvarend://setup?data=e30%3D";
    char* argv[] = {program, style, fusion, session, id, link, nullptr};
    int argc = 6;
    AgentApplication app(argc, argv);
    std::vector<std::string> ignored;
    EXPECT_EQ(setupLinkArgument(QApplication::arguments(), &ignored), std::string(link));
    EXPECT_EQ(ignored, std::vector<std::string>{});
}

TEST(AgentApplicationTest, AHandlerThatThrowsIsLoggedAndTheLoopGoesOn) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    char program[] = "ulvarend";
    char* argv[] = {program, nullptr};
    int argc = 1;
    AgentApplication app(argc, argv);
    std::vector<std::string> errors;
    app.setErrorLog([&](const std::string& line) { errors.push_back(line); });
    bool ranOn = false;
    QTimer::singleShot(0, &app, [] { throw std::runtime_error("disk on fire"); });
    QTimer::singleShot(0, &app, [] { throw 17; });
    QTimer::singleShot(10, &app, [&] {
        ranOn = true;
        QApplication::quit();
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(ranOn);
    EXPECT_EQ(errors,
              (std::vector<std::string>{
                  "An event handler failed and was left behind: disk on fire",
                  "An event handler failed and was left behind: an exception of unknown type"}));
}

} // namespace
} // namespace ulvarend
