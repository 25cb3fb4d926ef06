#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrix::cli {

// SHA-256 of `size` bytes, as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace kestrix::cli
