#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "time/CKesLocalTime.h"
#include "time/CKesUTCTime.h"
#include "time/Calendar.h"

using namespace kestrix;
using namespace kestrix::calendar;

namespace {
constexpr int64_t kUnixEpochTicks = 6216721920000000000LL;
constexpr int64_t kMsTicks = CKesUTCTime::kTicksPerMillisecond;

CKesLocalTime At(int32_t year, int32_t month, int32_t day, int32_t hour = 0, int32_t minute = 0,
                 int32_t second = 0, int32_t millisecond = 0) {
    return CKesLocalTime(day, month, year, hour, minute, second, millisecond);
}

int64_t UtcTicks(const CKesUTCTime& t) {
    return t.CKesUTCTime::GetTicks();
}
}  // namespace

TEST(Calendar, DayNumbersOfKnownDates) {
    EXPECT_EQ(DayNumber(0, 1, 1), 0);
    EXPECT_EQ(DayNumber(0, 3, 1), 60);
    EXPECT_EQ(DayNumber(1, 1, 1), 366);
    EXPECT_EQ(DayNumber(1970, 1, 1), CKesUTCTime::kUnixEpochSeconds / 86400);
    EXPECT_EQ(DayNumber(2000, 1, 1), 730485);
}

TEST(Calendar, LeapYearsFollowTheCenturyRule) {
    EXPECT_TRUE(IsLeapYear(0));
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_FALSE(IsLeapYear(2023));
    EXPECT_EQ(DaysInMonth(1900, 2), 28);
    EXPECT_EQ(DaysInMonth(2000, 2), 29);
    EXPECT_EQ(DaysInMonth(2001, 4), 30);
    EXPECT_EQ(DaysInMonth(2001, 12), 31);
}

// Walks every day from 0000-01-01 well past 2400 with an independently
// stepped date, so an error in either direction shows at the first wrong day.
TEST(Calendar, DayNumberAndDateAreInversesFromYearZeroOn) {
    int32_t year = 0, month = 1, day = 1;
    for (int64_t n = 0; n < DayNumber(2500, 1, 1) + 10; ++n) {
        int32_t y = -1, m = -1, d = -1;
        DateOfDayNumber(n, y, m, d);
        ASSERT_EQ(y, year) << "day number " << n;
        ASSERT_EQ(m, month) << "day number " << n;
        ASSERT_EQ(d, day) << "day number " << n;
        ASSERT_EQ(DayNumber(year, month, day), n);
        if (++day > DaysInMonth(year, month)) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
}

TEST(Calendar, DatesOfFarDayNumbersRoundTrip) {
    for (int32_t year : {9999, 10000, 99999, 400000}) {
        for (int32_t month : {1, 2, 12}) {
            const int64_t n = DayNumber(year, month, DaysInMonth(year, month));
            int32_t y = 0, m = 0, d = 0;
            DateOfDayNumber(n, y, m, d);
            EXPECT_EQ(y, year);
            EXPECT_EQ(m, month);
            EXPECT_EQ(d, DaysInMonth(year, month));
        }
    }
}

TEST(Calendar, WeekdaysCountFromMonday) {
    EXPECT_EQ(Weekday(0), 5);  // 0000-01-01, a Saturday
    EXPECT_EQ(Weekday(730485), 5);
    EXPECT_EQ(Weekday(DayNumber(1970, 1, 1)), 3);
    EXPECT_EQ(Weekday(DayNumber(2024, 1, 1)), 0);
    EXPECT_EQ(Weekday(DayNumber(2024, 3, 31)), 6);
}

TEST(Calendar, NthWeekdayOfMonthCountsFromSundayAndFiveMeansLast) {
    // Sundays of March 2024: 3, 10, 17, 24, 31.
    EXPECT_EQ(NthWeekdayOfMonth(2024, 3, 0, 1), 3);
    EXPECT_EQ(NthWeekdayOfMonth(2024, 3, 0, 2), 10);
    EXPECT_EQ(NthWeekdayOfMonth(2024, 3, 0, 5), 31);
    // Sundays of February 2023: 5, 12, 19, 26; there is no fifth.
    EXPECT_EQ(NthWeekdayOfMonth(2023, 2, 0, 5), 26);
    EXPECT_EQ(NthWeekdayOfMonth(2024, 10, 0, 5), 27);
    EXPECT_EQ(NthWeekdayOfMonth(2024, 11, 0, 1), 3);
    // 2000-01-01 was a Saturday, 2000-01-03 a Monday.
    EXPECT_EQ(NthWeekdayOfMonth(2000, 1, 6, 1), 1);
    EXPECT_EQ(NthWeekdayOfMonth(2000, 1, 1, 1), 3);
    // February 2000 has five Tuesdays (1, 8, 15, 22, 29).
    EXPECT_EQ(NthWeekdayOfMonth(2000, 2, 2, 5), 29);
}

TEST(TimeFields, TicksCountFromYearZeroInUtc) {
    const CKesLocalTime epoch = At(1970, 1, 1);
    EXPECT_EQ(epoch.GetTicks(), kUnixEpochTicks);
    EXPECT_EQ(epoch.ZoneHours(), 0);
    const CKesLocalTime fine(2, 1, 1970, 3, 4, 5, 6, 7, 89);
    EXPECT_EQ(fine.GetTicks(), kUnixEpochTicks + CKesUTCTime::kTicksPerDay + 3 * CKesUTCTime::kTicksPerHour +
                                   4 * 6000000000LL + 5 * CKesUTCTime::kTicksPerSecond + 6 * kMsTicks +
                                   7 * 100 + 8);
}

TEST(TimeFields, DayBeyondFebruaryIsClampedToItsLastDay) {
    EXPECT_EQ(At(2001, 2, 31).GetTicks(), At(2001, 2, 28).GetTicks());
    EXPECT_EQ(At(2000, 2, 31).GetTicks(), At(2000, 2, 29).GetTicks());
    EXPECT_EQ(At(1900, 2, 30).GetTicks(), At(1900, 2, 28).GetTicks());
    EXPECT_EQ(At(2001, 4, 31).GetTicks(), At(2001, 4, 30).GetTicks());
    EXPECT_EQ(At(2001, 3, 0).GetTicks(), At(2001, 3, 1).GetTicks());
}

TEST(TimeFields, OutOfRangeFieldsTakeTheirBounds) {
    EXPECT_EQ(At(2001, 0, 15).GetTicks(), At(2001, 1, 15).GetTicks());
    EXPECT_EQ(At(2001, 13, 15).GetTicks(), At(2001, 12, 15).GetTicks());
    EXPECT_EQ(At(2001, 5, 10, 24, 60, 60, 1000).GetTicks(), At(2001, 5, 10, 23, 59, 59, 999).GetTicks());
    // Negative values compare as huge unsigned ones.
    EXPECT_EQ(At(2001, -1, -1).GetTicks(), At(2001, 12, 31).GetTicks());
    EXPECT_EQ(At(2001, 5, 10, -1, -1, -1, -1).GetTicks(), At(2001, 5, 10, 23, 59, 59, 999).GetTicks());
    EXPECT_EQ(CKesLocalTime(10, 5, 2001, 0, 0, 0, 0, 1000, 1000).GetTicks(),
              CKesLocalTime(10, 5, 2001, 0, 0, 0, 0, 999, 999).GetTicks());
}

TEST(TimeStamp, FileTimeOfUnixEpochGivesItsTicks) {
    const CKesUTCTime t = CKesUTCTime::FromFileTime(116444736000000000ULL);
    EXPECT_EQ(t.GetTicks(), kUnixEpochTicks);
    EXPECT_EQ(t.GetMilliseconds(), 62167219200000LL);
    // One and a half seconds and one microsecond later; the last 100 ns are below resolution.
    EXPECT_EQ(CKesUTCTime::FromFileTime(116444736000000000ULL + 15000019ULL).GetTicks(),
              kUnixEpochTicks + 150000100LL);
}

TEST(TimeStamp, CurrentTimeIsNearTheSystemClock) {
    const CKesUTCTime now;
    const int64_t unixSeconds = static_cast<int64_t>(std::time(nullptr));
    const int64_t stampSeconds =
        now.GetTicks() / CKesUTCTime::kTicksPerSecond - CKesUTCTime::kUnixEpochSeconds;
    EXPECT_LE(std::llabs(stampSeconds - unixSeconds), 2);
}

TEST(TimeStamp, ZoneHoursShiftMillisecondAndTickReadings) {
    CKesLocalTime local = At(2020, 6, 1, 12);
    const CKesUTCTime utc = local;
    local.SetZoneHours(2);
    EXPECT_EQ(local.GetMilliseconds(), utc.GetMilliseconds() + 7200000);
    EXPECT_EQ(local.GetTicks(), utc.GetTicks() + 2 * CKesUTCTime::kTicksPerHour);
    EXPECT_EQ(UtcTicks(local), utc.GetTicks());

    local.SetMilliseconds(63000000000000LL);
    EXPECT_EQ(local.GetMilliseconds(), 63000000000000LL);
    EXPECT_EQ(UtcTicks(local), (63000000000000LL - 7200000) * kMsTicks);

    local.SetZoneHours(-5);
    local.SetMilliseconds(1234);
    EXPECT_EQ(local.GetMilliseconds(), 1234);
    EXPECT_EQ(local.GetTicks(), 1234 * kMsTicks);

    // SetTicks stores the UTC instant as given.
    local.SetTicks(kUnixEpochTicks);
    EXPECT_EQ(local.GetTicks(), kUnixEpochTicks - 5 * CKesUTCTime::kTicksPerHour);

    CKesUTCTime plain = utc;
    plain.SetMilliseconds(42);
    EXPECT_EQ(plain.GetTicks(), 42 * kMsTicks);
}

TEST(TimeStamp, SubtractSecondsMovesTheInstantAndKeepsTheZone) {
    CKesLocalTime t = At(2020, 6, 1, 12);
    t.SetZoneHours(1);
    const int64_t before = t.GetMilliseconds();
    t.SubtractSeconds(0);
    EXPECT_EQ(t.GetMilliseconds(), before);
    t.SubtractSeconds(10);
    EXPECT_EQ(t.GetMilliseconds(), before - 10000);
    EXPECT_EQ(t.ZoneHours(), 1);
    // Beyond the range of a signed 32-bit count.
    t.SubtractSeconds(4000000000U);
    EXPECT_EQ(t.GetMilliseconds(), before - 10000 - 4000000000000LL);
}

TEST(TimeStamp, DifferenceIsNegativeWhenTheSecondIsEarlier) {
    CKesLocalTime first = At(2020, 6, 1, 12);
    first.SetZoneHours(3);
    CKesLocalTime deadline = first;
    deadline.SetMilliseconds(first.GetMilliseconds() + 500);
    CKesLocalTime second = first;
    second.SetMilliseconds(first.GetMilliseconds() + 600);
    EXPECT_EQ(Difference(second, deadline), -10000000);
    EXPECT_EQ(Difference(second, deadline) / kMsTicks, -100);
    EXPECT_EQ(Difference(deadline, second), 10000000);
    // Zone hours count: the same instant read with one more hour is later.
    CKesLocalTime shifted = first;
    shifted.SetZoneHours(4);
    EXPECT_EQ(Difference(first, shifted), CKesUTCTime::kTicksPerHour);
}

TEST(TimeStamp, OrderIsByMilliseconds) {
    CKesLocalTime a = At(2020, 6, 1, 12);
    CKesLocalTime b = a;
    b.SetTicks(UtcTicks(a) + kMsTicks - 1);
    EXPECT_FALSE(a < b);
    EXPECT_TRUE(a == b);
    b.SetTicks(UtcTicks(a) + kMsTicks);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    b.SetZoneHours(-1);
    EXPECT_TRUE(b < a);
}

TEST(TimeStamp, LocalNowIsCutToWholeMillisecondsWithTheMachineZone) {
    const CKesUTCTime before;
    const CKesLocalTime now = LocalNow();
    const CKesUTCTime after;
    EXPECT_EQ(UtcTicks(now) % kMsTicks, 0);
    EXPECT_GE(UtcTicks(now), before.GetTicks() / kMsTicks * kMsTicks);
    EXPECT_LE(UtcTicks(now), after.GetTicks());
    EXPECT_EQ(now.ZoneHours(), CurrentZoneHours());
}

#if !defined(_WIN32)
namespace {
// Sets the process's zone for one test and restores it afterwards.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) m_old = old, m_hadOld = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedZone() {
        if (m_hadOld) {
            setenv("TZ", m_old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::string m_old;
    bool m_hadOld = false;
};
}  // namespace

TEST(TimeZone, CurrentZoneHoursTruncatesTowardZero) {
    {
        const ScopedZone zone("XST-5:30");
        EXPECT_EQ(CurrentZoneHours(), 5);
    }
    {
        const ScopedZone zone("XST+3:30");
        EXPECT_EQ(CurrentZoneHours(), -3);
    }
    {
        const ScopedZone zone("UTC0");
        EXPECT_EQ(CurrentZoneHours(), 0);
        EXPECT_EQ(LocalNow().ZoneHours(), 0);
    }
}
#endif

// Signed 64-bit ticks reach into the year 2922.
TEST(TimeText, WrittenStampsReadBackExactly) {
    for (const CKesLocalTime& original :
         {At(0, 1, 1), At(1900, 2, 28, 23, 59, 59, 999), At(2000, 2, 29, 13, 45, 7, 123),
          CKesLocalTime(31, 12, 2900, 23, 59, 59, 999, 999, 999)}) {
        std::stringstream text;
        original.WriteText(text);
        CKesLocalTime read = At(1999, 1, 1);
        read.ReadText(text);
        EXPECT_FALSE(text.fail()) << text.str();
        EXPECT_EQ(read.GetTicks(), original.GetTicks()) << text.str();
    }
}

TEST(TimeText, LocalStampWritesItsUtcInstantAndKeepsTheReadersZone) {
    CKesLocalTime original(29, 2, 2000, 13, 45, 7, 123, 456, 780);
    original.SetZoneHours(3);
    std::stringstream text;
    original.WriteText(text);
    EXPECT_EQ(text.str(), "2000-02-29 13:45:07.12345678");

    CKesLocalTime read = At(1999, 1, 1);
    read.SetZoneHours(3);
    read.ReadText(text);
    EXPECT_EQ(read.GetTicks(), original.GetTicks());
    EXPECT_EQ(read.ZoneHours(), 3);
}

TEST(TimeText, MalformedTextFailsAndLeavesTheStamp) {
    for (const char* bad :
         {"2000/02/29 13:45:07.0", "2000-02-29 13:45", "2000-02-29 13:45:07.100000000", "x"}) {
        CKesUTCTime t = At(1999, 1, 1);
        const int64_t before = t.GetTicks();
        std::istringstream text(bad);
        t.ReadText(text);
        EXPECT_TRUE(text.fail()) << bad;
        EXPECT_EQ(t.GetTicks(), before) << bad;
    }
}
