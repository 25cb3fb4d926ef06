#include "LogFormat.h"

#include <algorithm>
#include <cstdio>

#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"
#include "telegram/Telegram.h"
#include "telegram/TelegramFramer.h"

namespace kestrix::gateway {

namespace {
constexpr size_t kLogDataBytes = 32;
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string DescribeTelegram(const char* direction, const uint8_t* wire, size_t size) {
    if (size < kTelegramOverhead)
        return std::string(direction) + " " + std::to_string(size) + " bytes, no telegram";
    const uint16_t code = ReadU16(wire + 2);
    std::string line = std::string(direction) + " " + Hex(code, 4) + " " + CommandName(code) +
                       " id=" + std::to_string(ReadU16(wire + 4)) + " [" +
                       std::to_string(size - kTelegramOverhead) + "]";
    const size_t dataSize = size - kTelegramOverhead;
    for (size_t i = 0; i < std::min(dataSize, kLogDataBytes); ++i) {
        char text[4];
        std::snprintf(text, sizeof text, " %02X", wire[6 + i]);
        line += text;
    }
    if (dataSize > kLogDataBytes) line += " ...";
    return line;
}

std::string HexBytes(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[data[i] >> 4];
        text[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace kestrix::gateway
