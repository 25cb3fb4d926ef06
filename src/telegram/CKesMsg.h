#pragma once

#include "telegram/Telegram.h"

namespace kestrix {

// A connection-level telegram (connect, disconnect, alive).
class CKesMsg : public TelegramFields {
public:
    // Fills the telegram from received bytes, as Parse does.
    CKesMsg(const uint8_t* bytes, size_t count) { Parse(bytes, count); }
    CKesMsg(const uint8_t* data, size_t size, uint16_t code, uint16_t id) : TelegramFields(data, size, code, id) {}
    virtual ~CKesMsg() = default;
    CKesMsg(const CKesMsg&) = default;
    CKesMsg& operator=(const CKesMsg&) = default;

    bool Parse(const uint8_t* bytes, size_t count) {
        return ParseFields(bytes, count) && IsValid();
    }
    virtual bool IsValid() const { return FieldsConsistent(); }
    uint8_t ComputeChecksum() const { return CurrentChecksum(); }
};

}  // namespace kestrix
