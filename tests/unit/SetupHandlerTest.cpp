#include "Implementations/SetupHandler.h"

#include "support/Mocks.h"

#include <QByteArray>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using namespace ulvarend::testing;

std::string base64(const std::string& text) {
    return QByteArray::fromStdString(text).toBase64().toStdString();
}

std::string linkWith(const std::string& json) {
    return "ulvarend://setup?data=" + base64(json);
}

std::string payload(const std::string& users, const std::string& days,
                    const std::string& tracking = "1") {
    return R"({"user_id":"p-17","users":")" + users + R"(","tracking_type":")" + tracking +
           R"(","measurement_days":")" + days + R"("})";
}

class SetupHandlerTest : public Test {
protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    StrictShared<MockLaunchAtLoginHandler> login;
    NiceShared<MockLogger> logger;
    NiceShared<MockSettings> settings;
    std::vector<std::string> errors;
    std::vector<std::string> writes;
    SetupHandler handler{clock, login, logger, settings, nullptr};

    void SetUp() override {
        ON_CALL(*logger, logError(_)).WillByDefault([this](const std::string& m) {
            errors.push_back(m);
        });
        ON_CALL(*settings, setUserId(_)).WillByDefault([this](const std::string& v) {
            writes.push_back("userId " + v);
        });
        ON_CALL(*settings, setUserList(_)).WillByDefault([this](const std::vector<std::string>& v) {
            std::string joined;
            for (const auto& name : v) {
                joined += "<" + name + ">";
            }
            writes.push_back("userList " + joined);
        });
        ON_CALL(*settings, setCurrentUser(_)).WillByDefault([this](const std::string& v) {
            writes.push_back("currentUser " + v);
        });
        ON_CALL(*settings, setTrackingType(_)).WillByDefault([this](TrackingType t) {
            writes.push_back(t == TrackingType::AppAndDevice ? "trackingType app"
                                                             : "trackingType device");
        });
        ON_CALL(*settings, setAppHasBeenSetup(_)).WillByDefault([this](bool v) {
            writes.push_back(v ? "setup true" : "setup false");
        });
        ON_CALL(*settings, saveTogether(_)).WillByDefault([this](const auto& together) {
            writes.push_back("(");
            const bool ready = together();
            writes.push_back(")");
            return ready && diskWorks;
        });
    }

    bool diskWorks = true;

    std::vector<std::string> failWith(const std::string& url) {
        errors.clear();
        EXPECT_FALSE(handler.setup(url)) << url;
        return errors;
    }
};

TEST_F(SetupHandlerTest, AValidLinkWritesEverythingInOrderAndMarksTheAgentSetUpLast) {
    std::optional<TimePoint> stop;
    EXPECT_CALL(*settings, setStopTrackingDate(_)).WillOnce([&](TimePoint t) {
        stop = t;
        writes.push_back("stop");
    });
    EXPECT_CALL(*login, setIsEnabled(true)).WillOnce([this] {
        writes.push_back("login on");
        return true;
    });
    EXPECT_CALL(*logger, logInfo("App is setup!"));
    EXPECT_TRUE(handler.setup(linkWith(payload("[Åse, Bo Ærø]", "+30"))));
    EXPECT_EQ(writes, (std::vector<std::string>{"(", "userId p-17", "userList <Åse><Bo Ærø>",
                                                "currentUser Åse", "trackingType app", "stop",
                                                "login on", "setup true", ")"}));
    EXPECT_TRUE(errors.empty());
    // Far from any daylight-saving change in the test's zone, 30 days are 30 * 24 hours.
    EXPECT_EQ(*stop - clock->now(), hours{24 * 30});
}

TEST_F(SetupHandlerTest, ALinkWithoutReadableDataLogsItsReasonThenInvalidData) {
    const std::vector<std::string> missing{"Invalid startup url. Missing: Data",
                                           "Invalid startup url. Invalid data"};
    EXPECT_EQ(failWith("ulvarend://setup"), missing);
    EXPECT_EQ(failWith("ulvarend://setup?other=1&dat=2"), missing);
    EXPECT_EQ(failWith("not a url at all: %%%"), missing);

    const std::vector<std::string> badBase64{"Invalid startup url. Invalid Base64 Data",
                                             "Invalid startup url. Invalid data"};
    std::string encoded = base64(payload("[A]", "3"));
    EXPECT_EQ(failWith("x:?data=" + encoded.substr(0, 10) + "%0A" + encoded.substr(10)), badBase64);
    EXPECT_EQ(failWith("x:?data=" + encoded.substr(0, 10) + "%20" + encoded.substr(10)), badBase64);
    EXPECT_EQ(failWith("x:?data=" + base64("{}ab").substr(0, 6)), badBase64); // padding lost
    EXPECT_EQ(failWith("x:?data=" + base64("{\"user_id\":\"\xff\"}")), badBase64);
    EXPECT_TRUE(writes.empty());
}

TEST_F(SetupHandlerTest, PayloadsThatAreNotObjectsOfStringsAreInvalidData) {
    const std::vector<std::string> invalid{"Invalid startup url. Invalid data"};
    EXPECT_EQ(failWith(linkWith(R"({"user_id":"p","users":"[A]","tracking_type":"1",)"
                                R"("measurement_days":30})")),
              invalid);
    EXPECT_EQ(failWith(linkWith(R"({"user_id":"p","users":["A"]})")), invalid);
    EXPECT_EQ(failWith(linkWith(R"(["p"])")), invalid);
    EXPECT_EQ(failWith(linkWith(R"({"user_id":)")), invalid); // the parser's words go to stdout
    EXPECT_EQ(failWith(linkWith(R"("just text")")), invalid);
    // Whatever way the parser refuses a text, it is malformed JSON, never an abort.
    for (const std::string& refused :
         {std::string(R"({"user_id":1e400})"), std::string(R"({"user_id":"\x"})"),
          std::string(R"({"user_id":"\ud800"})"), std::string(R"({"a":-1e99999})"),
          std::string(R"({"users":123456789012345678901234567890})"),
          std::string(100000, '[') + std::string(100000, ']'),
          R"({"user_id":")" + std::string(100000, 'a') + R"("})"}) {
        EXPECT_EQ(failWith(linkWith(refused)), invalid) << refused.substr(0, 40);
    }
    EXPECT_EQ(failWith(linkWith(R"({"user_id":"p","tracking_type":"1"})")),
              (std::vector<std::string>{"Invalid startup url. Missing: users"}));
    EXPECT_TRUE(writes.empty());
}

// Why a payload is malformed goes to standard output for whoever opened the link from a
// terminal; eight levels of nesting are read, nine are not.
TEST_F(SetupHandlerTest, WhyAPayloadIsMalformedIsToldOnStandardOutput) {
    const auto nested = [](int levels) {
        return R"({"a":)" + std::string(levels - 1, '[') + R"("x")" + std::string(levels - 1, ']') +
               "}";
    };
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"({"user_id":)", "[json.exception.parse_error.101] parse error at line 1, column 12"},
        {R"({"a":1e400})", "[json.exception.out_of_range.406] number overflow parsing '1e400'"},
        {nested(9), "The setup data is nested too deeply\n"},
        {std::string(100000, '['), "The setup data is too long\n"},
        {R"("just text")", "The setup data is neither a JSON object nor an array\n"},
        {nested(8), ""},
    };
    for (const auto& [json, told] : cases) {
        internal::CaptureStdout();
        failWith(linkWith(json));
        const std::string out = internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, told.size()), told) << json.substr(0, 40);
        EXPECT_EQ(out.empty(), told.empty()) << json.substr(0, 40);
    }
}

TEST_F(SetupHandlerTest, ASetupThatDidNotReachTheDiskFailsAndIsNotMarkedDone) {
    // The settings' one write failed, or the autostart entry was not written before it.
    for (const bool autostartWorks : {true, false}) {
        SCOPED_TRACE(autostartWorks);
        writes.clear();
        diskWorks = !autostartWorks;
        EXPECT_CALL(*settings, setStopTrackingDate(_));
        EXPECT_CALL(*login, setIsEnabled(true)).WillOnce(Return(autostartWorks));
        EXPECT_CALL(*settings, setAppHasBeenSetup(_)).Times(autostartWorks ? 1 : 0);
        EXPECT_CALL(*logger, logInfo(_)).Times(0);
        EXPECT_EQ(failWith(linkWith(payload("[A]", "3"))),
                  (std::vector<std::string>{
                      autostartWorks
                          ? "The setup could not be saved: the settings did not reach the disk"
                          : "The setup could not be saved: the autostart entry was not written"}));
        EXPECT_EQ(writes.back(), ")") << "every write is inside the one that failed";
        Mock::VerifyAndClearExpectations(settings.get());
        Mock::VerifyAndClearExpectations(login.get());
        Mock::VerifyAndClearExpectations(logger.get());
    }
}

TEST_F(SetupHandlerTest, EachMissingKeyIsNamedInOrderBeforeAnythingIsWritten) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"({"users":"[A]","tracking_type":"1","measurement_days":"3"})", "user_id"},
        {R"({"user_id":"p","tracking_type":"1"})", "users"},
        {R"({"user_id":"p","users":"[A]","measurement_days":"3"})", "tracking_type"},
        {R"({"user_id":"p","users":"[A]","tracking_type":"1"})", "measurement_days"},
    };
    for (const auto& [json, key] : cases) {
        EXPECT_EQ(failWith(linkWith(json)),
                  (std::vector<std::string>{"Invalid startup url. Missing: " + key}));
    }
    EXPECT_EQ(failWith(linkWith(payload("[, A]", "3"))),
              (std::vector<std::string>{"Invalid startup url. Invalid value: users"}));
    EXPECT_TRUE(writes.empty());
}

TEST_F(SetupHandlerTest, Base64SignsPassRawOrPercentEncodedAndTheLastDataItemCounts) {
    EXPECT_CALL(*settings, setStopTrackingDate(_)).Times(AnyNumber());
    EXPECT_CALL(*login, setIsEnabled(true)).Times(AnyNumber());
    std::string id;
    std::string encoded;
    for (int n = 0;
         encoded.find('+') == std::string::npos || encoded.find('/') == std::string::npos; ++n) {
        ASSERT_LT(n, 3);
        id = "p" + std::string(static_cast<std::size_t>(n), '~') + "~~~???";
        encoded = base64(R"({"user_id":")" + id +
                         R"(","users":"[A]","tracking_type":"1",)"
                         R"("measurement_days":"3"})");
    }
    std::string percent;
    for (const char c : encoded) {
        percent += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
    }
    for (const std::string& query :
         {"data=" + encoded, "data=" + percent, "data=AAAA&other=1&data=" + encoded}) {
        writes.clear();
        EXPECT_TRUE(handler.setup("ulvarend://setup?" + query)) << query;
        EXPECT_EQ(writes.at(1), "userId " + id) << query;
    }
    EXPECT_EQ(failWith("ulvarend://setup?data=" + encoded + "&data=e30%3D"), // {}
              (std::vector<std::string>{"Invalid startup url. Missing: user_id"}));
}

TEST_F(SetupHandlerTest, TheResultAlertSaysWhatHappenedWithOneOkButton) {
    class Presenter : public platform::AlertPresenter {
    public:
        std::vector<platform::Alert> shown;
        std::optional<std::size_t> runModal(const platform::Alert& alert) override {
            shown.push_back(alert);
            return 0;
        }
    };
    auto presenter = std::make_shared<Presenter>();
    SetupHandler showing{clock, login, logger, settings, presenter};
    showing.showSetupResult(true);
    showing.showSetupResult(false);
    ASSERT_EQ(presenter->shown.size(), 2u);
    const auto& done = presenter->shown[0];
    EXPECT_EQ(done.messageText, "Opsætning færdiggjort");
    EXPECT_EQ(done.informativeText, "Der er intet mere at gøre.");
    EXPECT_EQ(done.style, platform::AlertStyle::informational);
    const auto& failed = presenter->shown[1];
    EXPECT_EQ(failed.messageText, "Opsætning mislykkedes");
    EXPECT_EQ(failed.informativeText,
              "Prøv at åbne linket igen. Hvis det ikke virker, så kontakt Ostrel.");
    EXPECT_EQ(failed.style, platform::AlertStyle::critical);
    for (const auto& alert : presenter->shown) {
        EXPECT_EQ(alert.buttons, std::vector<std::string>{"Ok"});
        EXPECT_EQ(alert.closeAfter, std::nullopt);
    }
}

TEST_F(SetupHandlerTest, UserListsAreBracketedNamesJoinedByCommaAndOneSpace) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(SetupHandler::parseUserList("[Anna, Bo]"), (Names{"Anna", "Bo"}));
    EXPECT_EQ(SetupHandler::parseUserList("[Anna,Bo]"), (Names{"Anna,Bo"}));
    EXPECT_EQ(SetupHandler::parseUserList("[ Anna, Bo ]"), (Names{" Anna", "Bo "}));
    EXPECT_EQ(SetupHandler::parseUserList("[Anna, ]"), (Names{"Anna", ""}));
    EXPECT_EQ(SetupHandler::parseUserList("[Anna, , Bo]"), (Names{"Anna", "", "Bo"}));
    // Canonically equal names are one member, kept as first written: precomposed and
    // decomposed "Åse", and a name written twice.
    EXPECT_EQ(SetupHandler::parseUserList("[\xC3\x85se, A\xCC\x8Ase, Bo, Bo]"),
              (Names{"\xC3\x85se", "Bo"}));
    EXPECT_EQ(SetupHandler::parseUserList("[ukendt-brugere, , ]"), (Names{"ukendt-brugere", ""}));
    for (const std::string& invalid : std::vector<std::string>{
             "", "[]", "Anna, Bo", "[Anna", "Anna]", "[, Bo]", "[",
             "[\xCC\x81"
             "Anna]",
             // Control characters, NUL and the C1 range included; the stand-in for nobody.
             std::string("[Anna, B\0o]", 11), "[Anna, Bo\t]", "[Anna\x7f]",
             "[\xC2\x85"
             "Anna]",
             "[Anna, ukendt-bruger]"}) {
        EXPECT_EQ(SetupHandler::parseUserList(invalid), std::nullopt) << invalid;
    }
}

TEST_F(SetupHandlerTest, DayCountsAreSignedDecimalsAndABadOneFailsBeforeAnyWrite) {
    EXPECT_EQ(SetupHandler::parseDayCount("+30"), 30);
    EXPECT_EQ(SetupHandler::parseDayCount("-1"), -1);
    EXPECT_EQ(SetupHandler::parseDayCount("0"), 0);
    EXPECT_EQ(SetupHandler::parseDayCount("-9223372036854775808"),
              std::numeric_limits<std::int64_t>::min());
    for (const char* invalid :
         {"", "+", "30 ", " 30", "3.0", "1e3", "--1", "+-1", "٣", "9223372036854775808"}) {
        EXPECT_EQ(SetupHandler::parseDayCount(invalid), std::nullopt) << invalid;
    }

    EXPECT_EQ(failWith(linkWith(payload("[A, B]", "30 ", "0"))),
              (std::vector<std::string>{"Invalid startup url. Invalid value: mesaurement_days"}));
    EXPECT_TRUE(writes.empty());
    // A count no calendar can reach fails the same way instead of wrapping around.
    EXPECT_EQ(failWith(linkWith(payload("[A]", "9223372036854775807"))),
              (std::vector<std::string>{"Invalid startup url. Invalid value: mesaurement_days"}));
}

TEST_F(SetupHandlerTest, ZeroAndNegativeDaysGiveAStopDateAtOrBeforeNow) {
    std::vector<TimePoint> stops;
    EXPECT_CALL(*settings, setStopTrackingDate(_)).WillRepeatedly([&](TimePoint t) {
        stops.push_back(t);
    });
    EXPECT_CALL(*login, setIsEnabled(true)).Times(2);
    clock->set(clock->now() + microseconds{123456});
    EXPECT_TRUE(handler.setup(linkWith(payload("[A]", "0", "2"))));
    EXPECT_TRUE(handler.setup(linkWith(payload("[A]", "-1", ""))));
    ASSERT_EQ(stops.size(), 2u);
    EXPECT_EQ(stops[0], clock->now());
    EXPECT_EQ(clock->now() - stops[1], hours{24});
}

TEST_F(SetupHandlerTest, ADayAcrossADaylightSavingChangeKeepsTheLocalTimeOfDay) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "Europe/Copenhagen", 1);
    tzset();
    // 2021-03-27 12:00 CET; the clocks go forward in the night that follows.
    clock->set(TimePoint{seconds{1616842800}});
    std::optional<TimePoint> stop;
    EXPECT_CALL(*settings, setStopTrackingDate(_)).WillOnce([&](TimePoint t) { stop = t; });
    EXPECT_CALL(*login, setIsEnabled(true));
    EXPECT_TRUE(handler.setup(linkWith(payload("[A]", "1"))));
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    ASSERT_TRUE(stop);
    EXPECT_EQ(*stop - clock->now(), hours{23});
}

} // namespace
} // namespace ulvarend
