#include "app/AppDelegate.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace ::testing;
using namespace ulvarend::testing;

class MockRunner : public RunnerProtocol {
public:
    MOCK_METHOD(void, run, (), (override));
    MOCK_METHOD(void, handleTermination, (), (override));
};

class MockSetupHandler : public SetupHandlerProtocol {
public:
    MOCK_METHOD(bool, setup, (const std::string&), (override));
    MOCK_METHOD(void, showSetupResult, (bool), (override));
};

class AppDelegateTest : public Test {
protected:
    std::shared_ptr<StrictMock<MockRunner>> runner = std::make_shared<StrictMock<MockRunner>>();
    std::shared_ptr<StrictMock<MockSetupHandler>> setup =
        std::make_shared<StrictMock<MockSetupHandler>>();
    std::shared_ptr<StrictMock<MockSendOrSaveHandler>> delivery =
        std::make_shared<StrictMock<MockSendOrSaveHandler>>();
    std::shared_ptr<NiceMock<MockSettings>> settings = std::make_shared<NiceMock<MockSettings>>();
    std::shared_ptr<StrictMock<MockProcess>> process = std::make_shared<StrictMock<MockProcess>>();
    AppDelegate delegate{runner, setup, delivery, settings, process, std::chrono::milliseconds{0}};
};

TEST_F(AppDelegateTest, AGoodLinkShowsItsResultThenRunsAgain) {
    InSequence order;
    EXPECT_CALL(*setup, setup("ulvarend://setup?data=x")).WillOnce(Return(true));
    EXPECT_CALL(*setup, showSetupResult(true));
    EXPECT_CALL(*runner, run());
    delegate.handleGetUrl("ulvarend://setup?data=x");
}

TEST_F(AppDelegateTest, ABadLinkBeforeSetupShowsItsResultAndEndsTheProcessWithOne) {
    InSequence order;
    EXPECT_CALL(*settings, appHasBeenSetup()).WillOnce(Return(false));
    EXPECT_CALL(*setup, setup(_)).WillOnce(Return(false));
    EXPECT_CALL(*setup, showSetupResult(false));
    EXPECT_CALL(*process, exit(1));
    delegate.handleGetUrl("ulvarend://nothing");
}

TEST_F(AppDelegateTest, ABadLinkToATrackingAgentShowsItsResultAndLeavesTrackingAlone) {
    InSequence order;
    EXPECT_CALL(*settings, appHasBeenSetup()).WillOnce(Return(true));
    EXPECT_CALL(*setup, setup(_)).WillOnce(Return(false));
    EXPECT_CALL(*setup, showSetupResult(false));
    delegate.handleGetUrl("ulvarend://setup?data=%%%");
}

TEST_F(AppDelegateTest, QuittingRecordsTheEndThenKeepsWhatIsStillUnsent) {
    InSequence order;
    EXPECT_CALL(*runner, handleTermination());
    EXPECT_CALL(*delivery, saveUnfinishedUsages());
    delegate.applicationShouldTerminate();
}

} // namespace
} // namespace ulvarend
