#include "FlashPlan.h"

#include <algorithm>

namespace kestrix::flash {

SectorSpan SectorsTouched(uint32_t address, uint64_t length) {
    return {static_cast<uint32_t>(RoundDown(address, kSectorSize)), RoundUp(address + length, kSectorSize)};
}

WritePlan PlanWrite(uint32_t address, std::span<const uint8_t> data, std::span<const uint8_t> old) {
    WritePlan plan;
    if (data.empty()) return plan;
    const SectorSpan span = SectorsTouched(address, data.size());
    plan.first = span.first;
    const auto size = static_cast<uint32_t>(span.end - span.first);
    plan.image.assign(old.begin(), old.begin() + size);
    std::copy(data.begin(), data.end(), plan.image.begin() + (address - span.first));

    // Programming only clears bits; a bit that must rise needs an erase.
    const uint32_t sectors = size / kSectorSize;
    std::vector<bool> erase(sectors, false);
    for (uint32_t s = 0; s < sectors; ++s) {
        for (uint32_t i = s * kSectorSize; i < (s + 1) * kSectorSize && !erase[s]; ++i) {
            erase[s] = (plan.image[i] & ~old[i]) != 0;
        }
    }

    // What the chip holds once the erases are done.
    Bytes after(old.begin(), old.begin() + size);
    constexpr uint32_t kPerBlock = kBlockSize / kSectorSize;
    for (uint32_t s = 0; s < sectors;) {
        const uint32_t sectorAddress = span.first + s * kSectorSize;
        const bool wholeBlock =
            sectorAddress % kBlockSize == 0 && s + kPerBlock <= sectors &&
            std::all_of(erase.begin() + s, erase.begin() + s + kPerBlock, [](bool e) { return e; });
        const uint32_t count = wholeBlock ? kPerBlock : 1;
        if (erase[s]) {
            plan.erases.push_back({sectorAddress, wholeBlock ? kBlockSize : kSectorSize});
            ++(wholeBlock ? plan.blocksErased : plan.sectorsErased);
            std::fill(after.begin() + s * kSectorSize, after.begin() + (s + count) * kSectorSize, 0xFF);
        }
        s += count;
    }

    for (uint32_t page = 0; page < size; page += kPageSize) {
        uint32_t from = page;
        uint32_t to = page + kPageSize;
        while (from < to && plan.image[from] == after[from]) ++from;
        while (to > from && plan.image[to - 1] == after[to - 1]) --to;
        if (from < to) plan.programs.push_back({span.first + from, to - from});
    }
    return plan;
}

std::vector<EraseStep> PlanErase(uint32_t address, uint64_t length) {
    std::vector<EraseStep> steps;
    if (length == 0) return steps;
    const SectorSpan span = SectorsTouched(address, length);
    for (uint64_t at = span.first; at < span.end;) {
        const uint32_t size = at % kBlockSize == 0 && at + kBlockSize <= span.end ? kBlockSize : kSectorSize;
        steps.push_back({static_cast<uint32_t>(at), size});
        at += size;
    }
    return steps;
}

}  // namespace kestrix::flash
