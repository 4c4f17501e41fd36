#include "models/Time.h"
#include "models/Usage.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace std::chrono;

// 2021-03-01T12:00:00.750Z
const TimePoint kNoonAndAQuarter = TimePoint{seconds{1614600000}} + milliseconds{750};

TEST(UsageJson, AppUsageHasItsKeysInOrderAndTheTimeToTheSecond) {
    AppUsage usage("p1:Anna", "LENOVO 20XW", kNoonAndAQuarter, 2, "org.mozilla.firefox", 5230);
    EXPECT_EQ(toJson(usage), R"({"participant_identifier":"p1:Anna","device_model_name":)"
                             R"("LENOVO 20XW","user_count":2,"date":"2021-03-01T12:00:00Z",)"
                             R"("package":"org.mozilla.firefox","duration":5230})");
}

TEST(UsageJson, DeviceUsageUsesTimestampAndEventNumbers) {
    DeviceUsage started("p1:Bo", "x86_64", kNoonAndAQuarter, 1, eventTypeValue(EventType::started));
    DeviceUsage ended("p1:Bo", "x86_64", kNoonAndAQuarter, 1, eventTypeValue(EventType::ended));
    EXPECT_EQ(toJson(started), R"({"participant_identifier":"p1:Bo","device_model_name":"x86_64",)"
                               R"("user_count":1,"timestamp":"2021-03-01T12:00:00Z",)"
                               R"("event_type":1})");
    EXPECT_EQ(toJson(ended), R"({"participant_identifier":"p1:Bo","device_model_name":"x86_64",)"
                             R"("user_count":1,"timestamp":"2021-03-01T12:00:00Z",)"
                             R"("event_type":0})");
}

TEST(UsageJson, StoredRecordsLeaveTheirRowIdBehindAndEmptyValuesAreWritten) {
    AppUsage fresh("", "", kNoonAndAQuarter, 0, "", 0);
    AppUsage stored("", "", kNoonAndAQuarter, 0, "", 0, 42);
    EXPECT_EQ(toJson(stored), toJson(fresh));
    EXPECT_EQ(toJson(stored), R"({"participant_identifier":"","device_model_name":"",)"
                              R"("user_count":0,"date":"2021-03-01T12:00:00Z","package":"",)"
                              R"("duration":0})");
}

TEST(UsageJson, TextIsEscapedAsJsonAndDanishLettersPassUnchanged) {
    DeviceUsage usage("id:7:Åse \"Lille\" Ærø\n\t\x01\\", "Mac", kNoonAndAQuarter, 3, 1);
    EXPECT_EQ(toJson(usage),
              "{\"participant_identifier\":\"id:7:Åse \\\"Lille\\\" Ærø\\n\\t\\u0001\\\\\","
              "\"device_model_name\":\"Mac\",\"user_count\":3,"
              "\"timestamp\":\"2021-03-01T12:00:00Z\",\"event_type\":1}");
}

TEST(UsageJson, BrokenUtf8IsReplacedInsteadOfLosingTheRecord) {
    AppUsage usage("p:A", "M", kNoonAndAQuarter, 1, std::string("xterm\xff\xfe"), 10);
    EXPECT_EQ(toJson(usage), "{\"participant_identifier\":\"p:A\",\"device_model_name\":\"M\","
                             "\"user_count\":1,\"date\":\"2021-03-01T12:00:00Z\","
                             "\"package\":\"xterm\xEF\xBF\xBD\xEF\xBF\xBD\",\"duration\":10}");
}

TEST(UsageJson, TimesBeforeTheEpochAndJustBeforeASecondAreFloored) {
    EXPECT_EQ(formatRfc3339(TimePoint{} - milliseconds{1}), "1969-12-31T23:59:59Z");
    EXPECT_EQ(formatRfc3339(TimePoint{seconds{1614600000}} - microseconds{1}),
              "2021-03-01T11:59:59Z");
}

// Rows, file names and records already written hold these forms: they must read back the same.
TEST(UsageJson, TheThreeStoredTimeFormsStayByteForByte) {
    const TimePoint moment = sys_days{year{2021} / 3 / 4} + hours{9} + minutes{8} + seconds{7} +
                             milliseconds{654} + microseconds{999};
    EXPECT_EQ(formatUtc(moment, UtcForm::milliseconds), "2021-03-04T09:08:07.654");
    EXPECT_EQ(formatRfc3339(moment), "2021-03-04T09:08:07Z");
    const TimePoint logStart = sys_days{year{2026} / 12 / 8} + hours{10} + minutes{30};
    EXPECT_EQ(formatUtc(logStart + milliseconds{999}, UtcForm::compact), "20261208T103000Z");

    EXPECT_EQ(parseUtc("2021-03-04T09:08:07.654", UtcForm::milliseconds),
              moment - microseconds{999});
    EXPECT_EQ(parseUtc("20261208T103000Z", UtcForm::compact), logStart);
    for (const char* wrong :
         {"2021-03-04T09:08:07.654Z", "2021-03-04T09:08:07", "20261208T103000Z", "garbage", ""}) {
        EXPECT_FALSE(parseUtc(wrong, UtcForm::milliseconds)) << wrong;
    }
    for (const char* wrong : {"20261208T103000", "20261208X103000Z", "20261208T103000Zx",
                              "2021-03-04T09:08:07.654", ""}) {
        EXPECT_FALSE(parseUtc(wrong, UtcForm::compact)) << wrong;
    }
}

TEST(UsageJson, EndpointFollowsTheKindOfRecord) {
    AppUsage app("", "", kNoonAndAQuarter, 0, "", 0);
    DeviceUsage device("", "", kNoonAndAQuarter, 0, 1);
    Usage plain("", "", kNoonAndAQuarter, 0);
    EXPECT_EQ(endpointPath(usageTypeOf(app)), "/v1/app_usages");
    EXPECT_EQ(endpointPath(usageTypeOf(device)), "/v1/device_usages");
    EXPECT_EQ(usageTypeOf(plain), UsageType::app);
}

TEST(UsageJson, WhatIsWrittenReadsBackAsTheSameRecord) {
    AppUsage app("id:7:Åse", "LENOVO", kNoonAndAQuarter, 2, "org.gnome.Nautilus", 5230, 42);
    const auto readApp = fromJson(toJson(app), UsageType::app, nullptr);
    ASSERT_NE(readApp, nullptr);
    EXPECT_EQ(toJson(*readApp), toJson(app));
    EXPECT_FALSE(readApp->id.has_value());
    DeviceUsage device("p1:Bo", "x86_64", kNoonAndAQuarter, 1, 0);
    const auto readDevice = fromJson(toJson(device), UsageType::device, nullptr);
    ASSERT_NE(readDevice, nullptr);
    EXPECT_EQ(usageTypeOf(*readDevice), UsageType::device);
    EXPECT_EQ(toJson(*readDevice), toJson(device));
}

TEST(UsageJson, BodiesThatAreNoRecordOfTheirKindAreRefusedWithTheReason) {
    const std::string app = R"({"participant_identifier":"p:A","device_model_name":"M",)"
                            R"("user_count":1,"date":"2021-03-01T12:00:00Z","package":"x",)"
                            R"("duration":10})";
    const std::string device = R"({"participant_identifier":"p:A","device_model_name":"M",)"
                               R"("user_count":1,"timestamp":"2021-03-01T12:00:00Z",)"
                               R"("event_type":1})";
    const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    struct Case {
        std::string body;
        UsageType type;
        std::string reason;
    };
    const Case cases[] = {
        {"", UsageType::app, "not JSON in UTF-8"},
        {"{\"participant_identifier\":\"\xff\"}", UsageType::app, "not JSON in UTF-8"},
        {"[1]", UsageType::app, "not a JSON object"},
        {app, UsageType::device, "missing \"timestamp\""},
        {device, UsageType::app, "missing \"date\""},
        {replaced(app, "}", ",\"id\":3}"), UsageType::app, "unknown key \"id\""},
        {replaced(app, "\"x\"", "7"), UsageType::app, "\"package\" is not a string"},
        {replaced(app, "10}", "10.5}"), UsageType::app, "\"duration\" is not a 64-bit integer"},
        {replaced(app, "10}", "9223372036854775808}"), UsageType::app,
         "\"duration\" is not a 64-bit integer"},
        {replaced(app, "\"p:A\"", "\"pA\""), UsageType::app,
         "\"participant_identifier\" has no \":\""},
        {replaced(app, "12:00:00Z", "12:00:00.750Z"), UsageType::app,
         "\"date\" is not a UTC time to the second"},
        {replaced(app, "03-01T", "02-30T"), UsageType::app,
         "\"date\" is not a UTC time to the second"},
        {replaced(device, "12:00:00Z", "12:00:00+01:00"), UsageType::device,
         "\"timestamp\" is not a UTC time to the second"},
        {replaced(device, ":1}", ":2}"), UsageType::device, "\"event_type\" is neither 0 nor 1"},
    };
    for (const auto& c : cases) {
        std::string whyNot;
        EXPECT_EQ(fromJson(c.body, c.type, &whyNot), nullptr) << c.body;
        EXPECT_EQ(whyNot, c.reason) << c.body;
    }
    EXPECT_NE(fromJson(replaced(app, "10}", "-10}"), UsageType::app, nullptr), nullptr);
}

} // namespace
} // namespace ulvarend
