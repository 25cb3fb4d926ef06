#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrix {

// Wire layout: length(2) code(2) id(2) data(n) checksum(1); length = n + 5.
constexpr size_t kTelegramOverhead = 7;
constexpr size_t kMaxTelegramData = 65528;
constexpr size_t kMaxTelegramSize = kMaxTelegramData + kTelegramOverhead;

uint8_t TelegramChecksum(uint16_t code, uint16_t id, const uint8_t* data, size_t size);

// Writes the wire form of a telegram with the given fields into out (cleared first).
void SerializeTelegram(std::vector<uint8_t>& out, uint16_t length, uint16_t code, uint16_t id,
                       const uint8_t* data, size_t size, uint8_t checksum);

// Fields and operations shared by the two telegram classes. A telegram built
// with more data than the format can carry is refused: it stays empty,
// reports Refused() and serialises to nothing, so no truncated length field
// ever reaches the wire.
class TelegramFields {
public:
    uint16_t Length() const { return m_length; }
    uint16_t CommandCode() const { return m_commandCode; }
    uint16_t TelegramId() const { return m_telegramId; }
    uint8_t Checksum() const { return m_checksum; }
    const std::vector<uint8_t>& Data() const { return m_data; }
    bool Refused() const { return m_refused; }

    // True when the length field agrees with the data size.
    bool FieldsConsistent() const { return !m_refused && m_length == m_data.size() + 5; }
    uint8_t CurrentChecksum() const { return TelegramChecksum(m_commandCode, m_telegramId, m_data.data(), m_data.size()); }

    // Fills the fields from received bytes; false unless count >= 7 and the
    // length field equals count - 2. The checksum is not checked.
    bool ParseFields(const uint8_t* bytes, size_t count);

    std::vector<uint8_t> Serialize() const;
    void SerializeInto(std::vector<uint8_t>& out) const;

    void SetCommandCode(uint16_t code) { m_commandCode = code; }
    void SetTelegramId(uint16_t id) { m_telegramId = id; }
    // Replaces the data and recomputes length and checksum.
    void Assign(const uint8_t* data, size_t size);

protected:
    TelegramFields() = default;
    TelegramFields(const uint8_t* data, size_t size, uint16_t code, uint16_t id);
    ~TelegramFields() = default;
    TelegramFields(const TelegramFields&) = default;
    TelegramFields& operator=(const TelegramFields&) = default;
    TelegramFields(TelegramFields&&) = default;
    TelegramFields& operator=(TelegramFields&&) = default;

    void Reset();

    std::vector<uint8_t> m_data;
    uint16_t m_length = 5;
    uint16_t m_commandCode = 0;
    uint16_t m_telegramId = 0;
    uint8_t m_checksum = 0;
    bool m_refused = false;
};

}  // namespace kestrix
