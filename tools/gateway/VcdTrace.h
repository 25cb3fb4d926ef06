#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace kestrix::gateway {

// Writes the SPI bus as a Value Change Dump that logic-analyser programs
// open: one-bit signals cs, clk, mosi and miso, each chip-select frame
// clocked in its clock mode (CPOL, CPHA) at its clock rate, frames in
// order with the real time between them. Gaps longer than kMaxGap are
// shortened to it, as the file's header says, so that an idle bus does not
// fill the file. One thread at a time (the bus's lock holder) calls Frame.
class VcdTrace {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kMaxGap = std::chrono::milliseconds(1);

    // False with `error` when `path` cannot be written.
    bool Open(const std::string& path, std::string& error);
    // Writes what is buffered; the file stays a complete trace.
    void Close();

    // One frame of `count` bytes that began on the bus at `start`.
    void Frame(Clock::time_point start, uint32_t clockRate, uint8_t clockMode, const uint8_t* out,
               const uint8_t* in, size_t count);

private:
    void At(double ns);
    void Set(char id, bool level);

    std::ofstream m_file;
    bool m_started = false;
    Clock::time_point m_realEnd;  // when the last frame ended on the bus
    double m_traceEnd = 0;        // when it ended in the trace, ns
    int64_t m_lastStamp = -1;     // the last time stamp written
    double m_lastNs = 0;          // and the time it stood for
    bool m_clk = false;
    bool m_mosi = false;
    bool m_miso = false;
};

}  // namespace kestrix::gateway
