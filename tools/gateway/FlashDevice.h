#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "SpiDevice.h"

namespace kestrix::gateway {

// A 25-series SPI NOR flash with 3-byte addresses: JEDEC ID, status, write
// enable latch, read, fast read, page program and sector, block and chip
// erase. Program and erase keep the busy bit set for a typical time times
// the speed factor (0: instant); while busy the chip answers only the
// status command, as real parts do.
class FlashDevice : public SpiDevice {
public:
    static constexpr uint32_t kPageSize = 256;
    static constexpr uint32_t kSectorSize = 4096;
    static constexpr uint32_t kBlockSize = 65536;
    static constexpr uint8_t kManufacturerId = 0xEF;
    static constexpr uint8_t kMemoryType = 0x40;

    static constexpr uint8_t kStatusBusy = 0x01;
    static constexpr uint8_t kStatusWriteEnabled = 0x02;

    // `size` must be a power of two from 64 KiB to 16 MiB (see ValidSize).
    FlashDevice(uint32_t size, double speedFactor);

    static bool ValidSize(uint64_t size);

    // Loads the contents from `path`; a missing file leaves the chip erased.
    // False (with `error`) when the file cannot be read or is too large.
    bool Load(const std::string& path, std::string& error);
    // Writes the contents to `path` unless it already holds them.
    bool Save(const std::string& path, std::string& error);

    void Select() override;
    void Transfer(const uint8_t* out, uint8_t* in, size_t count) override;
    void Deselect() override;
    const char* Describe() const override { return "flash"; }

    uint32_t Size() const { return static_cast<uint32_t>(m_memory.size()); }
    std::array<uint8_t, 3> JedecId() const;
    bool Busy() const;
    const std::vector<uint8_t>& Contents() const { return m_memory; }

private:
    using Clock = std::chrono::steady_clock;

    uint8_t Clock1(uint8_t out);
    uint32_t Address() const;
    void StartBusy(double typicalMs);
    void Commit();

    std::vector<uint8_t> m_memory;
    double m_speedFactor;
    Clock::time_point m_busyUntil{};
    bool m_writeEnabled = false;
    bool m_dirty = false;

    // The frame in progress.
    size_t m_frameBytes = 0;
    uint8_t m_opcode = 0;
    std::array<uint8_t, 4> m_header{};  // address bytes (and the fast-read dummy)
    uint32_t m_cursor = 0;
    bool m_ignored = false;
    std::array<uint8_t, kPageSize> m_pageLatch{};
    bool m_pageLatched = false;
};

}  // namespace kestrix::gateway
