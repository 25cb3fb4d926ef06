#include "time/CKesUTCTime.h"

#include <chrono>
#include <iomanip>
#include <istream>
#include <ostream>

#include "time/Calendar.h"
#include "time/CKesLocalTime.h"

namespace kestrix {

namespace {
constexpr int64_t kMicrosFrom1601To1970 = 11644473600000000LL;

int64_t TicksFromUnixMicros(int64_t micros) {
    const int64_t seconds = micros / 1000000;
    const int64_t rest = micros % 1000000;
    return ((seconds + CKesUTCTime::kUnixEpochSeconds) * 1000000 + rest) * 100;
}
}  // namespace

CKesUTCTime::CKesUTCTime() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    m_ticks = TicksFromUnixMicros(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

CKesUTCTime CKesUTCTime::FromFileTime(uint64_t fileTime) {
    CKesUTCTime t{NoInit{}};
    t.m_ticks = TicksFromUnixMicros(static_cast<int64_t>(fileTime / 10) - kMicrosFrom1601To1970);
    return t;
}

int64_t CKesUTCTime::GetMilliseconds() const { return m_ticks / kTicksPerMillisecond; }
int64_t CKesUTCTime::GetTicks() const { return m_ticks; }
void CKesUTCTime::SetMilliseconds(int64_t milliseconds) { m_ticks = milliseconds * kTicksPerMillisecond; }
void CKesUTCTime::SetTicks(int64_t ticks) { m_ticks = ticks; }
void CKesUTCTime::SubtractSeconds(uint32_t seconds) { m_ticks -= static_cast<int64_t>(seconds) * kTicksPerSecond; }

// Text layout: YYYY-MM-DD hh:mm:ss.ffffffff, the UTC instant with its 10-ns
// fraction. Zone hours are not written, so a local time stamp reads back
// into one with the same zone hours unchanged.
std::ostream& CKesUTCTime::WriteText(std::ostream& out) const {
    int64_t days = m_ticks / kTicksPerDay;
    int64_t rest = m_ticks % kTicksPerDay;
    if (rest < 0) {
        rest += kTicksPerDay;
        --days;
    }
    int32_t year = 0, month = 0, day = 0;
    calendar::DateOfDayNumber(days, year, month, day);
    const char fill = out.fill('0');
    out << std::setw(4) << year << '-' << std::setw(2) << month << '-' << std::setw(2) << day << ' '
        << std::setw(2) << rest / kTicksPerHour << ':' << std::setw(2) << (rest / 6000000000LL) % 60 << ':'
        << std::setw(2) << (rest / kTicksPerSecond) % 60 << '.' << std::setw(8) << rest % kTicksPerSecond;
    out.fill(fill);
    return out;
}

std::istream& CKesUTCTime::ReadText(std::istream& in) {
    int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int64_t fraction = 0;
    char sep[5] = {};
    if (!(in >> year >> sep[0] >> month >> sep[1] >> day >> hour >> sep[2] >> minute >> sep[3] >> second >> sep[4] >>
          fraction)) {
        return in;
    }
    if (year < 0 || sep[0] != '-' || sep[1] != '-' || sep[2] != ':' || sep[3] != ':' || sep[4] != '.' ||
        fraction < 0 || fraction >= kTicksPerSecond) {
        in.setstate(std::ios::failbit);
        return in;
    }
    const CKesLocalTime fields(day, month, year, hour, minute, second, 0);
    m_ticks = fields.CKesUTCTime::GetTicks() + fraction;
    return in;
}

int64_t Difference(const CKesUTCTime& a, const CKesUTCTime& b) { return b.GetTicks() - a.GetTicks(); }

}  // namespace kestrix
