#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrix::gateway {

// The contents of a simulated memory chip kept in a file between runs.

// Fills `memory` from `path`; bytes past the file's end become `blank`. A
// missing file leaves the memory blank. False (with `error`, naming the
// chip as `chip`) when the file cannot be read or is larger than the memory.
bool LoadImage(const std::string& path, std::vector<uint8_t>& memory, uint8_t blank, const std::string& chip,
               std::string& error);

// Writes `memory` to `path` through a file beside it, so an interrupted
// save never leaves half an image.
bool SaveImage(const std::string& path, const std::vector<uint8_t>& memory, const std::string& chip,
               std::string& error);

}  // namespace kestrix::gateway
