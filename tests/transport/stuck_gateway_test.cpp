// Nothing the gateway does or leaves undone holds a call, or the close,
// beyond the handle's time-out: a gateway that stops reading, one that
// never confirms a disconnect while the alive thread is disconnecting, one
// that switches supervision off in the middle of it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "KestrixSPI.h"
#include "TestGateway.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"

using namespace kestrix;
using namespace kestrix::test;
using Clock = std::chrono::steady_clock;

namespace {
#if defined(_WIN32)
// The Windows suite runs under Wine, whose socket server adds its own
// latency. An unfixed library is late by a second or more.
constexpr int64_t kMarginMs = 400;
#else
constexpr int64_t kMarginMs = 50;
#endif

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes AliveRequest(uint16_t id, uint32_t intervalMs) {
    const auto interval = PackU32(intervalMs);
    return Wire(spi::kAlive, id, Bytes(interval.begin(), interval.end()));
}

class StuckGateway : public ::testing::Test {
protected:
    void TearDown() override {
        stop = true;
        if (handle > 0) SPICloseDevice(handle);
    }
    int32_t Open(int32_t timeoutMs) { return SPIOpenDevice(&handle, gateway.Address().c_str(), timeoutMs); }

    // Before the gateway: its handlers look at it until they have ended.
    std::atomic<bool> stop{false};
    TestGateway gateway;
    int32_t handle = -1;
};
}  // namespace

// The gateway stops reading and floods alive requests that allow a minute
// for the reply; the replies fill the socket and the last one is stuck.
TEST_F(StuckGateway, GatewayThatStopsReadingHoldsNoCallBeyondItsTimeOut) {
    ASSERT_EQ(Open(500), RC_OK);
    gateway.SetHandler([this](Peer& peer, const CKesMsg&) {
        Bytes burst;
        for (int i = 0; i < 1000; ++i) {
            const Bytes one = AliveRequest(static_cast<uint16_t>(i), 60000);
            burst.insert(burst.end(), one.begin(), one.end());
        }
        // Bounded: an unfixed library would be stuck for the whole minute.
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (!stop && Clock::now() < until) peer.Send(burst);
        peer.Close(true);
    });

    int32_t first = RC_OK;
    int64_t firstMs = -1;
    const auto start = Clock::now();
    std::thread trigger([&] {
        first = SPIWriteDigital(handle, 1);
        firstMs = MsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // This sender queues behind the stuck reply.
    const auto second = Clock::now();
    uint32_t inputs = 0, outputs = 0;
    const int32_t queued = SPIReadDigital(handle, &inputs, &outputs);
    EXPECT_NE(queued, RC_OK);
    EXPECT_LE(MsSince(second), 500 + kMarginMs) << std::hex << queued;
    trigger.join();
    EXPECT_NE(first, RC_OK);
    // A caller that reads sends the gateway's replies within its own
    // time-out, never a fresh one of the reply's: the stuck reply is cut off
    // at the deadline of whichever caller was reading.
    EXPECT_LE(firstMs, 500 + kMarginMs) << std::hex << first;

    const auto closing = Clock::now();
    EXPECT_EQ(SPICloseDevice(handle), RC_OK);
    handle = -1;
    // Its disconnect may queue behind the stuck reply for a whole time-out.
    EXPECT_LE(MsSince(closing), 2 * 500 + kMarginMs);
}

TEST_F(StuckGateway, CloseWhileTheAliveThreadWaitsForAnUnconfirmedDisconnect) {
    gateway.SetAnswerDisconnect(false);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(Open(300), RC_OK);
        auto peer = gateway.LatestPeer();
        ASSERT_TRUE(peer);
        size_t disconnects = 0;
        for (const CKesMsg& t : gateway.Received()) disconnects += t.CommandCode() == spi::kDisconnect;
        peer->Send(AliveRequest(1, 40));
        // Silence: after five 10 ms ticks the alive thread disconnects and
        // waits a second for the confirmation that never comes; the close
        // must not wait for that second.
        ASSERT_TRUE(gateway.WaitFor(spi::kDisconnect, disconnects + 1, 2000));
        const auto start = Clock::now();
        EXPECT_EQ(SPICloseDevice(handle), RC_OK);
        handle = -1;
        EXPECT_LE(MsSince(start), 300 + kMarginMs) << "round " << round;
    }
}

// Both disconnects get the one confirmation the gateway sends; neither may
// sit out its wait because the other took it.
TEST_F(StuckGateway, CloseWhileTheAliveThreadDisconnectsWhenTheGatewayConfirmsOnce) {
    gateway.HandleAll(true);
    std::atomic<int> disconnects{0};
    gateway.SetHandler([&](Peer& peer, const CKesMsg& request) {
        if (request.CommandCode() != spi::kDisconnect) {
            gateway.DefaultAnswer(peer, request);
        } else if (disconnects.fetch_add(1) % 2 == 1) {
            // The second request of the connection: one answer for both.
            peer.Send(Confirmation(request, {0}));
        }
    });
    for (int round = 0; round < 10; ++round) {
        disconnects = 0;
        ASSERT_EQ(Open(300), RC_OK);
        auto peer = gateway.LatestPeer();
        ASSERT_TRUE(peer);
        peer->Send(AliveRequest(1, 40));
        const auto seen = Clock::now();
        while (disconnects.load() == 0 && MsSince(seen) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(disconnects.load(), 1);
        const auto start = Clock::now();
        EXPECT_EQ(SPICloseDevice(handle), RC_OK);
        handle = -1;
        EXPECT_LE(MsSince(start), 300 + kMarginMs) << "round " << round;
    }
}

// A caller that reads the socket itself handles the alive request that
// switches supervision off while the alive thread waits for its
// disconnect confirmation; stopping the alive thread must end that wait.
TEST_F(StuckGateway, SupervisionSwitchedOffDuringTheAliveThreadsDisconnect) {
    gateway.HandleAll(true);
    gateway.SetHandler([](Peer& peer, const CKesMsg& request) {
        const uint16_t code = request.CommandCode();
        if (code == spi::kConnect) {
            peer.Send(Confirmation(request, {0}));
            peer.Send(AliveRequest(1, 40));
        } else if (code == spi::kDisconnect) {
            peer.Send(AliveRequest(2, 0));
        }
        // Device requests stay unanswered.
    });
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(Open(300), RC_OK);
        const auto start = Clock::now();
        uint32_t inputs = 0, outputs = 0;
        EXPECT_NE(SPIReadDigital(handle, &inputs, &outputs), RC_OK);
        EXPECT_LE(MsSince(start), 300 + kMarginMs) << "round " << round;
        const auto closing = Clock::now();
        SPICloseDevice(handle);
        handle = -1;
        EXPECT_LE(MsSince(closing), 300 + kMarginMs) << "round " << round;
    }
}
