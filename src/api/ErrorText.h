#pragma once

#include <cstdint>
#include <string>

namespace kestrix {

// The English message of a result code; never empty.
std::string ErrorText(int32_t code);

// Copies text into a caller's buffer: cut to bufferSize - 1 characters and
// NUL-terminated. Returns the bytes written including the NUL; 0 (nothing
// written) for a null buffer or bufferSize < 1.
int32_t CopyTextOut(const std::string& text, char* buffer, int32_t bufferSize);

}  // namespace kestrix
