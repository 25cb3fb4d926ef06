#pragma once

#include <cstdint>
#include <vector>

namespace kestrix::flash {

using Bytes = std::vector<uint8_t>;

// 25-series NOR flash: 256-byte pages, 4 KiB sectors, 64 KiB blocks, and
// 3-byte addresses that reach 16 MiB.
constexpr uint32_t kPageSize = 256;
constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kBlockSize = 65536;
constexpr uint64_t kAddressLimit = uint64_t{1} << 24;

constexpr uint64_t RoundDown(uint64_t value, uint32_t unit) {
    return value / unit * unit;
}
constexpr uint64_t RoundUp(uint64_t value, uint32_t unit) {
    return (value + unit - 1) / unit * unit;
}

}  // namespace kestrix::flash
