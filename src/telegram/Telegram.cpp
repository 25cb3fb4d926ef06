#include "telegram/Telegram.h"

#include "telegram/Pack.h"

namespace kestrix {

namespace {
void WriteHeader(uint8_t* out, uint16_t length, uint16_t code, uint16_t id) {
    out[0] = static_cast<uint8_t>(length);
    out[1] = static_cast<uint8_t>(length >> 8);
    out[2] = static_cast<uint8_t>(code);
    out[3] = static_cast<uint8_t>(code >> 8);
    out[4] = static_cast<uint8_t>(id);
    out[5] = static_cast<uint8_t>(id >> 8);
}
}  // namespace

uint8_t TelegramChecksum(uint16_t code, uint16_t id, const uint8_t* data, size_t size) {
    uint8_t sum = static_cast<uint8_t>(code ^ (code >> 8) ^ id ^ (id >> 8));
    for (size_t i = 0; i < size; ++i) sum ^= data[i];
    return sum;
}

void SerializeTelegram(std::vector<uint8_t>& out, uint16_t length, uint16_t code, uint16_t id,
                       const uint8_t* data, size_t size, uint8_t checksum) {
    out.resize(size + kTelegramOverhead);
    uint8_t* p = out.data();
    WriteHeader(p, length, code, id);
    for (size_t i = 0; i < size; ++i) p[6 + i] = data[i];
    p[6 + size] = checksum;
}

size_t WriteTelegram(uint8_t* out, uint16_t code, uint16_t id, const uint8_t* data, size_t size, size_t padding) {
    const size_t dataSize = size + padding;
    WriteHeader(out, static_cast<uint16_t>(dataSize + 5), code, id);
    // Copy and checksum in the same loop: the data is read once.
    uint8_t sum = static_cast<uint8_t>(code ^ (code >> 8) ^ id ^ (id >> 8));
    uint8_t* p = out + 6;
    for (size_t i = 0; i < size; ++i) {
        p[i] = data[i];
        sum ^= data[i];
    }
    // Zero bytes leave the checksum as it is.
    for (size_t i = size; i < dataSize; ++i) p[i] = 0;
    p[dataSize] = sum;
    return dataSize + kTelegramOverhead;
}

bool TelegramBuffer::Build(uint16_t code, uint16_t id, const uint8_t* data, size_t size, size_t padding) {
    if (size > kMaxTelegramData || padding > kMaxTelegramData - size) return false;
    const size_t needed = size + padding + kTelegramOverhead;
    if (needed > m_capacity) {
        // Grown straight to the largest telegram once it passes a few KiB,
        // so that a rising series of sizes reallocates at most twice.
        const size_t capacity = needed > 4096 ? kMaxTelegramSize : needed;
        m_bytes.reset(new uint8_t[capacity]);
        m_capacity = capacity;
    }
    m_size = WriteTelegram(m_bytes.get(), code, id, data, size, padding);
    return true;
}

bool TelegramView::Valid() const {
    return m_bytes != nullptr && m_size >= kTelegramOverhead && m_size <= kMaxTelegramSize + 2 &&
           ReadU16(m_bytes) == m_size - 2;
}

uint16_t TelegramView::CommandCode() const { return ReadU16(m_bytes + 2); }
uint16_t TelegramView::TelegramId() const { return ReadU16(m_bytes + 4); }

TelegramFields::TelegramFields(const uint8_t* data, size_t size, uint16_t code, uint16_t id)
    : m_commandCode(code), m_telegramId(id) {
    Assign(data, size);
}

void TelegramFields::Assign(const uint8_t* data, size_t size) {
    if (size > kMaxTelegramData) {
        m_data.clear();
        m_refused = true;
    } else {
        m_refused = false;
        if (data != nullptr && size != 0) {
            m_data.assign(data, data + size);
        } else {
            m_data.clear();
        }
    }
    m_length = static_cast<uint16_t>(m_data.size() + 5);
    m_checksum = CurrentChecksum();
}

void TelegramFields::Reset() {
    m_data.clear();
    m_commandCode = 0;
    m_telegramId = 0;
    m_length = 5;
    m_refused = false;
    m_checksum = CurrentChecksum();
}

bool TelegramFields::ParseFields(const uint8_t* bytes, size_t count) {
    if (bytes == nullptr || count < kTelegramOverhead || count > kMaxTelegramSize + 2) {
        Reset();
        return false;
    }
    m_refused = false;
    m_length = ReadU16(bytes);
    m_commandCode = ReadU16(bytes + 2);
    m_telegramId = ReadU16(bytes + 4);
    m_data.assign(bytes + 6, bytes + count - 1);
    m_checksum = bytes[count - 1];
    return m_length == count - 2;
}

std::vector<uint8_t> TelegramFields::Serialize() const {
    std::vector<uint8_t> out;
    SerializeInto(out);
    return out;
}

void TelegramFields::SerializeInto(std::vector<uint8_t>& out) const {
    if (m_refused) {
        out.clear();
        return;
    }
    SerializeTelegram(out, m_length, m_commandCode, m_telegramId, m_data.data(), m_data.size(), m_checksum);
}

}  // namespace kestrix
