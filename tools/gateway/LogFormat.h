#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrix::gateway {

// "0x" and `digits` upper-case hex digits.
std::string Hex(uint32_t value, int digits);

// One log line for a telegram on the wire: direction, command code and
// name, telegram ID, data size and the first data bytes.
std::string DescribeTelegram(const char* direction, const uint8_t* wire, size_t size);

// Bytes as lower-case hex without spaces.
std::string HexBytes(const uint8_t* data, size_t size);

}  // namespace kestrix::gateway
