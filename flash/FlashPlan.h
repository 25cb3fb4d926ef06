#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "FlashGeometry.h"

namespace kestrix::flash {

// One sector or block erase.
struct EraseStep {
    uint32_t address = 0;
    uint32_t size = 0;  // kSectorSize or kBlockSize
    bool operator==(const EraseStep&) const = default;
};

// One page program: `length` bytes of the plan's image from `address` on,
// never crossing a page boundary.
struct ProgramStep {
    uint32_t address = 0;
    uint32_t length = 0;
    bool operator==(const ProgramStep&) const = default;
};

// How to turn the sectors a write touches from their old contents into the
// new ones.
struct WritePlan {
    uint32_t first = 0;  // address of the first sector touched
    Bytes image;         // those sectors' contents once written
    std::vector<EraseStep> erases;
    std::vector<ProgramStep> programs;
    uint32_t sectorsErased = 0;
    uint32_t blocksErased = 0;
};

// The sectors a write of `length` bytes at `address` touches, as an address
// range [first, end).
struct SectorSpan {
    uint32_t first = 0;
    uint64_t end = 0;
};
SectorSpan SectorsTouched(uint32_t address, uint64_t length);

// Plans putting `data` at `address` over `old`, the contents of the sectors
// it touches (SectorsTouched). A sector is erased only when some bit must
// rise from 0 to 1; 16 such sectors that fill an aligned block become one
// block erase. Pages are programmed only where they differ from what the
// chip holds after the erases, trimmed to the span that changes; the bytes
// of an erased sector outside the data come back from `old`.
WritePlan PlanWrite(uint32_t address, std::span<const uint8_t> data, std::span<const uint8_t> old);

// Every sector the range touches, as 64 KiB blocks where it covers whole
// aligned blocks.
std::vector<EraseStep> PlanErase(uint32_t address, uint64_t length);

}  // namespace kestrix::flash
