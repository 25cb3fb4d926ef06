#include <gtest/gtest.h>

#include "PipelineSizing.h"

namespace kestrix {
namespace {

using pipeline::BusTimeUs;
using pipeline::Limits;
using pipeline::LinkFacts;
using pipeline::MaySend;
using pipeline::SizePipeline;

constexpr uint32_t kFlashChunk = 65280;
constexpr uint32_t kPage = 256;
constexpr uint32_t kDepth = 8;

Limits FlashLimits(uint32_t clockHz, uint32_t timeoutMs, uint32_t roundTripUs) {
    LinkFacts facts;
    facts.clockHz = clockHz;
    facts.timeoutMs = timeoutMs;
    facts.roundTripUs = roundTripUs;
    return SizePipeline(facts, kFlashChunk, kPage, kDepth);
}

// The last of `depth` chunks waits for all of them on the bus and for the
// round trip; that must end inside the time-out with room to spare.
void ExpectLastAnswerInsideTimeout(uint32_t clockHz, uint32_t timeoutMs, uint32_t roundTripUs) {
    const Limits limits = FlashLimits(clockHz, timeoutMs, roundTripUs);
    const uint64_t lastWaitUs = BusTimeUs(uint64_t{limits.depth} * limits.chunk, clockHz) + roundTripUs;
    EXPECT_LE(lastWaitUs, uint64_t{timeoutMs} * 1000 * 3 / 5)
        << clockHz << " Hz, depth " << limits.depth << ", chunk " << limits.chunk;
    EXPECT_EQ(limits.chunk % kPage, 0u);
    EXPECT_LE(limits.chunk, kFlashChunk);
    EXPECT_GE(limits.depth, 1u);
    EXPECT_LE(limits.depth, kDepth);
}

TEST(PipelineSizing, EveryClockFrom100kHzTo50MHzFinishesInsideTheTimeout) {
    for (uint32_t clock : {100000u, 250000u, 400000u, 1000000u, 2000000u, 8000000u, 20000000u, 50000000u}) {
        for (uint32_t timeout : {1000u, 300u, 5000u}) {
            for (uint32_t roundTrip : {50u, 4000u, 40000u})
                ExpectLastAnswerInsideTimeout(clock, timeout, roundTrip);
        }
    }
}

TEST(PipelineSizing, OneMegahertzKeepsTwoChunksSoTheBusNeverWaitsForTheNetwork) {
    const Limits limits = FlashLimits(1000000, 1000, 4000);
    EXPECT_EQ(limits.depth, 2u);
    // 0.5 s less the round trip, at 125000 bytes a second, halved to pages.
    EXPECT_EQ(limits.outstandingBytes, 62000u);
    EXPECT_EQ(limits.chunk, 30976u);
    // Behind one chunk on the bus, the next is already waiting.
    EXPECT_GT(BusTimeUs(limits.chunk, 1000000), 4000u * 10);
}

TEST(PipelineSizing, FastClocksUseWholeChunksUpToTheDepthAskedFor) {
    const Limits fast = FlashLimits(8000000, 1000, 4000);
    EXPECT_EQ(fast.chunk, kFlashChunk);
    EXPECT_EQ(fast.depth, 7u);
    const Limits faster = FlashLimits(50000000, 1000, 4000);
    EXPECT_EQ(faster.chunk, kFlashChunk);
    EXPECT_EQ(faster.depth, kDepth);
}

TEST(PipelineSizing, SlowClocksSplitTransfersAndRefuseWhatCannotFinish) {
    const Limits slow = FlashLimits(100000, 1000, 4000);
    EXPECT_EQ(slow.depth, 2u);
    EXPECT_EQ(slow.chunk, 3072u);
    // Most of the time-out for a single transfer: 0.8 s less the round trip.
    EXPECT_EQ(slow.largestTransfer, 9950u);
    // A time-out shorter than the round trip leaves nothing but one page at a time.
    const Limits hopeless = FlashLimits(100000, 5, 10000);
    EXPECT_EQ(hopeless.largestTransfer, 0u);
    EXPECT_EQ(hopeless.chunk, kPage);
    EXPECT_EQ(hopeless.depth, 1u);
}

TEST(PipelineSizing, AnUnknownClockKeepsOneTransferOutstanding) {
    const Limits limits = FlashLimits(0, 1000, 4000);
    EXPECT_EQ(limits.depth, 1u);
    EXPECT_EQ(limits.chunk, kFlashChunk);
    EXPECT_EQ(limits.largestTransfer, kFlashChunk);
}

TEST(PipelineSizing, LongTimeoutsAndExtremeFactsStayWithinTheirBounds) {
    const Limits limits = FlashLimits(UINT32_MAX, UINT32_MAX, 0);
    EXPECT_EQ(limits.chunk, kFlashChunk);
    EXPECT_EQ(limits.depth, kDepth);
    EXPECT_EQ(limits.largestTransfer, kFlashChunk);
    // Without a granule or a depth the rule still gives a usable answer.
    const Limits bare = SizePipeline(LinkFacts{1000000, 1000, 0}, 65528, 0, 0);
    EXPECT_EQ(bare.depth, 1u);
    EXPECT_EQ(bare.chunk, 31250u);
}

TEST(PipelineSizing, MaySendKeepsOutstandingBytesAndCountWithinTheLimits) {
    const Limits limits = FlashLimits(1000000, 1000, 4000);
    EXPECT_TRUE(MaySend(limits, 0, 0, 65000, kDepth)) << "nothing outstanding: always one";
    EXPECT_TRUE(MaySend(limits, 30000, 1, 32000, kDepth));
    EXPECT_FALSE(MaySend(limits, 30000, 1, 32001, kDepth));
    EXPECT_FALSE(MaySend(limits, 10, kDepth, 10, kDepth)) << "the count bounds small transfers";
}

TEST(PipelineSizing, BusTimeRoundsUp) {
    EXPECT_EQ(BusTimeUs(125000, 1000000), 1000000u);
    EXPECT_EQ(BusTimeUs(1, 3000000), 3u);
    EXPECT_EQ(BusTimeUs(1000, 0), 0u);
}

}  // namespace
}  // namespace kestrix
