#pragma once

#include "telegram/Telegram.h"

namespace kestrix {

// A device-command telegram: built by the commands, parsed by the client.
class CKestrixMsg : public TelegramFields {
public:
    CKestrixMsg() = default;
    CKestrixMsg(const uint8_t* data, size_t size, uint16_t code, uint16_t id) : TelegramFields(data, size, code, id) {}
    virtual ~CKestrixMsg() = default;
    CKestrixMsg(const CKestrixMsg&) = default;
    CKestrixMsg& operator=(const CKestrixMsg&) = default;
    CKestrixMsg(CKestrixMsg&&) = default;
    CKestrixMsg& operator=(CKestrixMsg&&) = default;

    bool Parse(const uint8_t* bytes, size_t count) {
        return ParseFields(bytes, count) && IsValid();
    }
    virtual bool IsValid() const { return FieldsConsistent(); }
    virtual uint8_t ComputeChecksum() const { return CurrentChecksum(); }
};

}  // namespace kestrix
