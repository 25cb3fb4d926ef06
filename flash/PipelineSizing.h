#pragma once

#include <cstdint>

// How much work may be outstanding at a gateway at once. The gateway runs
// transfers one after the other on one bus, so a request waits for the bus
// time of everything sent before it; that wait, plus the network's round
// trip, must end well inside the handle's time-out. Pure functions, no I/O:
// the caller measures the clock rate, the round trip and, when it can, the
// gateway's pace.
namespace kestrix::pipeline {

struct LinkFacts {
    // The SPI clock rate the gateway reports, in Hz; 0 when unknown.
    uint32_t clockHz = 0;
    // The handle's time-out in milliseconds.
    uint32_t timeoutMs = 1000;
    // One request's round trip without bus time, in microseconds.
    uint32_t roundTripUs = 0;
    // The bytes a second the gateway was seen to finish, when measured: it
    // replaces the clock's own pace, which a gateway with work of its own
    // per transfer does not reach and a simulated instant bus exceeds.
    uint64_t paceBytesPerSecond = 0;
};

struct Limits {
    // The most bytes kept outstanding (what their bus time allows).
    uint64_t outstandingBytes = 0;
    // The largest single transfer that completes inside the time-out; a
    // larger one must be split or refused.
    uint32_t largestTransfer = 0;
    // Transfer size for work that can be split at `granule` boundaries.
    uint32_t chunk = 0;
    // Transfers of `chunk` bytes kept outstanding, 1 to maxDepth.
    uint32_t depth = 1;
};

// Shares of the time-out. Outstanding work gets half, so that the last
// request's wait has the other half as margin for a loaded host or network;
// a single transfer may use most of it, since nothing queues behind it.
inline constexpr double kOutstandingShare = 0.5;
inline constexpr double kSingleShare = 0.8;

// `maxTransfer`: the most one request carries; `granule`: chunks are
// multiples of it (a flash page, or 1); `maxDepth`: the most requests kept
// outstanding regardless of time.
Limits SizePipeline(const LinkFacts& facts, uint32_t maxTransfer, uint32_t granule, uint32_t maxDepth);

// Bus time of `bytes` at `clockHz`, in microseconds (0 for an unknown clock).
uint64_t BusTimeUs(uint64_t bytes, uint32_t clockHz);

// The pace of a gateway that answered a transfer of `bytes`, sent with
// nothing else outstanding, after `elapsedUs`: what the round trip leaves.
uint64_t PaceOf(uint64_t bytes, uint64_t elapsedUs, uint32_t roundTripUs);

// Whether a transfer of `next` bytes may be sent while `outstanding` bytes
// in `count` requests are unanswered: always when nothing is outstanding,
// else while both fit the limits.
bool MaySend(const Limits& limits, uint64_t outstanding, uint32_t count, uint32_t next, uint32_t maxDepth);

}  // namespace kestrix::pipeline
