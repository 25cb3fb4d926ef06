#pragma once

#include <cstdint>

namespace kestrix {

// One yearly change between standard and daylight time in the form the
// operating system reports it. Year 0 means the rule recurs every year.
struct ZoneTransition {
    int32_t year = 0;
    // 0: the zone has no daylight time.
    int32_t month = 0;
    // 0 = Sunday ... 6 = Saturday.
    int32_t weekday = 0;
    // The n-th such weekday of the month; 5 means the last one.
    int32_t occurrence = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    int32_t millisecond = 0;
};

// Present local wall-clock time.
struct LocalClockReading {
    int32_t year = 0;
    int32_t month = 1;
    int32_t day = 1;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    int32_t millisecond = 0;
};

// Offset of local time from UTC in minutes east. `biasMinutes` and
// `daylightBiasMinutes` count west (UTC = local + bias). Daylight time
// applies from `daylightStart` up to and including `standardStart`, both
// found in the present year and compared within one year, so a daylight
// period that spans the turn of the year never applies.
int32_t ZoneOffsetMinutes(int32_t biasMinutes, int32_t daylightBiasMinutes,
                          const ZoneTransition& daylightStart, const ZoneTransition& standardStart,
                          const LocalClockReading& now);

}  // namespace kestrix
