#include "time/Calendar.h"

namespace kestrix::calendar {

namespace {
constexpr int32_t kMonthLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Leap years before `year`: L(0) = 0, L(1) = 1.
int64_t LeapYearsBefore(int64_t year) { return (year - 1) / 400 + (year + 3) / 4 - (year - 1) / 100; }
}  // namespace

bool IsLeapYear(int32_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int32_t DaysInMonth(int32_t year, int32_t month) {
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : kMonthLengths[month - 1];
}

int64_t DayNumber(int32_t year, int32_t month, int32_t day) {
    int64_t days = static_cast<int64_t>(year) * 365 + LeapYearsBefore(year);
    for (int32_t m = 1; m < month; ++m) days += DaysInMonth(year, m);
    return days + day - 1;
}

void DateOfDayNumber(int64_t dayNumber, int32_t& year, int32_t& month, int32_t& day) {
    // Estimate from the 400-year cycle of 146097 days, then settle exactly.
    int64_t y = dayNumber * 400 / 146097;
    while (DayNumber(static_cast<int32_t>(y + 1), 1, 1) <= dayNumber) ++y;
    while (DayNumber(static_cast<int32_t>(y), 1, 1) > dayNumber) --y;
    year = static_cast<int32_t>(y);
    int64_t rest = dayNumber - DayNumber(year, 1, 1);
    month = 1;
    while (rest >= DaysInMonth(year, month)) {
        rest -= DaysInMonth(year, month);
        ++month;
    }
    day = static_cast<int32_t>(rest) + 1;
}

int32_t Weekday(int64_t dayNumber) {
    int64_t w = (dayNumber + 5) % 7;
    if (w < 0) w += 7;
    return static_cast<int32_t>(w);
}

int32_t NthWeekdayOfMonth(int32_t year, int32_t month, int32_t weekday, int32_t occurrence) {
    const int64_t first = DayNumber(year, month, 1);
    // Weekday() counts from Monday; `weekday` counts from Sunday.
    const int32_t firstWeekday = (Weekday(first) + 1) % 7;
    int32_t day = 1 + ((weekday - firstWeekday) % 7 + 7) % 7;
    const int32_t length = DaysInMonth(year, month);
    for (int32_t i = 1; i < occurrence && day + 7 <= length; ++i) day += 7;
    return day;
}

}  // namespace kestrix::calendar
