#include "Sfdp.h"

namespace kestrix::flash {

namespace {

uint32_t Le32(std::span<const uint8_t> bytes, size_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

}  // namespace

std::optional<uint32_t> SfdpParameterHeaders(std::span<const uint8_t> header) {
    if (header.size() < kSfdpHeaderSize || header[0] != 'S' || header[1] != 'F' || header[2] != 'D' ||
        header[3] != 'P') {
        return std::nullopt;
    }
    return uint32_t{header[6]} + 1;
}

std::optional<BasicTableLocation> FindBasicTable(std::span<const uint8_t> parameterHeaders) {
    for (size_t at = 0; at + kSfdpParameterHeaderSize <= parameterHeaders.size();
         at += kSfdpParameterHeaderSize) {
        const auto entry = parameterHeaders.subspan(at, kSfdpParameterHeaderSize);
        const uint32_t id = uint32_t{entry[7]} << 8 | entry[0];
        if (id != 0xFF00) continue;
        const uint32_t words = entry[3];
        const uint32_t address = uint32_t{entry[4]} | uint32_t{entry[5]} << 8 | uint32_t{entry[6]} << 16;
        if (words < 2) return std::nullopt;
        return BasicTableLocation{address, words};
    }
    return std::nullopt;
}

std::optional<uint64_t> DensityBytes(std::span<const uint8_t> basicTable) {
    if (basicTable.size() < 8) return std::nullopt;
    const uint32_t density = Le32(basicTable, 4);
    // Bit 31 clear: the size in bits minus one; set: the size is 2^N bits.
    uint64_t bits = 0;
    if ((density & 0x80000000u) == 0) {
        bits = uint64_t{density} + 1;
    } else {
        const uint32_t exponent = density & 0x7FFFFFFFu;
        if (exponent < 3 || exponent > 63) return std::nullopt;
        bits = uint64_t{1} << exponent;
    }
    // An erased or absent table reads as all ones.
    if (density == 0xFFFFFFFFu || bits < 8 * 1024) return std::nullopt;
    return bits / 8;
}

}  // namespace kestrix::flash
