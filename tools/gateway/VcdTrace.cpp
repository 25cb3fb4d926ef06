#include "VcdTrace.h"

#include <algorithm>
#include <cmath>

namespace kestrix::gateway {

namespace {

constexpr char kCs = 'c';
constexpr char kClk = 'k';
constexpr char kMosi = 'o';
constexpr char kMiso = 'i';

// Chip select stays high at least this long between frames, so a decoder
// always sees two frames apart.
constexpr double kMinGapNs = 1000;

}  // namespace

bool VcdTrace::Open(const std::string& path, std::string& error) {
    m_file.open(path, std::ios::binary | std::ios::trunc);
    if (!m_file) {
        error = "cannot write trace " + path;
        return false;
    }
    m_file << "$comment kestrix-gateway SPI bus trace. Gaps between frames longer than 1 ms are shortened to "
              "1 ms. $end\n"
              "$timescale 1 ns $end\n"
              "$scope module spi $end\n"
              "$var wire 1 c cs $end\n"
              "$var wire 1 k clk $end\n"
              "$var wire 1 o mosi $end\n"
              "$var wire 1 i miso $end\n"
              "$upscope $end\n"
              "$enddefinitions $end\n"
              "#0\n"
              "$dumpvars\n1c\n0k\n0o\n0i\n$end\n";
    m_lastStamp = 0;
    return true;
}

void VcdTrace::Close() {
    if (m_file.is_open()) m_file.close();
}

void VcdTrace::At(double ns) {
    if (ns == m_lastNs) return;
    m_lastNs = ns;
    // Time stamps must rise; at absurd clock rates neighbours share a nanosecond.
    const int64_t stamp = std::max<int64_t>(std::llround(ns), m_lastStamp + 1);
    m_file << '#' << stamp << '\n';
    m_lastStamp = stamp;
}

void VcdTrace::Set(char id, bool level) {
    m_file << (level ? '1' : '0') << id << '\n';
}

void VcdTrace::Frame(Clock::time_point start, uint32_t clockRate, uint8_t clockMode, const uint8_t* out,
                     const uint8_t* in, size_t count) {
    if (!m_file.is_open() || count == 0 || clockRate == 0) return;
    const bool cpol = (clockMode & 2) != 0;
    const bool cpha = (clockMode & 1) != 0;
    const double period = 1e9 / clockRate;
    const double half = period / 2;
    const size_t bits = count * 8;

    double gap = kMinGapNs;
    if (m_started) {
        const auto real = std::min<Clock::duration>(start - m_realEnd, kMaxGap);
        gap = std::max(kMinGapNs, std::chrono::duration<double, std::nano>(real).count());
    }
    const double t0 = m_traceEnd + gap;
    // The clock takes its idle level for this frame's mode while chip select is high.
    if (m_clk != cpol) {
        At(m_traceEnd + gap / 2);
        Set(kClk, m_clk = cpol);
    }
    At(t0);
    Set(kCs, false);
    auto bitAt = [&](size_t i) {
        const size_t byte = i / 8;
        const int shift = 7 - static_cast<int>(i % 8);
        return std::make_pair(((out[byte] >> shift) & 1) != 0, ((in[byte] >> shift) & 1) != 0);
    };
    auto setData = [&](size_t i) {
        const auto [mosi, miso] = bitAt(i);
        if (mosi != m_mosi) Set(kMosi, m_mosi = mosi);
        if (miso != m_miso) Set(kMiso, m_miso = miso);
    };
    // Bit i: leading clock edge at t0 + (i + 1) × period, trailing edge half a
    // period later. Mode 0 and 2 set data half a period before the leading
    // edge and sample on it; modes 1 and 3 set data on the leading edge and
    // sample on the trailing one.
    for (size_t i = 0; i < bits; ++i) {
        const double leading = t0 + static_cast<double>(i + 1) * period;
        if (!cpha) {
            At(leading - half);
            setData(i);
        }
        At(leading);
        Set(kClk, m_clk = !cpol);
        if (cpha) setData(i);
        At(leading + half);
        Set(kClk, m_clk = cpol);
    }
    const double end = t0 + static_cast<double>(bits + 1) * period;
    At(end);
    Set(kCs, true);
    m_traceEnd = end;
    m_realEnd =
        start + std::chrono::round<Clock::duration>(std::chrono::duration<double, std::nano>(end - t0));
    m_started = true;
}

}  // namespace kestrix::gateway
