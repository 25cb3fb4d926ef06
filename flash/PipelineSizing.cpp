#include "PipelineSizing.h"

#include <algorithm>

namespace kestrix::pipeline {

namespace {

// Outstanding work is cut into this many chunks at least, so that one
// waits behind the one on the bus and the bus never idles for a round trip.
constexpr uint64_t kChunksInBudget = 2;

// Bytes that `budgetUs` of bus time carries at `bytesPerSecond`; in
// floating point, since a long time-out at a fast pace overflows 64 bits.
uint64_t BytesIn(double budgetUs, double bytesPerSecond) {
    if (budgetUs <= 0) return 0;
    return static_cast<uint64_t>(std::min(budgetUs * bytesPerSecond / 1e6, 1e18));
}

}  // namespace

uint64_t BusTimeUs(uint64_t bytes, uint32_t clockHz) {
    if (clockHz == 0) return 0;
    return (bytes * 8000000 + clockHz - 1) / clockHz;
}

Limits SizePipeline(const LinkFacts& facts, uint32_t maxTransfer, uint32_t granule, uint32_t maxDepth) {
    granule = std::clamp<uint32_t>(granule, 1, std::max<uint32_t>(maxTransfer, 1));
    maxDepth = std::max<uint32_t>(maxDepth, 1);
    const uint32_t wholeMax = std::max(maxTransfer / granule * granule, granule);
    Limits limits;
    const double pace =
        facts.paceBytesPerSecond != 0 ? static_cast<double>(facts.paceBytesPerSecond) : facts.clockHz / 8.0;
    if (pace <= 0) {
        // Nothing tells how long the bus takes: one request at a time.
        limits.largestTransfer = maxTransfer;
        limits.chunk = wholeMax;
        limits.outstandingBytes = wholeMax;
        return limits;
    }
    const double timeoutUs = facts.timeoutMs * 1000.0;
    const double roundTripUs = facts.roundTripUs;
    limits.outstandingBytes = BytesIn(timeoutUs * kOutstandingShare - roundTripUs, pace);
    limits.largestTransfer = static_cast<uint32_t>(
        std::min<uint64_t>(maxTransfer, BytesIn(timeoutUs * kSingleShare - roundTripUs, pace)));
    const uint64_t share = limits.outstandingBytes / kChunksInBudget / granule * granule;
    limits.chunk = static_cast<uint32_t>(std::clamp<uint64_t>(share, granule, wholeMax));
    limits.depth =
        static_cast<uint32_t>(std::clamp<uint64_t>(limits.outstandingBytes / limits.chunk, 1, maxDepth));
    return limits;
}

uint64_t PaceOf(uint64_t bytes, uint64_t elapsedUs, uint32_t roundTripUs) {
    // A gateway quicker than the clock of this host can tell counts as 1 us.
    const uint64_t serviceUs = elapsedUs > roundTripUs ? elapsedUs - roundTripUs : 1;
    return bytes * 1000000 / serviceUs;
}

bool MaySend(const Limits& limits, uint64_t outstanding, uint32_t count, uint32_t next, uint32_t maxDepth) {
    if (count == 0) return true;
    return count < maxDepth && outstanding + next <= limits.outstandingBytes;
}

}  // namespace kestrix::pipeline
