#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "SpiDevice.h"

namespace kestrix::gateway {

// A 25xx-series serial EEPROM with 2-byte addresses: write enable and
// disable, read and write status (block protect bits), read from any
// address, write up to a 64-byte page (wrapping within it). A write takes
// effect when chip select rises and keeps the chip busy for its write time
// times the speed factor (0: instant); while busy it answers only the
// status command.
class EepromDevice : public SpiDevice {
public:
    static constexpr uint32_t kPageSize = 64;
    static constexpr uint32_t kDefaultSize = 32768;
    static constexpr double kWriteTimeMs = 5;

    static constexpr uint8_t kStatusBusy = 0x01;
    static constexpr uint8_t kStatusWriteEnabled = 0x02;
    static constexpr uint8_t kStatusBlockProtect = 0x0C;
    static constexpr uint8_t kStatusWriteProtectEnable = 0x80;

    // `size` must be a power of two from 1 KiB to 64 KiB (see ValidSize).
    EepromDevice(uint32_t size, double speedFactor);

    static bool ValidSize(uint64_t size);

    bool Load(const std::string& path, std::string& error);
    // Writes the contents to `path` unless it already holds them.
    bool Save(const std::string& path, std::string& error);

    void Select() override;
    void Transfer(const uint8_t* out, uint8_t* in, size_t count) override;
    void Deselect() override;
    const char* Describe() const override { return "eeprom"; }

    uint32_t Size() const { return static_cast<uint32_t>(m_memory.size()); }
    bool Busy() const;

private:
    using Clock = std::chrono::steady_clock;

    uint8_t Clock1(uint8_t out);
    uint8_t Status() const;
    // True when block protection covers `address`.
    bool Protected(uint32_t address) const;

    std::vector<uint8_t> m_memory;
    double m_speedFactor;
    Clock::time_point m_busyUntil{};
    bool m_writeEnabled = false;
    uint8_t m_statusBits = 0;  // block protect and write protect enable
    bool m_dirty = false;

    // The frame in progress.
    size_t m_frameBytes = 0;
    uint8_t m_opcode = 0;
    uint32_t m_address = 0;
    bool m_ignored = false;
    // The bytes of a write, by their offset in the page.
    std::vector<uint8_t> m_pageLatch;
    std::vector<bool> m_latched;
    uint32_t m_pageOffset = 0;
    uint8_t m_newStatus = 0;
    bool m_statusWritten = false;
};

}  // namespace kestrix::gateway
