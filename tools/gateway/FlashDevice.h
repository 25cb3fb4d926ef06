#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "SpiDevice.h"

namespace kestrix::gateway {

// A 25-series SPI NOR flash with 3-byte addresses, answering like the
// Winbond W25Q family of its size: JEDEC ID, the older ID commands, status
// registers with block protection, write enable latch, read, fast read,
// page program, sector, block and chip erase, and an SFDP table. Program,
// erase and status writes keep the busy bit set for a typical time times
// the speed factor (0: instant); while busy the chip answers only the
// status command, as real parts do.
class FlashDevice : public SpiDevice {
public:
    static constexpr uint32_t kPageSize = 256;
    static constexpr uint32_t kSectorSize = 4096;
    static constexpr uint32_t kHalfBlockSize = 32768;
    static constexpr uint32_t kBlockSize = 65536;
    static constexpr uint8_t kManufacturerId = 0xEF;
    static constexpr uint8_t kMemoryType = 0x40;

    // Status register 1.
    static constexpr uint8_t kStatusBusy = 0x01;
    static constexpr uint8_t kStatusWriteEnabled = 0x02;
    static constexpr uint8_t kStatusBlockProtect = 0x1C;  // BP2..BP0
    static constexpr uint8_t kStatusBottom = 0x20;        // TB: protect from the bottom
    static constexpr uint8_t kStatusSectors = 0x40;       // SEC: 4 KiB steps
    static constexpr uint8_t kStatusWritable = 0xFC;      // all but busy and the latch

    static constexpr size_t kSfdpSize = 256;

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
    std::array<uint8_t, 3> JedecId() const { return m_jedecId; }
    // Another ID than the family's for this size; the SFDP table still
    // tells the size.
    void SetJedecId(const std::array<uint8_t, 3>& id) { m_jedecId = id; }
    // Sets the block-protect bits so that the whole chip is protected.
    void ProtectAll() { m_status1 |= kStatusBlockProtect; }
    uint8_t Status1() const;
    bool Busy() const;
    // Whether the block-protect bits cover any byte of [address, address + length).
    bool Protected(uint32_t address, uint32_t length) const;
    const std::vector<uint8_t>& Contents() const { return m_memory; }
    const std::array<uint8_t, kSfdpSize>& Sfdp() const { return m_sfdp; }

private:
    using Clock = std::chrono::steady_clock;

    uint8_t Clock1(uint8_t out);
    uint8_t Header(size_t k, size_t length, uint8_t out);
    uint32_t RawAddress() const;
    uint32_t Address() const;
    void StartBusy(double typicalMs);
    void Erase(uint32_t span, double typicalMs);
    void WriteStatus(size_t dataBytes);

    std::vector<uint8_t> m_memory;
    double m_speedFactor;
    std::array<uint8_t, 3> m_jedecId{};
    std::array<uint8_t, kSfdpSize> m_sfdp{};
    Clock::time_point m_busyUntil{};
    bool m_writeEnabled = false;
    // Enabled by 0x50 for the next status write only.
    bool m_volatileStatusWrite = false;
    // The writable bits of status registers 1 and 2; volatile, like the
    // latch: a restart forgets them.
    uint8_t m_status1 = 0;
    uint8_t m_status2 = 0;
    bool m_dirty = false;

    // The frame in progress.
    size_t m_frameBytes = 0;
    uint8_t m_opcode = 0;
    std::array<uint8_t, 4> m_header{};  // address bytes (and the fast-read dummy), or status bytes
    uint32_t m_cursor = 0;
    bool m_ignored = false;
    std::array<uint8_t, kPageSize> m_pageLatch{};
    bool m_pageLatched = false;
};

}  // namespace kestrix::gateway
