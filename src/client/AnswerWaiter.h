#pragma once

#include <cstddef>
#include <cstdint>

#include "telegram/CKestrixMsg.h"
#include "transport/WaitRoom.h"

namespace kestrix {

// A caller waiting for one confirmation together with the place its answer
// goes. The reader checks the confirmation where it received it and copies
// the answer (the data after the result byte, as much as fits) once,
// straight to that place; a confirmation that fails its checks copies
// nothing.
class AnswerWaiter : public Waiter {
public:
    AnswerWaiter(uint16_t telegramId, uint16_t confirmationCode, uint8_t* destination, size_t capacity)
        : Waiter(telegramId), m_confirmationCode(confirmationCode), m_destination(destination), m_capacity(capacity) {}

    bool Accept(const uint8_t* telegram, uint16_t length) override;
    // The same for a confirmation that was filed before the caller came.
    void Take(const CKestrixMsg& confirmation);

    // Whether a confirmation was taken in, by Accept or Take. A waiter can
    // also be woken for one that was filed in the store instead, when it
    // arrived while the waiter was being registered.
    bool Taken() const { return m_taken; }
    // Once taken: RC_OK, RC_BAD_CHECKSUM or RC_NOT_CONFIRMED.
    int32_t Verdict() const { return m_check; }
    // The confirmation's data size and its first byte, the gateway's result.
    size_t DataSize() const { return m_dataSize; }
    uint8_t ResultByte() const { return m_resultByte; }

private:
    void Take(uint16_t code, bool checksumMatches, const uint8_t* data, size_t size);

    const uint16_t m_confirmationCode;
    uint8_t* const m_destination;
    const size_t m_capacity;
    // Written by whoever delivers, before the waiter is marked delivered.
    bool m_taken = false;
    int32_t m_check = 0;
    size_t m_dataSize = 0;
    uint8_t m_resultByte = 0;
};

}  // namespace kestrix
