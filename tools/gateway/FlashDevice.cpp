#include "FlashDevice.h"

#include <filesystem>
#include <fstream>

namespace kestrix::gateway {

namespace {
namespace op {
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kFastRead = 0x0B;
constexpr uint8_t kSectorErase = 0x20;
constexpr uint8_t kChipErase2 = 0x60;
constexpr uint8_t kJedecId = 0x9F;
constexpr uint8_t kChipErase = 0xC7;
constexpr uint8_t kBlockErase = 0xD8;
}  // namespace op

// Typical times of 25-series parts.
constexpr double kPageProgramMs = 0.7;
constexpr double kSectorEraseMs = 45;
constexpr double kBlockEraseMs = 150;
constexpr double kChipEraseMsPerMiB = 2500;

constexpr uint8_t kIdle = 0xFF;  // MISO is pulled up while the chip drives nothing
}  // namespace

FlashDevice::FlashDevice(uint32_t size, double speedFactor)
    : m_memory(size, 0xFF), m_speedFactor(speedFactor) {}

bool FlashDevice::ValidSize(uint64_t size) {
    return size >= kBlockSize && size <= (16u << 20) && (size & (size - 1)) == 0;
}

bool FlashDevice::Load(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) return true;
        error = "cannot read flash image " + path;
        return false;
    }
    file.read(reinterpret_cast<char*>(m_memory.data()), static_cast<std::streamsize>(m_memory.size()));
    if (file.bad()) {
        error = "cannot read flash image " + path;
        return false;
    }
    const auto loaded = static_cast<size_t>(file.gcount());
    if (file.peek() != std::ifstream::traits_type::eof()) {
        error = "flash image " + path + " is larger than the flash";
        return false;
    }
    for (size_t i = loaded; i < m_memory.size(); ++i) m_memory[i] = 0xFF;
    m_dirty = false;
    return true;
}

bool FlashDevice::Save(const std::string& path, std::string& error) {
    std::error_code ec;
    if (!m_dirty && std::filesystem::exists(path, ec)) return true;
    // Write aside and rename, so an interrupted save never leaves half an image.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(m_memory.data()),
                   static_cast<std::streamsize>(m_memory.size()));
        if (!file) {
            error = "cannot write flash image " + temporary;
            return false;
        }
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        error = "cannot replace flash image " + path + ": " + ec.message();
        return false;
    }
    m_dirty = false;
    return true;
}

std::array<uint8_t, 3> FlashDevice::JedecId() const {
    uint8_t capacity = 0;
    while ((1u << capacity) < m_memory.size()) ++capacity;
    return {kManufacturerId, kMemoryType, capacity};
}

bool FlashDevice::Busy() const {
    return Clock::now() < m_busyUntil;
}

void FlashDevice::StartBusy(double typicalMs) {
    if (m_speedFactor <= 0) return;
    const auto duration = std::chrono::duration<double, std::milli>(typicalMs * m_speedFactor);
    m_busyUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(duration);
}

uint32_t FlashDevice::Address() const {
    const uint32_t address =
        (static_cast<uint32_t>(m_header[0]) << 16) | (static_cast<uint32_t>(m_header[1]) << 8) | m_header[2];
    // Address bits above the chip's size are don't-care, as on real parts.
    return address & (Size() - 1);
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
            return k <= 3 ? JedecId()[k - 1] : kIdle;
        case op::kReadStatus:
            return static_cast<uint8_t>((Busy() ? kStatusBusy : 0) |
                                        (m_writeEnabled ? kStatusWriteEnabled : 0));
        case op::kRead:
        case op::kFastRead: {
            const size_t header = m_opcode == op::kFastRead ? 4 : 3;
            if (k <= header) {
                m_header[k - 1] = out;
                if (k == header) m_cursor = Address();
                return kIdle;
            }
            const uint8_t value = m_memory[m_cursor];
            m_cursor = (m_cursor + 1) & (Size() - 1);
            return value;
        }
        case op::kPageProgram:
            if (k <= 3) {
                m_header[k - 1] = out;
            } else {
                // Bytes past the end of the page wrap to its start.
                m_pageLatch[(m_header[2] + (k - 4)) % kPageSize] = out;
                m_pageLatched = true;
            }
            return kIdle;
        case op::kSectorErase:
        case op::kBlockErase:
            if (k <= 3) m_header[k - 1] = out;
            return kIdle;
        default:
            return kIdle;
    }
}

void FlashDevice::Deselect() {
    const size_t frameBytes = m_frameBytes;
    m_frameBytes = 0;
    if (frameBytes == 0 || m_ignored) return;
    switch (m_opcode) {
        case op::kWriteEnable:
            m_writeEnabled = true;
            return;
        case op::kWriteDisable:
            m_writeEnabled = false;
            return;
        case op::kPageProgram:
            if (!m_writeEnabled || !m_pageLatched) return;
            {
                const uint32_t page = Address() & ~(kPageSize - 1);
                // NOR cells only go from 1 to 0; erasing brings them back.
                for (uint32_t i = 0; i < kPageSize; ++i) m_memory[page + i] &= m_pageLatch[i];
            }
            StartBusy(kPageProgramMs);
            break;
        case op::kSectorErase:
        case op::kBlockErase: {
            if (!m_writeEnabled || frameBytes < 4) return;
            const uint32_t span = m_opcode == op::kSectorErase ? kSectorSize : kBlockSize;
            const uint32_t start = Address() & ~(span - 1);
            for (uint32_t i = 0; i < span; ++i) m_memory[start + i] = 0xFF;
            StartBusy(m_opcode == op::kSectorErase ? kSectorEraseMs : kBlockEraseMs);
            break;
        }
        case op::kChipErase:
        case op::kChipErase2:
            if (!m_writeEnabled) return;
            m_memory.assign(m_memory.size(), 0xFF);
            StartBusy(kChipEraseMsPerMiB * static_cast<double>(m_memory.size()) / (1 << 20));
            break;
        default:
            return;
    }
    m_writeEnabled = false;
    m_dirty = true;
}

}  // namespace kestrix::gateway
