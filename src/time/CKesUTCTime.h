#pragma once

#include <cstdint>
#include <iosfwd>

namespace kestrix {

// An instant in 10-ns ticks since 0000-01-01 00:00:00 UTC.
class CKesUTCTime {
public:
    static constexpr int64_t kTicksPerMillisecond = 100000;
    static constexpr int64_t kTicksPerSecond = 100000000;
    static constexpr int64_t kTicksPerHour = 360000000000LL;
    static constexpr int64_t kTicksPerDay = 8640000000000LL;
    // Seconds from 0000-01-01 to 1970-01-01.
    static constexpr int64_t kUnixEpochSeconds = 62167219200LL;

    // The current time, to the microsecond.
    CKesUTCTime();
    virtual ~CKesUTCTime() = default;
    CKesUTCTime(const CKesUTCTime&) = default;
    CKesUTCTime& operator=(const CKesUTCTime&) = default;

    // From a count of 100-ns units since 1601-01-01 UTC.
    static CKesUTCTime FromFileTime(uint64_t fileTime);

    virtual std::istream& ReadText(std::istream& in);
    virtual std::ostream& WriteText(std::ostream& out) const;
    virtual int64_t GetMilliseconds() const;
    virtual int64_t GetTicks() const;
    virtual void SetMilliseconds(int64_t milliseconds);
    virtual void SetTicks(int64_t ticks);

    // Moves the instant back by n seconds.
    void SubtractSeconds(uint32_t seconds);

    bool operator<(const CKesUTCTime& other) const { return GetMilliseconds() < other.GetMilliseconds(); }
    bool operator==(const CKesUTCTime& other) const { return GetMilliseconds() == other.GetMilliseconds(); }

protected:
    struct NoInit {};
    explicit CKesUTCTime(NoInit) {}

    int64_t m_ticks = 0;
};

// b.GetTicks() - a.GetTicks(): negative when b is earlier.
int64_t Difference(const CKesUTCTime& a, const CKesUTCTime& b);

}  // namespace kestrix
