#include "Implementations/Settings.h"
#include "Implementations/SetupHandler.h"
#include "support/Mocks.h"
#include "support/TemporaryHome.h"

#include <QByteArray>
#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/resource.h>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using ulvarend::testing::FakeClock;
using ulvarend::testing::readFile;
using ulvarend::testing::TemporaryHome;
using ulvarend::testing::writeFile;

const std::string kPrecomposed = "S\xC3\xA5ren"; // "Såren" with U+00E5
const std::string kDecomposed = "Sa\xCC\x8Aren"; // "a" followed by U+030A

class RecordingSubscriber : public AppHasBeenSetupDelegate {
public:
    RecordingSubscriber(std::string name_, std::vector<std::string>& calls_)
        : name(std::move(name_)), calls(calls_) {}
    void appHasBeenSetupChanged(bool value) override {
        calls.push_back(name + (value ? ":true" : ":false"));
    }

private:
    std::string name;
    std::vector<std::string>& calls;
};

class SettingsTest : public Test {
protected:
    TemporaryHome home;
    std::filesystem::path file = home.configHome() / "ulvarend" / "defaults.json";
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::vector<std::string> errors;
    std::shared_ptr<platform::DefaultsStore> store = openStore();
    std::unique_ptr<Settings> settings = openSettings();

    std::shared_ptr<platform::DefaultsStore> openStore() {
        return platform::makeDefaultsStore([this](const std::string& e) { errors.push_back(e); });
    }
    std::unique_ptr<Settings> openSettings() {
        writeFile(home.root() / "root/sys/class/dmi/id/sys_vendor", "ACME\n");
        writeFile(home.root() / "root/sys/class/dmi/id/product_name", "Laptop 7\n");
        return std::make_unique<Settings>(clock, store,
                                          platform::makeHardwareModel(home.root() / "root"));
    }
    // What the file holds, as another process would read it.
    nlohmann::json onDisk() { return nlohmann::json::parse(readFile(file)); }
};

TEST_F(SettingsTest, AFreshStoreAnswersTheDefaults) {
    EXPECT_FALSE(settings->appHasBeenSetup());
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(settings->userList(), std::vector<std::string>{});
    EXPECT_EQ(onDisk(), nlohmann::json::parse(R"({"userList": []})"));
    EXPECT_EQ(settings->userCount(), 0);
    EXPECT_EQ(settings->currentUser(), "ukendt-bruger");
    EXPECT_EQ(settings->trackingType(), TrackingType::Device);
    const TimePoint reading = clock->now() + hours{3};
    clock->set(reading);
    EXPECT_EQ(settings->stopTrackingDate(), reading);
    EXPECT_EQ(settings->participantIdentifier(), "ukendt-id:ukendt-bruger");
    EXPECT_EQ(settings->participantIdentifier("Ida"), "ukendt-id:Ida");
    EXPECT_EQ(settings->deviceModelName(), "ACME Laptop 7");
    EXPECT_THAT(errors, IsEmpty());
}

TEST_F(SettingsTest, ValuesSurviveARestartUnderTheirFixedKeys) {
    const TimePoint stop = TimePoint{} + seconds{1'800'000'000} + milliseconds{250};
    settings->setAppHasBeenSetup(true);
    settings->setUserList({"Ida", kPrecomposed, "Bo"});
    settings->setCurrentUser("Bo");
    settings->setTrackingType(TrackingType::AppAndDevice);
    settings->setStopTrackingDate(stop);
    settings->setUserId("p-17");

    const auto keys = onDisk();
    EXPECT_EQ(keys["appHasBeenSetup"], true);
    EXPECT_EQ(keys["userList"], nlohmann::json({"Ida", kPrecomposed, "Bo"}));
    EXPECT_EQ(keys["currentUser"], "Bo");
    EXPECT_EQ(keys["trackingType"], 1);
    EXPECT_TRUE(keys.contains("stopTrackingData"));
    EXPECT_EQ(keys["userId"], "p-17");
    EXPECT_EQ(keys.size(), 6u);

    settings.reset();
    store = openStore();
    settings = openSettings();
    EXPECT_TRUE(settings->appHasBeenSetup());
    EXPECT_EQ(settings->userList(), (std::vector<std::string>{"Ida", kPrecomposed, "Bo"}));
    EXPECT_EQ(settings->userCount(), 3);
    EXPECT_EQ(settings->currentUser(), "Bo");
    EXPECT_EQ(settings->trackingType(), TrackingType::AppAndDevice);
    EXPECT_EQ(settings->stopTrackingDate(), stop);
    EXPECT_EQ(settings->participantIdentifier(), "p-17:Bo");
    EXPECT_EQ(settings->participantIdentifier("Gæst"), "p-17:Gæst");

    settings->setTrackingType(TrackingType::Device);
    EXPECT_EQ(onDisk()["trackingType"], 0);
    EXPECT_EQ(settings->trackingType(), TrackingType::Device);
}

TEST_F(SettingsTest, ASetupThatCannotBeSavedLeavesTheStudyAsItWasOnDiskAndInThisRun) {
    const TimePoint stop = TimePoint{} + seconds{1'800'000'000};
    settings->setUserId("p-1");
    settings->setUserList({"Anna"});
    settings->setCurrentUser("Anna");
    settings->setTrackingType(TrackingType::AppAndDevice);
    settings->setStopTrackingDate(stop);
    settings->setAppHasBeenSetup(true);
    const std::string before = readFile(file);
    std::vector<std::string> calls;
    auto subscriber = std::make_shared<RecordingSubscriber>("menu", calls);
    settings->addAppHasBeenSetupChangedSubscriber(subscriber);
    auto logger = std::make_shared<NiceMock<testing::MockLogger>>();
    std::vector<std::string> logged;
    ON_CALL(*logger, logError(_)).WillByDefault([&](const std::string& l) { logged.push_back(l); });
    SetupHandler handler{clock, std::make_shared<NiceMock<testing::MockLaunchAtLoginHandler>>(),
                         logger, std::shared_ptr<SettingsProtocol>(settings.get(), [](auto*) {}),
                         nullptr};
    const std::string link =
        "ulvarend://setup?data=" +
        QByteArray(R"({"user_id":"p-2","users":"[Bo, Ida Marie Kristiansen-Holm]",)"
                   R"("tracking_type":"0","measurement_days":"30"})")
            .toBase64()
            .toStdString();

    // A file no longer than the one there now can still be written, as when the disk is
    // nearly full: a write of the new user id alone would fit, all of the link does not.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit full{static_cast<rlim_t>(before.size()), limit.rlim_max};
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    const bool saved = handler.setup(link);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved);
    EXPECT_THAT(logged, ElementsAre("The setup could not be saved: the settings did not reach "
                                    "the disk"));
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(settings->participantIdentifier(), "p-1:Anna");
    EXPECT_EQ(settings->userList(), std::vector<std::string>{"Anna"});
    EXPECT_EQ(settings->trackingType(), TrackingType::AppAndDevice);
    EXPECT_EQ(settings->stopTrackingDate(), stop);
    EXPECT_THAT(calls, IsEmpty());

    // The same link, with room on the disk.
    EXPECT_TRUE(handler.setup(link));
    EXPECT_EQ(onDisk()["userId"], "p-2");
    EXPECT_EQ(settings->participantIdentifier(), "p-2:Bo");
    EXPECT_THAT(calls, ElementsAre("menu:true"));
}

TEST_F(SettingsTest, MistypedValuesReadAsAbsent) {
    writeFile(file, R"({
        "appHasBeenSetup": 1, "userList": ["Ida", 2], "currentUser": ["Ida"],
        "userId": 17, "trackingType": true,
        "stopTrackingData": "2030-01-01T00:00:00Z"
    })");
    store = openStore();
    settings = openSettings();
    EXPECT_FALSE(settings->appHasBeenSetup());
    EXPECT_EQ(settings->currentUser(), "ukendt-bruger");
    EXPECT_EQ(settings->participantIdentifier(), "ukendt-id:ukendt-bruger");
    EXPECT_EQ(settings->trackingType(), TrackingType::Device);
    clock->set(TimePoint{} + seconds{1'650'000'000});
    EXPECT_EQ(settings->stopTrackingDate(), TimePoint{} + seconds{1'650'000'000});
    // The unreadable list is replaced by an empty one; the other keys are left as they were.
    EXPECT_EQ(settings->userCount(), 0);
    EXPECT_EQ(onDisk()["userList"], nlohmann::json::array());
    EXPECT_EQ(onDisk()["currentUser"], nlohmann::json({"Ida"}));
    EXPECT_THAT(errors, IsEmpty());
}

TEST_F(SettingsTest, OnlyAStoredOneMeansAppAndDevice) {
    for (const auto& [stored, expected] :
         std::vector<std::pair<std::int64_t, TrackingType>>{{1, TrackingType::AppAndDevice},
                                                            {0, TrackingType::Device},
                                                            {2, TrackingType::Device},
                                                            {-1, TrackingType::Device}}) {
        store->setInteger("trackingType", stored);
        EXPECT_EQ(settings->trackingType(), expected) << stored;
    }
    store->setString("trackingType", "1");
    EXPECT_EQ(settings->trackingType(), TrackingType::Device);
}

TEST_F(SettingsTest, ACorruptFileGivesTheDefaultsAndIsReported) {
    writeFile(file, "{\"appHasBeenSetup\": tru");
    store = openStore();
    settings = openSettings();
    EXPECT_FALSE(settings->appHasBeenSetup());
    EXPECT_EQ(errors.size(), 1u);
    settings->setAppHasBeenSetup(true);
    EXPECT_EQ(onDisk(), nlohmann::json::parse(R"({"appHasBeenSetup": true})"));
}

TEST_F(SettingsTest, SubscribersHearEveryWriteInTheOrderTheySubscribed) {
    std::vector<std::string> calls;
    auto first = std::make_shared<RecordingSubscriber>("first", calls);
    auto second = std::make_shared<RecordingSubscriber>("second", calls);
    settings->addAppHasBeenSetupChangedSubscriber(first);
    settings->addAppHasBeenSetupChangedSubscriber(second);

    settings->setAppHasBeenSetup(true);
    settings->setAppHasBeenSetup(true);
    settings->setAppHasBeenSetup(false);
    EXPECT_THAT(calls, ElementsAre("first:true", "second:true", "first:true", "second:true",
                                   "first:false", "second:false"));
}

class StoreReadingSubscriber : public AppHasBeenSetupDelegate {
public:
    explicit StoreReadingSubscriber(SettingsProtocol& settings_) : settings(settings_) {}
    void appHasBeenSetupChanged(bool) override { seen = settings.appHasBeenSetup(); }
    SettingsProtocol& settings;
    std::optional<bool> seen;
};

TEST_F(SettingsTest, SubscribersAreCalledOnceTheValueIsStored) {
    auto subscriber = std::make_shared<StoreReadingSubscriber>(*settings);
    settings->addAppHasBeenSetupChangedSubscriber(subscriber);
    settings->setAppHasBeenSetup(true);
    EXPECT_EQ(subscriber->seen, true);
}

TEST_F(SettingsTest, CurrentUserMembershipIsByCanonicalEquivalence) {
    settings->setUserList({"Ida", kPrecomposed});
    settings->setCurrentUser(kDecomposed);
    EXPECT_EQ(settings->currentUser(), kDecomposed);

    settings->setUserList({kDecomposed});
    settings->setCurrentUser(kPrecomposed);
    EXPECT_EQ(settings->currentUser(), kPrecomposed);
    EXPECT_EQ(settings->participantIdentifier(), "ukendt-id:" + kPrecomposed);
}

using SettingsDeathTest = SettingsTest;

TEST_F(SettingsDeathTest, ACurrentUserNotInTheListStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(settings->setCurrentUser("Ida"), "Invalid currentUser\\. Not in userList\\.");
    settings->setUserList({"Ida", "Bo"});
    EXPECT_DEATH(settings->setCurrentUser("ida"), "Invalid currentUser\\. Not in userList\\.");
    EXPECT_DEATH(settings->setCurrentUser("Sa\xCC\x8A"),
                 "Invalid currentUser\\. Not in userList\\.");
    // A different letter with the same base is not equivalent.
    settings->setUserList({kPrecomposed});
    EXPECT_DEATH(settings->setCurrentUser("S\xC3\xA4ren"),
                 "Invalid currentUser\\. Not in userList\\.");
    EXPECT_EQ(settings->currentUser(), "ukendt-bruger");
}

TEST_F(SettingsTest, CredentialsAreFixed) {
    store->setString("username", "someone");
    const Credentials expected{"morvik", "Hq3ZpT8wLm4RvK9sXc2NbJ7dYe5GfU"};
    EXPECT_EQ(settings->credentials(), expected);
    EXPECT_EQ(settings->credentials(), expected);
    EXPECT_EQ(expected.password.size(), 30u);
}

} // namespace
} // namespace ulvarend
