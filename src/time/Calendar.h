#pragma once

#include <cstdint>

namespace kestrix::calendar {

// Proleptic Gregorian calendar; day 0 is 0000-01-01 (a Saturday).
bool IsLeapYear(int32_t year);
int32_t DaysInMonth(int32_t year, int32_t month);
int64_t DayNumber(int32_t year, int32_t month, int32_t day);
void DateOfDayNumber(int64_t dayNumber, int32_t& year, int32_t& month, int32_t& day);
// Monday = 0 ... Sunday = 6.
int32_t Weekday(int64_t dayNumber);
// Day of the month of the occurrence-th `weekday` (0 = Sunday ... 6 =
// Saturday) in the month; occurrence 5 means the last one.
int32_t NthWeekdayOfMonth(int32_t year, int32_t month, int32_t weekday, int32_t occurrence);

}  // namespace kestrix::calendar
