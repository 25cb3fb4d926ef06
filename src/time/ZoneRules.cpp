#include "time/ZoneRules.h"

#include "time/CKesLocalTime.h"
#include "time/Calendar.h"

namespace kestrix {

namespace {
// The transition's moment in `presentYear`, stamped with the rule's own year
// field so that recurring rules (year 0) compare by month, day and time only.
CKesLocalTime TransitionMoment(const ZoneTransition& rule, int32_t presentYear) {
    const int32_t day = calendar::NthWeekdayOfMonth(presentYear, rule.month, rule.weekday, rule.occurrence);
    return CKesLocalTime(day, rule.month, rule.year, rule.hour, rule.minute, rule.second, rule.millisecond);
}
}  // namespace

int32_t ZoneOffsetMinutes(int32_t biasMinutes, int32_t daylightBiasMinutes,
                          const ZoneTransition& daylightStart, const ZoneTransition& standardStart,
                          const LocalClockReading& now) {
    int32_t offset = -biasMinutes;
    if (daylightStart.month == 0 || standardStart.month == 0) return offset;
    const CKesLocalTime daylightBegins = TransitionMoment(daylightStart, now.year);
    const CKesLocalTime standardBegins = TransitionMoment(standardStart, now.year);
    const CKesLocalTime present(now.day, now.month, 0, now.hour, now.minute, now.second, now.millisecond);
    if (!(present < daylightBegins) && !(standardBegins < present)) offset -= daylightBiasMinutes;
    return offset;
}

}  // namespace kestrix
