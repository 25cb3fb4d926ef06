#pragma once

#include "time/CKesUTCTime.h"

namespace kestrix {

// A UTC instant with a whole-hour zone offset that the millisecond and tick
// accessors apply. The ticks always hold the UTC instant.
class CKesLocalTime : public CKesUTCTime {
public:
    // The current time with zone hours 0.
    CKesLocalTime();
    // From calendar fields taken as UTC, each brought into range first; zone hours 0.
    CKesLocalTime(int32_t day, int32_t month, int32_t year, int32_t hour, int32_t minute, int32_t second,
                  int32_t millisecond, int32_t microsecond = 0, int32_t nanosecond = 0);

    int64_t GetMilliseconds() const override;
    int64_t GetTicks() const override;
    void SetMilliseconds(int64_t milliseconds) override;

    int32_t ZoneHours() const { return m_zoneHours; }
    void SetZoneHours(int32_t hours) { m_zoneHours = hours; }

private:
    int32_t m_zoneHours = 0;
};

// The current time, cut to whole milliseconds, with the machine's zone hours.
CKesLocalTime LocalNow();

// The machine's present offset from UTC in whole hours (truncated).
int32_t CurrentZoneHours();

}  // namespace kestrix
