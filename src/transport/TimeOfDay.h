#pragma once

#include <cstdint>

namespace kestrix {

struct TimeVal {
    int32_t seconds = 0;
    int32_t microseconds = 0;  // 0..999999
};

// Wall-clock time since 1970-01-01 00:00 UTC. Writes nothing when out is
// null; always returns 0.
int GetTimeOfDay(TimeVal* out);

// Time since an arbitrary fixed point, never stepping back; the library's
// deadlines are measured on it so that a change of the wall clock can
// neither stretch nor cut a time-out.
void GetMonotonicTime(TimeVal* out);

// Splits a 100-ns count since 1601-01-01 UTC into a TimeVal since 1970.
TimeVal TimeValFromFileTime(uint64_t fileTime);

TimeVal IntervalFromMilliseconds(uint32_t milliseconds);
TimeVal AddTime(TimeVal a, TimeVal b);
TimeVal SubtractTime(TimeVal later, TimeVal earlier);
// Truncating toward zero.
int64_t ToMilliseconds(TimeVal t);
bool HasPassed(TimeVal now, TimeVal deadline);

// A point some milliseconds ahead on the monotonic clock.
class Deadline {
public:
    explicit Deadline(uint32_t milliseconds);
    // Milliseconds left; negative once passed.
    int64_t RemainingMs() const;
    bool Passed() const;

private:
    TimeVal m_deadline;
};

}  // namespace kestrix
