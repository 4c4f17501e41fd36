#include "platform/Text.h"

#include <gtest/gtest.h>

namespace ulvarend::platform {
namespace {

using namespace std::chrono;

// Found by the day count fuzz target: from the clock's earliest time, 200,000 days lead to a
// date the clock holds, but the shift itself did not fit in its unit and overflowed.
TEST(CalendarDaysTest, LongShiftsFromTheClocksEndsGiveTheDateOrNothingWithoutOverflow) {
    const auto far = addCalendarDays(TimePoint::min(), 200'000);
    ASSERT_TRUE(far);
    // Local time offsets changed over those centuries; the date is right to within a day.
    // Added in two halves: the whole shift overflows the clock's unit by itself.
    const TimePoint expected = TimePoint::min() + hours{24} * 100'000 + hours{24} * 100'000;
    EXPECT_LT(abs(*far - expected), hours{24});
    EXPECT_TRUE(addCalendarDays(TimePoint::max(), -200'000));
    // Also a short shift from there: the whole milliseconds of the start once overflowed.
    EXPECT_TRUE(addCalendarDays(TimePoint::min(), 30));

    EXPECT_EQ(addCalendarDays(TimePoint{seconds{1'600'000'000}}, 200'000), std::nullopt);
    EXPECT_EQ(addCalendarDays(TimePoint{seconds{1'600'000'000}}, -200'000), std::nullopt);
    EXPECT_EQ(addCalendarDays(TimePoint::max(), 1), std::nullopt);
    EXPECT_EQ(addCalendarDays(TimePoint::min(), -1), std::nullopt);
    // The part finer than a millisecond is kept.
    const TimePoint start = TimePoint{seconds{1'600'000'000}} + nanoseconds{123'456'789};
    EXPECT_EQ(addCalendarDays(start, 0), start);
}

} // namespace
} // namespace ulvarend::platform
