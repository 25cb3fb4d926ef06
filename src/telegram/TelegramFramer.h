#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "telegram/Pack.h"

namespace kestrix {

// Cuts a TCP byte stream into telegrams by their length field. The caller
// receives straight into ReceiveSpace() and then calls Commit(); complete
// telegrams are handed on in place, without copying. Each receive may take up
// to the read limit, so one system call can frame many telegrams.
class TelegramFramer {
public:
    static constexpr size_t kBufferSize = 0x20000;
    // Largest telegram (length field 65535 plus its own 2 bytes).
    static constexpr size_t kReadLimit = 65537;

    enum class Status { Ok, ImpossibleLength };

    TelegramFramer() : m_buffer(new uint8_t[kBufferSize]) {}

    uint8_t* ReceiveSpace() { return m_buffer.get() + m_fill; }

    // How many bytes the next receive may ask for: up to the read limit, or
    // exactly the rest of an incomplete telegram that reaches beyond it.
    size_t ReceiveSize() const {
        if (m_consumed + m_pending <= kReadLimit) return kReadLimit - m_fill;
        return m_consumed + m_pending - m_fill;
    }

    // Accounts for `received` new bytes at ReceiveSpace() and calls
    // dispatch(const uint8_t* telegram, uint16_t size) for every complete
    // telegram. A dispatch that returns false stops the framing after its
    // telegram; the rest stays for a later Commit(0), which must come before
    // the next receive (Stopped() tells). A length field of 0xFFFE or 0xFFFF
    // cannot describe a telegram (its total size does not fit 16 bits); the
    // stream is then unusable.
    template <typename Dispatch>
    Status Commit(size_t received, Dispatch&& dispatch) {
        m_fill += received;
        m_stopped = false;
        while (m_consumed < m_fill) {
            uint8_t* start = m_buffer.get() + m_consumed;
            if (m_fill - m_consumed == 1) {
                m_buffer[0] = *start;
                m_fill = 1;
                m_consumed = 0;
                m_pending = 0;
                return Status::Ok;
            }
            const uint16_t lengthField = ReadU16(start);
            if (lengthField >= 0xFFFE) return Status::ImpossibleLength;
            m_pending = static_cast<size_t>(lengthField) + 2;
            if (m_fill - m_consumed < m_pending) return Status::Ok;
            const size_t size = m_pending;
            m_consumed += size;
            m_pending = 0;
            if constexpr (std::is_same_v<decltype(dispatch(start, uint16_t{})), bool>) {
                if (!dispatch(static_cast<const uint8_t*>(start), static_cast<uint16_t>(size)) &&
                    m_consumed < m_fill) {
                    m_stopped = true;
                    return Status::Ok;
                }
            } else {
                dispatch(static_cast<const uint8_t*>(start), static_cast<uint16_t>(size));
            }
        }
        m_fill = 0;
        m_consumed = 0;
        return Status::Ok;
    }

    // Copies bytes in through ReceiveSpace() as a stream of receives would.
    template <typename Dispatch>
    Status Feed(const uint8_t* bytes, size_t count, Dispatch&& dispatch) {
        while (count > 0) {
            size_t chunk = ReceiveSize();
            if (chunk > count) chunk = count;
            for (size_t i = 0; i < chunk; ++i) ReceiveSpace()[i] = bytes[i];
            if (Commit(chunk, dispatch) != Status::Ok) return Status::ImpossibleLength;
            bytes += chunk;
            count -= chunk;
        }
        return Status::Ok;
    }

    // Bytes of an incomplete telegram held back.
    size_t Buffered() const { return m_fill - m_consumed; }
    // Whether the last Commit stopped before the end of what it had.
    bool Stopped() const { return m_stopped; }

private:
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_fill = 0;
    size_t m_consumed = 0;
    size_t m_pending = 0;
    bool m_stopped = false;
};

}  // namespace kestrix
