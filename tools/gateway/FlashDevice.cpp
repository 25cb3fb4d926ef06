#include "FlashDevice.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "MemoryImage.h"

namespace kestrix::gateway {

namespace {
namespace op {
constexpr uint8_t kWriteStatus = 0x01;
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kFastRead = 0x0B;
constexpr uint8_t kReadStatus3 = 0x15;
constexpr uint8_t kSectorErase = 0x20;
constexpr uint8_t kWriteStatus2 = 0x31;
constexpr uint8_t kReadStatus2 = 0x35;
constexpr uint8_t kVolatileStatusWrite = 0x50;
constexpr uint8_t kHalfBlockErase = 0x52;
constexpr uint8_t kReadSfdp = 0x5A;
constexpr uint8_t kChipErase2 = 0x60;
constexpr uint8_t kManufacturerDeviceId = 0x90;
constexpr uint8_t kJedecId = 0x9F;
constexpr uint8_t kDeviceId = 0xAB;
constexpr uint8_t kChipErase = 0xC7;
constexpr uint8_t kBlockErase = 0xD8;
}  // namespace op

// Typical times of 25-series parts.
constexpr double kPageProgramMs = 0.7;
constexpr double kSectorEraseMs = 45;
constexpr double kHalfBlockEraseMs = 120;
constexpr double kBlockEraseMs = 150;
constexpr double kChipEraseMsPerMiB = 2500;
constexpr double kWriteStatusMs = 10;

constexpr uint8_t kIdle = 0xFF;  // MISO is pulled up while the chip drives nothing

void PutU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// SFDP header and one Basic Flash Parameter Table (JESD216, 9 double words)
// describing this chip.
std::array<uint8_t, FlashDevice::kSfdpSize> SfdpTable(uint32_t size) {
    constexpr size_t kTable = 0x80;
    std::array<uint8_t, FlashDevice::kSfdpSize> sfdp{};
    sfdp.fill(0xFF);
    const uint8_t header[] = {
        'S',  'F',  'D',  'P', 0x00,   0x01, 0x00, 0xFF,  // revision 1.0, one parameter header
        0x00, 0x00, 0x01, 9,   kTable, 0,    0,    0xFF,  // basic table 1.0, 9 double words
    };
    std::copy(std::begin(header), std::end(header), sfdp.begin());
    uint8_t* table = sfdp.data() + kTable;
    // 4 KiB erase with 0x20, writes of 64 bytes and more, a volatile status
    // register written after 0x06, 3-byte addresses only, no multi-I/O reads.
    PutU32(table + 0, 0xFF8020FD);
    PutU32(table + 4, size * 8 - 1);  // density in bits, minus one
    PutU32(table + 8, 0);
    PutU32(table + 12, 0);
    PutU32(table + 16, 0xFFFFFFEE);
    PutU32(table + 20, 0xFFFF0000);
    PutU32(table + 24, 0xFFFF0000);
    // Erase types as size exponent and op code: 4 KiB, 32 KiB, 64 KiB.
    const uint8_t erases[] = {12, op::kSectorErase, 15, op::kHalfBlockErase, 16, op::kBlockErase, 0, 0};
    std::copy(std::begin(erases), std::end(erases), table + 28);
    return sfdp;
}

uint8_t CapacityByte(uint32_t size) {
    uint8_t capacity = 0;
    while ((1u << capacity) < size) ++capacity;
    return capacity;
}
}  // namespace

FlashDevice::FlashDevice(uint32_t size, double speedFactor)
    : m_memory(size, 0xFF),
      m_speedFactor(speedFactor),
      m_jedecId{kManufacturerId, kMemoryType, CapacityByte(size)},
      m_sfdp(SfdpTable(size)) {}

bool FlashDevice::ValidSize(uint64_t size) {
    return size >= kBlockSize && size <= (16u << 20) && (size & (size - 1)) == 0;
}

bool FlashDevice::Load(const std::string& path, std::string& error) {
    if (!LoadImage(path, m_memory, 0xFF, "flash", error)) return false;
    m_dirty = false;
    return true;
}

bool FlashDevice::Save(const std::string& path, std::string& error) {
    std::error_code ec;
    if (!m_dirty && std::filesystem::exists(path, ec)) return true;
    if (!SaveImage(path, m_memory, "flash", error)) return false;
    m_dirty = false;
    return true;
}

uint8_t FlashDevice::Status1() const {
    return static_cast<uint8_t>((Busy() ? kStatusBusy : 0) | (m_writeEnabled ? kStatusWriteEnabled : 0) |
                                m_status1);
}

bool FlashDevice::Protected(uint32_t address, uint32_t length) const {
    const uint32_t bits = (m_status1 & kStatusBlockProtect) >> 2;
    if (bits == 0 || length == 0) return false;
    // The W25Q steps: 1/64 of the chip (at least a block) doubling per
    // step, or 4 KiB doubling up to 32 KiB with SEC; all bits set is all.
    uint64_t span = Size();
    if (bits != 7) {
        span = (m_status1 & kStatusSectors) != 0
                   ? std::min<uint64_t>(kHalfBlockSize, uint64_t{kSectorSize} << (bits - 1))
                   : std::max<uint64_t>(kBlockSize, Size() / 64) << (bits - 1);
        span = std::min<uint64_t>(span, Size());
    }
    const uint64_t start = (m_status1 & kStatusBottom) != 0 ? 0 : Size() - span;
    return address < start + span && start < uint64_t{address} + length;
}

bool FlashDevice::Busy() const {
    return Clock::now() < m_busyUntil;
}

void FlashDevice::StartBusy(double typicalMs) {
    if (m_speedFactor <= 0) return;
    const auto duration = std::chrono::duration<double, std::milli>(typicalMs * m_speedFactor);
    m_busyUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(duration);
}

uint32_t FlashDevice::RawAddress() const {
    return (static_cast<uint32_t>(m_header[0]) << 16) | (static_cast<uint32_t>(m_header[1]) << 8) |
           m_header[2];
}

uint32_t FlashDevice::Address() const {
    // Address bits above the chip's size are don't-care, as on real parts.
    return RawAddress() & (Size() - 1);
}

void FlashDevice::Select() {
    m_frameBytes = 0;
    m_opcode = 0;
    m_ignored = false;
    m_pageLatched = false;
    m_pageLatch.fill(0xFF);
}

void FlashDevice::Transfer(const uint8_t* out, uint8_t* in, size_t count) {
    for (size_t i = 0; i < count; ++i) in[i] = Clock1(out[i]);
}

uint8_t FlashDevice::Header(size_t k, size_t length, uint8_t out) {
    if (k <= length) m_header[k - 1] = out;
    return kIdle;
}

uint8_t FlashDevice::Clock1(uint8_t out) {
    const size_t k = m_frameBytes++;
    if (k == 0) {
        m_opcode = out;
        m_ignored = Busy() && out != op::kReadStatus;
        return kIdle;
    }
    if (m_ignored) return kIdle;
    switch (m_opcode) {
        case op::kJedecId:
            return k <= 3 ? m_jedecId[k - 1] : kIdle;
        case op::kManufacturerDeviceId:
            // Manufacturer and device ID in turn; address bit 0 picks the first.
            if (k <= 3) return Header(k, 3, out);
            return ((k - 4 + (m_header[2] & 1)) % 2) == 0 ? m_jedecId[0]
                                                          : static_cast<uint8_t>(m_jedecId[2] - 1);
        case op::kDeviceId:
            return k <= 3 ? kIdle : static_cast<uint8_t>(m_jedecId[2] - 1);
        case op::kReadStatus:
            return Status1();
        case op::kReadStatus2:
            return m_status2;
        case op::kReadStatus3:
            return 0;
        case op::kWriteStatus:
        case op::kWriteStatus2:
            return Header(k, 2, out);
        case op::kRead:
        case op::kFastRead:
        case op::kReadSfdp: {
            const size_t header = m_opcode == op::kRead ? 3 : 4;
            if (k <= header) {
                Header(k, 3, out);
                if (k == header) m_cursor = m_opcode == op::kReadSfdp ? RawAddress() : Address();
                return kIdle;
            }
            if (m_opcode == op::kReadSfdp) {
                const uint32_t at = m_cursor++;
                return at < kSfdpSize ? m_sfdp[at] : kIdle;
            }
            const uint8_t value = m_memory[m_cursor];
            m_cursor = (m_cursor + 1) & (Size() - 1);
            return value;
        }
        case op::kPageProgram:
            if (k <= 3) return Header(k, 3, out);
            // Bytes past the end of the page wrap to its start.
            m_pageLatch[(m_header[2] + (k - 4)) % kPageSize] = out;
            m_pageLatched = true;
            return kIdle;
        case op::kSectorErase:
        case op::kHalfBlockErase:
        case op::kBlockErase:
            return Header(k, 3, out);
        default:
            // Commands of other parts (probes among them) get an undriven line.
            return kIdle;
    }
}

void FlashDevice::Erase(uint32_t span, double typicalMs) {
    const uint32_t start = Address() & ~(span - 1);
    if (Protected(start, span)) return;
    std::fill_n(m_memory.begin() + start, span, uint8_t{0xFF});
    StartBusy(typicalMs);
}

void FlashDevice::WriteStatus(size_t dataBytes) {
    if (m_opcode == op::kWriteStatus) {
        m_status1 = m_header[0] & kStatusWritable;
        if (dataBytes >= 2) m_status2 = m_header[1];
    } else {
        m_status2 = m_header[0];
    }
    // A volatile write (after 0x50) takes no time.
    if (m_writeEnabled) StartBusy(kWriteStatusMs);
}

void FlashDevice::Deselect() {
    const size_t frameBytes = m_frameBytes;
    m_frameBytes = 0;
    if (frameBytes == 0 || m_ignored) return;
    const bool volatileStatusWrite = std::exchange(m_volatileStatusWrite, false);
    switch (m_opcode) {
        case op::kWriteEnable:
            m_writeEnabled = true;
            return;
        case op::kWriteDisable:
            m_writeEnabled = false;
            return;
        case op::kVolatileStatusWrite:
            m_volatileStatusWrite = true;
            return;
        case op::kWriteStatus:
        case op::kWriteStatus2:
            if ((!m_writeEnabled && !volatileStatusWrite) || frameBytes < 2) return;
            WriteStatus(frameBytes - 1);
            m_writeEnabled = false;
            return;
        case op::kPageProgram:
            if (!m_writeEnabled || !m_pageLatched) return;
            {
                const uint32_t page = Address() & ~(kPageSize - 1);
                if (!Protected(page, kPageSize)) {
                    // NOR cells only go from 1 to 0; erasing brings them back.
                    for (uint32_t i = 0; i < kPageSize; ++i) m_memory[page + i] &= m_pageLatch[i];
                    StartBusy(kPageProgramMs);
                }
            }
            break;
        case op::kSectorErase:
        case op::kHalfBlockErase:
        case op::kBlockErase:
            if (!m_writeEnabled || frameBytes < 4) return;
            if (m_opcode == op::kSectorErase) Erase(kSectorSize, kSectorEraseMs);
            if (m_opcode == op::kHalfBlockErase) Erase(kHalfBlockSize, kHalfBlockEraseMs);
            if (m_opcode == op::kBlockErase) Erase(kBlockSize, kBlockEraseMs);
            break;
        case op::kChipErase:
        case op::kChipErase2:
            if (!m_writeEnabled) return;
            // Any protected range stops the whole chip erase.
            if (!Protected(0, Size())) {
                m_memory.assign(m_memory.size(), 0xFF);
                StartBusy(kChipEraseMsPerMiB * static_cast<double>(m_memory.size()) / (1 << 20));
            }
            break;
        default:
            return;
    }
    // A program or erase on a protected range is dropped, but it still
    // clears the latch, as on the part.
    m_writeEnabled = false;
    m_dirty = true;
}

}  // namespace kestrix::gateway
