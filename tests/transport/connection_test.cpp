// Opening, closing and the connection-level telegrams, end to end through
// the exported functions against a scripted loopback gateway.

#include <gtest/gtest.h>

#include <algorithm>
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
int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Connection : public ::testing::Test {
protected:
    void TearDown() override {
        if (handle > 0) SPICloseDevice(handle);
    }
    int32_t Open(int32_t timeoutMs = 500) { return SPIOpenDevice(&handle, gateway.Address().c_str(), timeoutMs); }

    TestGateway gateway;
    int32_t handle = -1;
};
}  // namespace

TEST_F(Connection, HandshakesAreTheExpectedWireBytes) {
    ASSERT_TRUE(gateway.Listening());
    ASSERT_EQ(Open(), RC_OK);
    ASSERT_EQ(SPICloseDevice(handle), RC_OK);
    handle = -1;
    const auto received = gateway.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].Serialize(), (Bytes{0x05, 0x00, 0x01, 0x03, 0x01, 0x00, 0x03}));
    EXPECT_EQ(received[1].Serialize(), (Bytes{0x05, 0x00, 0x02, 0x03, 0x00, 0x00, 0x01}));
}

TEST_F(Connection, HandlesCountUpAndAFailedOpenConsumesOne) {
    ASSERT_EQ(Open(), RC_OK);
    const int32_t first = handle;
    int32_t failed = 77;
    EXPECT_NE(SPIOpenDevice(&failed, "name.that.does.not.resolve.invalid", 200), RC_OK);
    EXPECT_EQ(failed, -1);
    int32_t second = -1;
    ASSERT_EQ(SPIOpenDevice(&second, gateway.Address().c_str(), 500), RC_OK);
    EXPECT_EQ(second, first + 2);
    EXPECT_EQ(SPICloseDevice(second), RC_OK);
    EXPECT_EQ(SPICloseDevice(second), RC_BAD_HANDLE);
    EXPECT_EQ(SPIWriteDigital(second, 1), RC_BAD_HANDLE);
}

TEST_F(Connection, FirstRequestCarriesTelegramIdTwo) {
    ASSERT_EQ(Open(), RC_OK);
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_OK);
    EXPECT_EQ(SPIWriteDigital(handle, 2), RC_OK);
    const auto requests = gateway.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].TelegramId(), 2);
    EXPECT_EQ(requests[1].TelegramId(), 3);
}

TEST_F(Connection, ConnectResultOneMeansAllConnectionsTaken) {
    gateway.SetConnectResult(1);
    EXPECT_EQ(Open(), RC_MAX_CONNECTIONS);
    EXPECT_EQ(handle, -1);
    gateway.SetConnectResult(2);
    EXPECT_EQ(Open(), RC_NOT_CONNECTED);
    EXPECT_EQ(handle, -1);
}

TEST_F(Connection, UnconfirmedConnectTimesOutWithinTheTimeout) {
    gateway.SetAnswerConnect(false);
    const auto start = Clock::now();
    EXPECT_EQ(Open(200), RC_TIMEOUT);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(handle, -1);
}

TEST_F(Connection, NothingListeningFailsFast) {
    const std::string address = NextLoopbackAddress();
    const auto start = Clock::now();
    EXPECT_EQ(SPIOpenDevice(&handle, address.c_str(), 2000), RC_NOT_CONNECTED);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(Connection, AddressMayCarryAPort) {
    TestGateway other("", 15002);
    ASSERT_TRUE(other.Listening());
    const std::string address = other.Address() + ":15002";
    ASSERT_EQ(SPIOpenDevice(&handle, address.c_str(), 500), RC_OK);
    EXPECT_EQ(SPIWriteDigital(handle, 5), RC_OK);
    EXPECT_EQ(other.Requests().size(), 1u);
    int32_t bad = 0;
    EXPECT_EQ(SPIOpenDevice(&bad, (other.Address() + ":99999").c_str(), 500), RC_BAD_PARAMETER);
    EXPECT_EQ(bad, -1);
}

TEST_F(Connection, CloseReturnsWithinMillisecondsOnceTheDisconnectIsConfirmed) {
    std::vector<int64_t> micros;
    for (int i = 0; i < 15; ++i) {
        ASSERT_EQ(Open(1000), RC_OK);
        const auto start = Clock::now();
        ASSERT_EQ(SPICloseDevice(handle), RC_OK);
        micros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
        handle = -1;
    }
    std::sort(micros.begin(), micros.end());
    std::printf("close latency: median %lld us, max %lld us\n", static_cast<long long>(micros[micros.size() / 2]),
                static_cast<long long>(micros.back()));
    EXPECT_LT(micros[micros.size() / 2], 50000);
}

TEST_F(Connection, GatewayInitiatedDisconnectIsConfirmedAndEndsTheConnection) {
    ASSERT_EQ(Open(), RC_OK);
    auto peer = gateway.LatestPeer();
    ASSERT_TRUE(peer);
    peer->Send(Wire(spi::kDisconnect, 0x1234, {}));
    ASSERT_TRUE(gateway.WaitFor(ConfirmationCode(spi::kDisconnect), 1, 2000));
    const auto received = gateway.Received();
    const CKesMsg& confirmation = received.back();
    EXPECT_EQ(confirmation.TelegramId(), 0x1234);
    EXPECT_EQ(confirmation.Data(), Bytes{0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_NOT_CONNECTED);
    EXPECT_EQ(SPICloseDevice(handle), RC_OK);
    handle = -1;
}

TEST_F(Connection, AliveRequestIsConfirmedAndSilenceDisconnects) {
    ASSERT_EQ(Open(), RC_OK);
    auto peer = gateway.LatestPeer();
    gateway.SetAnswerDisconnect(false);
    const auto interval = PackU32(200);
    const auto start = Clock::now();
    peer->Send(Wire(spi::kAlive, 0x55, Bytes(interval.begin(), interval.end())));
    ASSERT_TRUE(gateway.WaitFor(ConfirmationCode(spi::kAlive), 1, 2000));
    EXPECT_EQ(gateway.Received().back().Data(), Bytes{0x00});
    EXPECT_EQ(gateway.Received().back().TelegramId(), 0x55);
    // Five quarter-intervals of silence: a disconnect request after ~250 ms.
    ASSERT_TRUE(gateway.WaitFor(spi::kDisconnect, 1, 3000));
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 1500);
}

TEST_F(Connection, TrafficKeepsAliveSupervisionQuiet) {
    ASSERT_EQ(Open(), RC_OK);
    auto peer = gateway.LatestPeer();
    const auto interval = PackU32(100);
    peer->Send(Wire(spi::kAlive, 7, Bytes(interval.begin(), interval.end())));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(SPIWriteDigital(handle, static_cast<uint32_t>(i)), RC_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(SPIWriteDigital(handle, 99), RC_OK);
}

TEST_F(Connection, AliveRequestWithoutIntervalGetsFFAndIntervalZeroStopsSupervision) {
    ASSERT_EQ(Open(), RC_OK);
    auto peer = gateway.LatestPeer();
    peer->Send(Wire(spi::kAlive, 9, {}));
    ASSERT_TRUE(gateway.WaitFor(ConfirmationCode(spi::kAlive), 1, 2000));
    EXPECT_EQ(gateway.Received().back().Data(), Bytes{0xFF});

    const auto on = PackU32(40), off = PackU32(0);
    peer->Send(Wire(spi::kAlive, 10, Bytes(on.begin(), on.end())));
    peer->Send(Wire(spi::kAlive, 11, Bytes(off.begin(), off.end())));
    ASSERT_TRUE(gateway.WaitFor(ConfirmationCode(spi::kAlive), 3, 2000));
    EXPECT_EQ(gateway.Received().back().Data(), Bytes{0x00});
    // Supervision is off: a long silence no longer ends the connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_OK);
}

TEST_F(Connection, ImpossibleLengthFieldDropsTheConnection) {
    ASSERT_EQ(Open(1000), RC_OK);
    gateway.SetHandler([](Peer& peer, const CKesMsg&) { peer.Send({0xFF, 0xFF, 0x03, 0x83, 0x02, 0x00}); });
    const auto start = Clock::now();
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_NOT_CONNECTED);
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_NOT_CONNECTED);
}

TEST_F(Connection, PeerClosingMidTelegramFailsTheWaitingCallAtOnce) {
    ASSERT_EQ(Open(2000), RC_OK);
    gateway.SetHandler([](Peer& peer, const CKesMsg& request) {
        const Bytes whole = Confirmation(request, {0, 1, 2, 3});
        peer.Send(Bytes(whole.begin(), whole.begin() + 5));
        peer.Close();
    });
    const auto start = Clock::now();
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_NOT_CONNECTED);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(Connection, ClosingAHandleInUseEndsTheCallInFlight) {
    ASSERT_EQ(Open(3000), RC_OK);
    gateway.SetHandler([](Peer&, const CKesMsg&) {});
    int32_t result = RC_OK;
    const auto start = Clock::now();
    std::thread caller([&] { result = SPIWriteDigital(handle, 1); });
    ASSERT_TRUE(gateway.WaitFor(spi::kWriteDigital, 1, 2000));
    EXPECT_EQ(SPICloseDevice(handle), RC_OK);
    caller.join();
    EXPECT_NE(result, RC_OK);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_BAD_HANDLE);
    handle = -1;
}
