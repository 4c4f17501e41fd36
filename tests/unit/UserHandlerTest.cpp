#include "Implementations/UserHandler.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace ::testing;
using namespace ulvarend::testing;

class FakeUserWindow : public UserWindowProtocol {
public:
    std::shared_ptr<UserWindowClosedDelegate> delegate;
    int shown = 0;
    int broughtToFront = 0;
    void show(std::shared_ptr<UserWindowClosedDelegate> d) override {
        delegate = std::move(d);
        ++shown;
    }
    void bringToFront() override { ++broughtToFront; }
};

class RecordingSubscriber : public UserSessionChangesDelegate {
public:
    RecordingSubscriber(std::string name, std::vector<std::string>& journal)
        : name(std::move(name)), journal(journal) {}
    void userSessionStarted(const std::string& user) override {
        journal.push_back(name + ": started " + user);
    }
    void userSessionEnded(const std::string& user) override {
        journal.push_back(name + ": ended " + user);
    }
    std::string name;
    std::vector<std::string>& journal;
};

class UserHandlerTest : public Test {
protected:
    StrictShared<MockAlertHandler> alerts;
    std::shared_ptr<FakeUserWindow> window = std::make_shared<FakeUserWindow>();
    NiceShared<MockSettings> settings;
    std::string current = "Anna";
    std::int64_t count = 2;
    std::vector<std::string> journal;
    std::shared_ptr<UserHandler> handler;

    void SetUp() override {
        ON_CALL(*settings, currentUser()).WillByDefault([this] { return current; });
        ON_CALL(*settings, userCount()).WillByDefault([this] { return count; });
        handler = std::make_shared<UserHandler>(alerts, window, settings);
        handler->addUserSessionChangesSubscriber(
            std::make_shared<RecordingSubscriber>("tracker", journal));
        handler->addUserSessionChangesSubscriber(
            std::make_shared<RecordingSubscriber>("menu", journal));
    }

    // The window holds its delegate, and the handler its window, as they do in the agent.
    void TearDown() override { window->delegate.reset(); }

    // The window closes the way the user window does: it has saved (or not) first.
    void closeWindowWith(const std::string& chosen) {
        current = chosen;
        window->delegate->userWindowClosed();
    }
};

TEST_F(UserHandlerTest, AHouseholdOfOneIsNeverAsked) {
    count = 1;
    handler->verifyCurrentUser();
    count = 0;
    current = "ukendt-bruger";
    handler->verifyCurrentUser();
    EXPECT_EQ(journal, (std::vector<std::string>{"tracker: started Anna", "menu: started Anna",
                                                 "tracker: started ukendt-bruger",
                                                 "menu: started ukendt-bruger"}));
}

TEST_F(UserHandlerTest, ConfirmingTheUserStartsTheSessionAtOnce) {
    EXPECT_CALL(*alerts, showCurrentUserAlert("Anna")).WillOnce(Return(false));
    handler->verifyCurrentUser();
    EXPECT_EQ(journal, (std::vector<std::string>{"tracker: started Anna", "menu: started Anna"}));
    EXPECT_EQ(window->shown, 0);
}

TEST_F(UserHandlerTest, SwitchingUserWaitsForTheWindowAndAnnouncesWhoeverIsCurrentThen) {
    EXPECT_CALL(*alerts, showCurrentUserAlert("Anna")).Times(2).WillRepeatedly(Return(true));
    handler->verifyCurrentUser();
    EXPECT_EQ(window->shown, 1);
    EXPECT_TRUE(journal.empty());
    closeWindowWith("Bo");
    EXPECT_EQ(journal, (std::vector<std::string>{"tracker: started Bo", "menu: started Bo"}));

    journal.clear();
    current = "Anna";
    handler->verifyCurrentUser();
    // Asked for again while open (the menu, the program started again): raised, and the
    // closing still announces as the wake's window does.
    handler->showUserWindow(/*invokedFromStatusMenu=*/true);
    EXPECT_EQ(window->shown, 2);
    EXPECT_EQ(window->broughtToFront, 1);
    closeWindowWith("Anna"); // unchanged: still announced
    EXPECT_EQ(journal, (std::vector<std::string>{"tracker: started Anna", "menu: started Anna"}));
}

TEST_F(UserHandlerTest, FromTheStatusMenuOnlyAChangeIsAnnouncedEndFirst) {
    handler->showUserWindow(/*invokedFromStatusMenu=*/true);
    closeWindowWith("Anna");
    EXPECT_TRUE(journal.empty());

    handler->showUserWindow(/*invokedFromStatusMenu=*/true);
    closeWindowWith("Bo");
    EXPECT_EQ(journal, (std::vector<std::string>{"tracker: ended Anna", "menu: ended Anna",
                                                 "tracker: started Bo", "menu: started Bo"}));
}

TEST_F(UserHandlerTest, ASubscriberAddedTwiceIsToldTwice) {
    count = 1;
    auto twice = std::make_shared<RecordingSubscriber>("twice", journal);
    handler->addUserSessionChangesSubscriber(twice);
    handler->addUserSessionChangesSubscriber(twice);
    handler->verifyCurrentUser();
    EXPECT_EQ(journal, (std::vector<std::string>{"tracker: started Anna", "menu: started Anna",
                                                 "twice: started Anna", "twice: started Anna"}));
}

} // namespace
} // namespace ulvarend
