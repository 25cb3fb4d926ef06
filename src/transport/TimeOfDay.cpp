#include "transport/TimeOfDay.h"

#include <chrono>

namespace kestrix {

namespace {
constexpr int64_t kMicrosFrom1601To1970 = 11644473600000000LL;

TimeVal FromMicroseconds(int64_t micros) {
    TimeVal t;
    t.seconds = static_cast<int32_t>(micros / 1000000);
    t.microseconds = static_cast<int32_t>(micros % 1000000);
    return t;
}
}  // namespace

TimeVal TimeValFromFileTime(uint64_t fileTime) {
    return FromMicroseconds(static_cast<int64_t>(fileTime / 10) - kMicrosFrom1601To1970);
}

int GetTimeOfDay(TimeVal* out) {
    if (out == nullptr) return 0;
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    *out = FromMicroseconds(std::chrono::duration_cast<std::chrono::microseconds>(since1970).count());
    return 0;
}

void GetMonotonicTime(TimeVal* out) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    *out = FromMicroseconds(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

TimeVal IntervalFromMilliseconds(uint32_t milliseconds) {
    TimeVal t;
    t.seconds = static_cast<int32_t>(milliseconds / 1000);
    t.microseconds = static_cast<int32_t>((milliseconds % 1000) * 1000);
    return t;
}

TimeVal AddTime(TimeVal a, TimeVal b) {
    TimeVal t{a.seconds + b.seconds, a.microseconds + b.microseconds};
    if (t.microseconds >= 1000000) {
        t.seconds += 1;
        t.microseconds -= 1000000;
    }
    return t;
}

TimeVal SubtractTime(TimeVal later, TimeVal earlier) {
    TimeVal t{later.seconds - earlier.seconds, later.microseconds - earlier.microseconds};
    if (t.microseconds < 0) {
        t.seconds -= 1;
        t.microseconds += 1000000;
    }
    return t;
}

int64_t ToMilliseconds(TimeVal t) { return static_cast<int64_t>(t.seconds) * 1000 + t.microseconds / 1000; }

bool HasPassed(TimeVal now, TimeVal deadline) {
    return now.seconds > deadline.seconds ||
           (now.seconds == deadline.seconds && now.microseconds > deadline.microseconds);
}

Deadline::Deadline(uint32_t milliseconds) {
    TimeVal now;
    GetMonotonicTime(&now);
    m_deadline = AddTime(now, IntervalFromMilliseconds(milliseconds));
}

int64_t Deadline::RemainingMs() const {
    TimeVal now;
    GetMonotonicTime(&now);
    return ToMilliseconds(SubtractTime(m_deadline, now));
}

bool Deadline::Passed() const {
    TimeVal now;
    GetMonotonicTime(&now);
    return HasPassed(now, m_deadline);
}

}  // namespace kestrix
