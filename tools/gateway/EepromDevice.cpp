#include "EepromDevice.h"

#include <algorithm>
#include <filesystem>

#include "MemoryImage.h"

namespace kestrix::gateway {

namespace {
namespace op {
constexpr uint8_t kWriteStatus = 0x01;
constexpr uint8_t kWrite = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteEnable = 0x06;
}  // namespace op

constexpr uint8_t kIdle = 0xFF;  // MISO is pulled up while the chip drives nothing
constexpr size_t kAddressBytes = 2;
}  // namespace

EepromDevice::EepromDevice(uint32_t size, double speedFactor)
    : m_memory(size, 0xFF), m_speedFactor(speedFactor), m_pageLatch(kPageSize), m_latched(kPageSize) {}

bool EepromDevice::ValidSize(uint64_t size) {
    return size >= 1024 && size <= 65536 && (size & (size - 1)) == 0;
}

bool EepromDevice::Load(const std::string& path, std::string& error) {
    if (!LoadImage(path, m_memory, 0xFF, "EEPROM", error)) return false;
    m_dirty = false;
    return true;
}

bool EepromDevice::Save(const std::string& path, std::string& error) {
    std::error_code ec;
    if (!m_dirty && std::filesystem::exists(path, ec)) return true;
    if (!SaveImage(path, m_memory, "EEPROM", error)) return false;
    m_dirty = false;
    return true;
}

bool EepromDevice::Busy() const {
    return Clock::now() < m_busyUntil;
}

uint8_t EepromDevice::Status() const {
    return static_cast<uint8_t>(m_statusBits | (m_writeEnabled ? kStatusWriteEnabled : 0) |
                                (Busy() ? kStatusBusy : 0));
}

bool EepromDevice::Protected(uint32_t address) const {
    const uint32_t blocks =
        (m_statusBits & kStatusBlockProtect) >> 2;  // 0 none, 1 top quarter, 2 top half, 3 all
    if (blocks == 0) return false;
    const uint32_t size = Size();
    const uint32_t from = blocks == 3 ? 0 : blocks == 2 ? size / 2 : size - size / 4;
    return address >= from;
}

void EepromDevice::Select() {
    m_frameBytes = 0;
    m_opcode = 0;
    m_address = 0;
    m_ignored = false;
    std::fill(m_latched.begin(), m_latched.end(), false);
    m_statusWritten = false;
}

void EepromDevice::Transfer(const uint8_t* out, uint8_t* in, size_t count) {
    for (size_t i = 0; i < count; ++i) in[i] = Clock1(out[i]);
}

uint8_t EepromDevice::Clock1(uint8_t out) {
    const size_t index = m_frameBytes++;
    if (index == 0) {
        m_opcode = out;
        // A busy chip answers only the status command.
        m_ignored = Busy() && out != op::kReadStatus;
        return kIdle;
    }
    if (m_ignored) return kIdle;
    switch (m_opcode) {
        case op::kReadStatus:
            return Status();
        case op::kWriteStatus:
            if (index == 1) {
                m_newStatus = out;
                m_statusWritten = true;
            }
            return kIdle;
        case op::kRead:
        case op::kWrite: {
            if (index <= kAddressBytes) {
                m_address = (m_address << 8 | out) & (Size() - 1);
                if (index == kAddressBytes) m_pageOffset = m_address % kPageSize;
                return kIdle;
            }
            if (m_opcode == op::kRead) {
                const uint8_t value = m_memory[m_address];
                m_address = (m_address + 1) & (Size() - 1);
                return value;
            }
            // Past the page's end the address wraps to the page's start.
            m_pageLatch[m_pageOffset] = out;
            m_latched[m_pageOffset] = true;
            m_pageOffset = (m_pageOffset + 1) % kPageSize;
            return kIdle;
        }
        default:
            return kIdle;
    }
}

void EepromDevice::Deselect() {
    if (m_frameBytes == 0 || m_ignored) return;
    switch (m_opcode) {
        case op::kWriteEnable:
            m_writeEnabled = true;
            return;
        case op::kWriteDisable:
            m_writeEnabled = false;
            return;
        case op::kWriteStatus:
            if (!m_writeEnabled || !m_statusWritten) return;
            m_statusBits = m_newStatus & (kStatusBlockProtect | kStatusWriteProtectEnable);
            break;
        case op::kWrite: {
            if (!m_writeEnabled || m_frameBytes <= 1 + kAddressBytes) return;
            const uint32_t page = m_address - m_address % kPageSize;
            for (uint32_t offset = 0; offset < kPageSize; ++offset) {
                if (m_latched[offset] && !Protected(page + offset))
                    m_memory[page + offset] = m_pageLatch[offset];
            }
            m_dirty = true;
            break;
        }
        default:
            return;
    }
    m_writeEnabled = false;
    m_busyUntil = Clock::now() + std::chrono::round<Clock::duration>(
                                     std::chrono::duration<double, std::milli>(kWriteTimeMs * m_speedFactor));
}

}  // namespace kestrix::gateway
