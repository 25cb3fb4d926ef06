#pragma once

#include <cstdint>
#include <string>

namespace kestrix::flash {

// The text of a flash-layer result code, or nullptr for any other code.
const char* FlashCodeText(int32_t code);

// Copies `text` cut to bufferSize - 1 bytes and a NUL; returns the bytes
// written with the NUL, 0 for a NULL buffer or a size below 1.
int32_t CopyText(const char* text, char* buffer, int32_t bufferSize);

// "0x01F000".
std::string HexAddress(uint64_t address);

}  // namespace kestrix::flash
