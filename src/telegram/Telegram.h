#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Writes a consistent telegram in one pass over its data: header, `size`
// bytes from `data` (may be null when size is 0), `padding` zero bytes, and
// the checksum over all of them. `out` must hold size + padding + 7 bytes,
// at most kMaxTelegramSize; returns the number written.
size_t WriteTelegram(uint8_t* out, uint16_t code, uint16_t id, const uint8_t* data, size_t size, size_t padding);

// Memory for building one outgoing telegram at a time. It grows to the
// largest telegram built so far and is reused, so steady traffic allocates
// nothing and nothing is zero-filled on the way.
class TelegramBuffer {
public:
    // Builds the telegram (see WriteTelegram); false, with nothing built,
    // when size + padding exceed what a telegram can carry.
    bool Build(uint16_t code, uint16_t id, const uint8_t* data, size_t size, size_t padding = 0);
    const uint8_t* Bytes() const { return m_bytes.get(); }
    size_t Size() const { return m_size; }
    size_t Capacity() const { return m_capacity; }

private:
    std::unique_ptr<uint8_t[]> m_bytes;
    size_t m_capacity = 0;
    size_t m_size = 0;
};

// A received telegram read where it lies, without copying: the `size` bytes
// at `bytes` must outlive the view. The same rules as parsing apply.
class TelegramView {
public:
    TelegramView(const uint8_t* bytes, size_t size) : m_bytes(bytes), m_size(size) {}

    // At least 7 bytes and a length field equal to the byte count minus 2.
    bool Valid() const;
    // Fields; only meaningful when there are at least 7 bytes.
    uint16_t CommandCode() const;
    uint16_t TelegramId() const;
    const uint8_t* Data() const { return m_bytes + 6; }
    size_t DataSize() const { return m_size - kTelegramOverhead; }
    uint8_t Checksum() const { return m_bytes[m_size - 1]; }
    bool ChecksumMatches() const { return TelegramChecksum(CommandCode(), TelegramId(), Data(), DataSize()) == Checksum(); }

private:
    const uint8_t* m_bytes;
    size_t m_size;
};

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
