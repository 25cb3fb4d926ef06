// The simulator's modelled network: delay each way, rate limit, many
// telegrams in flight at once, and the SPI bus's own time.
#include <thread>

#include "LinkModel.h"
#include "SimulatorFixture.h"

namespace kestrix::test {
namespace {

using gateway::LinkSettings;
using gateway::LinkTimeline;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A link only ever adds time, so every run must take at least `floorMs`;
// a loaded machine adds more at random, so the fastest of a few runs is
// held to the upper bound.
template <typename Run>
double FastestOf(int runs, double floorMs, Run run) {
    double fastest = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        run();
        const double ms = MsSince(start);
        EXPECT_GE(ms, floorMs - 0.5);
        fastest = std::min(fastest, ms);
    }
    return fastest;
}

TEST(LinkTimeline, BytesTakeTheirWireTimeBehindEarlierOnesThenTheDelay) {
    LinkTimeline line(LinkSettings{0.5, 8});  // 8 Mbit/s: 1000 bytes take 1 ms
    const Clock::time_point t0{};
    using std::chrono::microseconds;
    EXPECT_EQ(line.Arrival(1000, t0) - t0, microseconds(1500));
    // Sent at the same moment: waits for the first to leave the wire.
    EXPECT_EQ(line.Arrival(1000, t0) - t0, microseconds(2500));
    // Sent once the wire is idle again: only its own time.
    EXPECT_EQ(line.Arrival(500, t0 + microseconds(10000)) - t0, microseconds(11000));

    LinkTimeline unlimited(LinkSettings{2, 0});
    EXPECT_EQ(unlimited.Arrival(1 << 20, t0) - t0, microseconds(2000));
    EXPECT_EQ(unlimited.Arrival(1 << 20, t0) - t0, microseconds(2000)) << "no rate: nothing queues";
}

class LinkTest : public SimulatorTest {
protected:
    void StartLinked(LinkSettings link, gateway::DeviceKind device = gateway::DeviceKind::Loopback) {
        auto options = Instant();
        options.device = device;
        options.link = link;
        StartSimulator(options);
    }
};

constexpr double kDelayMs = 25;
constexpr double kSlackMs = 40;

TEST_F(LinkTest, RoundTripTakesTwiceTheDelay) {
    StartLinked({kDelayMs, 0});
    const int32_t handle = Open(2000);
    const double ms =
        FastestOf(4, 2 * kDelayMs, [&] { EXPECT_EQ(Transfer(handle, {0x11, 0x22}), (Bytes{0x11, 0x22})); });
    EXPECT_LT(ms, 2 * kDelayMs + kSlackMs);
}

TEST_F(LinkTest, TelegramsInFlightAreNotSerialised) {
    StartLinked({kDelayMs, 0});
    const int32_t handle = Open(2000);
    constexpr int kOutstanding = 8;
    const char sequence[] = {0x00};
    uint16_t ids[kOutstanding];
    const double ms = FastestOf(3, 2 * kDelayMs, [&] {
        for (uint16_t& id : ids) EXPECT_EQ(SPISequenceReq(handle, sequence, 1, &id), RC_OK);
        for (uint16_t id : ids) EXPECT_EQ(SPISequenceGetCnf(handle, id, nullptr, 0), RC_OK);
    });
    EXPECT_LT(ms, 2 * kDelayMs + kSlackMs) << "eight round trips one after the other take " << 16 * kDelayMs;
}

TEST_F(LinkTest, ThreadsOnOneHandleShareTheRoundTrip) {
    StartLinked({kDelayMs, 0});
    const int32_t handle = Open(2000);
    const double ms = FastestOf(3, 2 * kDelayMs, [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([handle, t] {
                const Bytes out(100, static_cast<uint8_t>(t));
                EXPECT_EQ(Transfer(handle, out), out);
            });
        }
        for (auto& thread : threads) thread.join();
    });
    EXPECT_LT(ms, 2 * kDelayMs + kSlackMs);
}

TEST_F(LinkTest, RateLimitQueuesBytesAsALinkDoes) {
    // 10 Mbit/s: 50000 bytes take 40 ms each way.
    StartLinked({1, 10});
    const int32_t handle = Open(2000);
    const Bytes out(50000, 0x5A);
    const double ms = FastestOf(2, 80 + 2, [&] { EXPECT_EQ(Transfer(handle, out), out); });
    EXPECT_LT(ms, 80 + 2 + kSlackMs);
}

TEST_F(LinkTest, WhatWasSentBeforeAnOrderlyCloseStillArrives) {
    auto options = Instant();
    options.device = gateway::DeviceKind::Loopback;
    options.link = {kDelayMs, 0};
    std::string error;
    options.faults.push_back(*gateway::ParseFault("close-after=1", error));
    StartSimulator(options);
    const int32_t handle = Open(2000);
    int32_t rc = -1;
    EXPECT_EQ(Transfer(handle, {0x42}, &rc), Bytes{0x42});
    EXPECT_EQ(rc, RC_OK) << "the answer is in flight when the simulator closes";
    EXPECT_TRUE(Eventually([&] {
        Transfer(handle, {0x43}, &rc);
        return rc == RC_NOT_CONNECTED;
    }));
}

TEST_F(LinkTest, ConnectionsKeepTheLinkTheyWereAcceptedWith) {
    StartLinked({kDelayMs, 0});
    const int32_t slow = Open(2000);
    m_simulator->SetLink({});
    const int32_t fast = Open(2000);
    EXPECT_LT(FastestOf(3, 0, [&] { Transfer(fast, {1}); }), kDelayMs);
    FastestOf(1, 2 * kDelayMs, [&] { Transfer(slow, {1}); });
}

TEST_F(LinkTest, StopWithBytesInFlightReturnsPromptly) {
    StartLinked({500, 0});
    int32_t handle = -1;
    std::thread opener([&] { TryOpen(handle, 3000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    m_simulator->Stop();
    EXPECT_LT(MsSince(start), 300);
    opener.join();
}

TEST_F(LinkTest, BusTimeFollowsTheClockRateWhenTimesAreReal) {
    auto options = Instant();
    options.device = gateway::DeviceKind::Loopback;
    options.speedFactor = 1;
    StartSimulator(options);
    const int32_t handle = Open(2000);
    ASSERT_EQ(SPISetGlobals(handle, 100000, 0, 0, 0), RC_OK);
    const Bytes out(1250, 0x33);  // 10000 bits at 100 kHz: 100 ms
    EXPECT_LT(FastestOf(2, 100, [&] { EXPECT_EQ(Transfer(handle, out), out); }), 100 + kSlackMs);

    // The default clock, 1 MHz: the same transfer takes a tenth.
    ASSERT_EQ(SPISetGlobals(handle, 1000000, 0, 0, 0), RC_OK);
    const Bytes other(1250, 0x44);
    EXPECT_LT(FastestOf(3, 10, [&] { EXPECT_EQ(Transfer(handle, other), other); }), 10 + kSlackMs);
}

TEST_F(LinkTest, InstantTimesLeaveTheBusFree) {
    StartLinked({}, gateway::DeviceKind::Loopback);
    const int32_t handle = Open();
    ASSERT_EQ(SPISetGlobals(handle, 1000, 0, 0, 0), RC_OK);
    const auto start = Clock::now();
    Transfer(handle, Bytes(1250, 0x33));  // 10 s at 1 kHz if the bus took its time
    EXPECT_LT(MsSince(start), 500);
}

}  // namespace
}  // namespace kestrix::test
