#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace kestrix::flash {

// Where the Basic Flash Parameter Table lies in a chip's SFDP space.
struct BasicTableLocation {
    uint32_t address = 0;
    uint32_t words = 0;  // length in 32-bit words
};

// Bytes of the SFDP header and of each parameter header.
constexpr uint32_t kSfdpHeaderSize = 8;
constexpr uint32_t kSfdpParameterHeaderSize = 8;

// Parameter headers that follow the header, from its byte 6; nothing when
// the header does not start with the "SFDP" signature.
std::optional<uint32_t> SfdpParameterHeaders(std::span<const uint8_t> header);

// The Basic Flash Parameter Table (ID 0xFF00) among the parameter headers,
// if it is there with at least its density word.
std::optional<BasicTableLocation> FindBasicTable(std::span<const uint8_t> parameterHeaders);

// The chip's size in bytes from the table's second word, if it tells one.
std::optional<uint64_t> DensityBytes(std::span<const uint8_t> basicTable);

}  // namespace kestrix::flash
