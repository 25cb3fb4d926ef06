#include "client/AnswerWaiter.h"

#include <algorithm>
#include <cstring>

#include "KestrixSPI.h"
#include "telegram/Telegram.h"

namespace kestrix {

bool AnswerWaiter::Accept(const uint8_t* telegram, uint16_t length) {
    const TelegramView view(telegram, length);
    Take(view.CommandCode(), view.ChecksumMatches(), view.Data(), view.DataSize());
    return true;
}

void AnswerWaiter::Take(const CKestrixMsg& confirmation) {
    Take(confirmation.CommandCode(), confirmation.Checksum() == confirmation.ComputeChecksum(),
         confirmation.Data().data(), confirmation.Data().size());
}

void AnswerWaiter::Take(uint16_t code, bool checksumMatches, const uint8_t* data, size_t size) {
    m_taken = true;
    m_dataSize = size;
    m_resultByte = size > 0 ? data[0] : 0;
    if (!checksumMatches) {
        m_check = RC_BAD_CHECKSUM;
    } else if (code != m_confirmationCode) {
        m_check = RC_NOT_CONFIRMED;
    } else {
        m_check = RC_OK;
        if (size > 1 && m_capacity > 0) std::memcpy(m_destination, data + 1, std::min(m_capacity, size - 1));
    }
}

}  // namespace kestrix
