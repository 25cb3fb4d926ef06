#include "time/CKesLocalTime.h"

#include "time/Calendar.h"
#include "transport/Platform.h"

namespace kestrix {

namespace {
// Unsigned comparison, so negative values take the upper bound too.
int64_t Clamp(int32_t value, uint32_t upper) {
    return static_cast<uint32_t>(value) > upper ? upper : value;
}
}  // namespace

CKesLocalTime::CKesLocalTime() = default;

CKesLocalTime::CKesLocalTime(int32_t day, int32_t month, int32_t year, int32_t hour, int32_t minute,
                             int32_t second, int32_t millisecond, int32_t microsecond, int32_t nanosecond)
    : CKesUTCTime(NoInit{}) {
    if (month == 0) month = 1;
    if (month > 12 || month < 0) month = 12;
    const int32_t length = calendar::DaysInMonth(year, month);
    if (day == 0) day = 1;
    if (day > length || day < 0) day = length;
    const int64_t ticks = calendar::DayNumber(year, month, day) * kTicksPerDay + Clamp(hour, 23) * kTicksPerHour +
                          Clamp(minute, 59) * 6000000000LL + Clamp(second, 59) * kTicksPerSecond +
                          Clamp(millisecond, 999) * kTicksPerMillisecond + Clamp(microsecond, 999) * 100 +
                          Clamp(nanosecond, 999) / 10;
    SetTicks(ticks);
}

int64_t CKesLocalTime::GetMilliseconds() const {
    return m_ticks / kTicksPerMillisecond + static_cast<int64_t>(m_zoneHours) * 3600000;
}

int64_t CKesLocalTime::GetTicks() const { return m_ticks + static_cast<int64_t>(m_zoneHours) * kTicksPerHour; }

void CKesLocalTime::SetMilliseconds(int64_t milliseconds) {
    m_ticks = (milliseconds - static_cast<int64_t>(m_zoneHours) * 3600000) * kTicksPerMillisecond;
}

CKesLocalTime LocalNow() {
    CKesLocalTime now;
    // The same instant cut to whole milliseconds.
    now.SetTicks(now.CKesUTCTime::GetMilliseconds() * CKesUTCTime::kTicksPerMillisecond);
    now.SetZoneHours(CurrentZoneHours());
    return now;
}

int32_t CurrentZoneHours() { return platform::LocalUtcOffsetMinutes() / 60; }

}  // namespace kestrix
