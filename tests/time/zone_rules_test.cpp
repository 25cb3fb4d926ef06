#include <gtest/gtest.h>

#include "time/ZoneRules.h"

using namespace kestrix;

namespace {
constexpr ZoneTransition kNoDaylight{};

ZoneTransition Rule(int32_t month, int32_t weekday, int32_t occurrence, int32_t hour) {
    ZoneTransition rule;
    rule.month = month;
    rule.weekday = weekday;
    rule.occurrence = occurrence;
    rule.hour = hour;
    return rule;
}

LocalClockReading Clock(int32_t year, int32_t month, int32_t day, int32_t hour = 12, int32_t minute = 0,
                        int32_t second = 0, int32_t millisecond = 0) {
    return {year, month, day, hour, minute, second, millisecond};
}

// Central European rules: daylight from the last Sunday in March at 02:00 to
// the last Sunday in October at 03:00.
int32_t CentralEurope(const LocalClockReading& now) {
    return ZoneOffsetMinutes(-60, -60, Rule(3, 0, 5, 2), Rule(10, 0, 5, 3), now);
}
}  // namespace

TEST(ZoneRules, ZoneWithoutDaylightTimeIsTheNegatedBias) {
    const LocalClockReading now = Clock(2024, 7, 1);
    EXPECT_EQ(ZoneOffsetMinutes(210, 0, kNoDaylight, kNoDaylight, now), -210);
    EXPECT_EQ(ZoneOffsetMinutes(210, 0, kNoDaylight, kNoDaylight, now) / 60, -3);
    EXPECT_EQ(ZoneOffsetMinutes(-330, 0, kNoDaylight, kNoDaylight, now) / 60, 5);
    EXPECT_EQ(ZoneOffsetMinutes(0, -60, kNoDaylight, kNoDaylight, now), 0);
}

TEST(ZoneRules, DaylightBiasAppliesBetweenTheTwoTransitions) {
    EXPECT_EQ(CentralEurope(Clock(2024, 1, 15)), 60);
    EXPECT_EQ(CentralEurope(Clock(2024, 7, 1)), 120);
    EXPECT_EQ(CentralEurope(Clock(2024, 12, 1)), 60);
}

TEST(ZoneRules, TransitionDaysAreFoundInThePresentYear) {
    // The last Sunday of March is the 31st in 2024 but the 26th in 2023.
    EXPECT_EQ(CentralEurope(Clock(2024, 3, 28)), 60);
    EXPECT_EQ(CentralEurope(Clock(2023, 3, 28)), 120);
    // The second Sunday of March, 02:00 (2024-03-10).
    EXPECT_EQ(ZoneOffsetMinutes(300, -60, Rule(3, 0, 2, 2), Rule(11, 0, 1, 2), Clock(2024, 3, 10, 2)), -240);
    EXPECT_EQ(ZoneOffsetMinutes(300, -60, Rule(3, 0, 2, 2), Rule(11, 0, 1, 2), Clock(2024, 3, 9, 23)), -300);
}

TEST(ZoneRules, BothTransitionMomentsCountAsDaylightTime) {
    EXPECT_EQ(CentralEurope(Clock(2024, 3, 31, 1, 59, 59, 999)), 60);
    EXPECT_EQ(CentralEurope(Clock(2024, 3, 31, 2, 0, 0, 0)), 120);
    EXPECT_EQ(CentralEurope(Clock(2024, 10, 27, 3, 0, 0, 0)), 120);
    EXPECT_EQ(CentralEurope(Clock(2024, 10, 27, 3, 0, 0, 1)), 60);
}

TEST(ZoneRules, DaylightPeriodAcrossTheTurnOfTheYearNeverApplies) {
    // Daylight from the first Sunday in October to the first Sunday in April.
    const ZoneTransition daylight = Rule(10, 0, 1, 2);
    const ZoneTransition standard = Rule(4, 0, 1, 3);
    EXPECT_EQ(ZoneOffsetMinutes(-600, -60, daylight, standard, Clock(2024, 1, 15)), 600);
    EXPECT_EQ(ZoneOffsetMinutes(-600, -60, daylight, standard, Clock(2024, 7, 1)), 600);
}
