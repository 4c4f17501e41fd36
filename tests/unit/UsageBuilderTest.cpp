#include "Implementations/UsageBuilder.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>
#include <limits>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using namespace ulvarend::testing;

const TimePoint kTen = TimePoint{seconds{1'700'000'000}};

ActiveWindow session(system_clock::duration length) {
    return ActiveWindow{"org.gnome.Nautilus", kTen, kTen + length};
}

TEST(UsageBuilderDuration, IsTruncatedToWholeMilliseconds) {
    EXPECT_EQ(UsageBuilder::durationMilliseconds(session(milliseconds{1999})), 1999);
    EXPECT_EQ(UsageBuilder::durationMilliseconds(session(microseconds{1999'999})), 1999);
    EXPECT_EQ(UsageBuilder::durationMilliseconds(session(microseconds{400})), 0);
    // Lengths that binary floating point cannot hold exactly still count every millisecond.
    for (const std::int64_t exact : {1001LL, 1003LL, 2002LL, 4'000'000'001LL}) {
        EXPECT_EQ(UsageBuilder::durationMilliseconds(session(milliseconds{exact})), exact);
    }
    EXPECT_EQ(UsageBuilder::durationMilliseconds(ActiveWindow{"x", kTen, std::nullopt}), 0);
}

TEST(UsageBuilderDuration, BackwardsAndUncountableIntervalsAreClamped) {
    EXPECT_EQ(UsageBuilder::durationMilliseconds(session(-microseconds{400})), 0);
    EXPECT_EQ(UsageBuilder::durationMilliseconds(session(-milliseconds{1})), 0);
    EXPECT_EQ(UsageBuilder::durationMilliseconds(session(-hours{5})), 0);
    const ActiveWindow endless{"x", TimePoint::min(), TimePoint::max()};
    EXPECT_EQ(UsageBuilder::durationMilliseconds(endless),
              std::numeric_limits<std::int64_t>::max());
}

class UsageBuilderTest : public Test {
protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(kTen + seconds{5});
    NiceShared<MockSettings> settings;
    UsageBuilder builder{clock, settings};

    void SetUp() override {
        ON_CALL(*settings, deviceModelName()).WillByDefault(Return("Dell Inc. XPS 13 9310"));
        ON_CALL(*settings, participantIdentifier()).WillByDefault(Return("p9:Anna"));
        ON_CALL(*settings, participantIdentifier(_)).WillByDefault([](const std::string& user) {
            return "p9:" + user;
        });
        ON_CALL(*settings, userCount()).WillByDefault(Return(2));
    }
};

TEST_F(UsageBuilderTest, AppUsageIsStampedWhenBuiltAndCarriesTheSession) {
    auto usage = builder.buildAppUsage(session(milliseconds{5230}));
    EXPECT_EQ(usage->participantIdentifier, "p9:Anna");
    EXPECT_EQ(usage->deviceModelName, "Dell Inc. XPS 13 9310");
    EXPECT_EQ(usage->userCount, 2);
    EXPECT_EQ(usage->timeStamp, kTen + seconds{5});
    EXPECT_EQ(usage->package, "org.gnome.Nautilus");
    EXPECT_EQ(usage->duration, 5230);
    EXPECT_FALSE(usage->id);
}

TEST_F(UsageBuilderTest, DeviceUsagesNameTheSelectedOrTheGivenUser) {
    auto selected = builder.buildDeviceUsage(EventType::ended);
    auto named = builder.buildDeviceUsage(EventType::started, "Bo");
    EXPECT_EQ(selected->participantIdentifier, "p9:Anna");
    EXPECT_EQ(selected->eventType, 0);
    EXPECT_EQ(named->participantIdentifier, "p9:Bo");
    EXPECT_EQ(named->eventType, 1);
    for (const auto& usage : {selected, named}) {
        EXPECT_EQ(usage->userCount, 2);
        EXPECT_EQ(usage->deviceModelName, "Dell Inc. XPS 13 9310");
        EXPECT_EQ(usage->timeStamp, kTen + seconds{5});
    }
}

} // namespace
} // namespace ulvarend
