// One misbehaving gateway per test, end to end through the exported
// functions: each call ends with the right result code within its time-out
// plus a small margin, and a handle on a healthy gateway, busy all the
// while, never notices.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KestrixSPI.h"
#include "SimulatorGateway.h"
#include "TestGateway.h"
#include "telegram/CommandCodes.h"

using namespace kestrix;
using namespace kestrix::test;
using Clock = std::chrono::steady_clock;
using gateway::Fault;
using gateway::FaultKind;

namespace {

// Scheduling slack on top of a time-out; sanitizer builds need some of it.
constexpr int64_t kMarginMs = 300;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes Pattern(uint8_t seed, size_t size = 40) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

struct Call {
    int32_t result;
    int64_t elapsedMs;
    Bytes read;
};

Call Transfer(int32_t handle, const Bytes& out) {
    Call call{0, 0, Bytes(out.size(), 0)};
    const auto start = Clock::now();
    call.result = SPIDataReq(handle, reinterpret_cast<const char*>(out.data()), static_cast<uint16_t>(out.size()),
                             reinterpret_cast<char*>(call.read.data()), static_cast<uint16_t>(call.read.size()));
    call.elapsedMs = MsSince(start);
    return call;
}

Bytes Echo(const CKesMsg& request) {
    Bytes data{0};
    data.insert(data.end(), request.Data().begin(), request.Data().end());
    return Confirmation(request, data);
}

// A handle on a healthy gateway that keeps transferring until the test ends.
class Bystander {
public:
    Bystander() : m_simulator(StartLoopbackSimulator()) {
        if (!m_simulator) return;
        if (SPIOpenDevice(&m_handle, m_simulator->Endpoint().c_str(), 2000) != RC_OK) return;
        m_thread = std::thread([this] {
            for (uint8_t seed = 0; !m_stop.load(); ++seed) {
                const Bytes out = Pattern(seed, 16);
                const Call call = Transfer(m_handle, out);
                ++m_calls;
                if (call.result != RC_OK || call.read != out) ++m_failures;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~Bystander() { Stop(); }

    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_handle > 0) SPICloseDevice(m_handle);
        m_handle = -1;
    }
    bool Running() const { return m_handle > 0; }
    int Calls() const { return m_calls.load(); }
    int Failures() const { return m_failures.load(); }

private:
    std::unique_ptr<gateway::Simulator> m_simulator;
    int32_t m_handle = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_calls{0};
    std::atomic<int> m_failures{0};
    std::thread m_thread;
};

class FaultCatalogue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bystander.Running()); }
    void TearDown() override {
        for (int32_t handle : handles) SPICloseDevice(handle);
        // However quick the test was, the healthy handle has been in use.
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (bystander.Calls() < 3 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        bystander.Stop();
        EXPECT_GT(bystander.Calls(), 0);
        EXPECT_EQ(bystander.Failures(), 0) << "the healthy handle was disturbed";
    }

    int32_t Open(const std::string& address, int32_t timeoutMs) {
        int32_t handle = -1;
        EXPECT_EQ(SPIOpenDevice(&handle, address.c_str(), timeoutMs), RC_OK);
        if (handle > 0) handles.push_back(handle);
        return handle;
    }

    // Opens `address` expecting `expected`; the open must end in time.
    void ExpectOpenFails(const std::string& address, int32_t timeoutMs, int32_t expected, int64_t limitMs) {
        int32_t handle = 77;
        const auto start = Clock::now();
        EXPECT_EQ(SPIOpenDevice(&handle, address.c_str(), timeoutMs), expected);
        EXPECT_LE(MsSince(start), limitMs);
        EXPECT_EQ(handle, -1);
    }

    Bystander bystander;
    std::vector<int32_t> handles;
};

// A fault the simulator injects into the first request of a connection.
struct InjectedCase {
    const char* name;
    Fault fault;
    int32_t timeoutMs;
    std::set<int32_t> expected;
    // The call must end by then; a time-out must also have been waited out.
    int64_t limitMs;
    // What the next call on the same handle returns; none when either is sound.
    std::optional<int32_t> next;
};

// Test names show the case's name, not its bytes.
void PrintTo(const InjectedCase& c, std::ostream* os) { *os << c.name; }

Fault First(FaultKind kind, uint32_t value = 0, uint32_t value2 = 0) { return Fault{kind, value, value2, 1}; }
Fault Every(FaultKind kind, uint32_t value = 0, uint32_t value2 = 0) { return Fault{kind, value, value2, 0}; }

const InjectedCase kInjected[] = {
    {"AnswerAfterTheTimeout", First(FaultKind::Delay, 600), 300, {RC_TIMEOUT}, 300 + kMarginMs, RC_OK},
    {"NoAnswer", First(FaultKind::NoAnswer), 300, {RC_TIMEOUT}, 300 + kMarginMs, RC_OK},
    {"WrongChecksum", First(FaultKind::BadChecksum), 300, {RC_BAD_CHECKSUM}, kMarginMs, RC_OK},
    {"WrongCommandCode", First(FaultKind::WrongCode), 300, {RC_NOT_CONFIRMED}, kMarginMs, RC_OK},
    {"EmptyData", First(FaultKind::EmptyData), 300, {RC_BAD_CONFIRMATION | 0x0300}, kMarginMs, RC_OK},
    {"ResultByte", First(FaultKind::Result, 0x21), 300, {RC_SPI_SEND_ERROR}, kMarginMs, RC_OK},
    {"BytesOneAtATime", Every(FaultKind::Chunks, 1, 1), 2000, {RC_OK}, 2000 + kMarginMs, RC_OK},
    {"SplitInsideTheData", Every(FaultKind::Chunks, 20, 30), 2000, {RC_OK}, 2000 + kMarginMs, RC_OK},
    // A dropped connection ends the waiting call at once, far inside its time-out.
    {"ClosedMidTelegram", First(FaultKind::CloseMidTelegram), 3000, {RC_NOT_CONNECTED}, 1000, RC_NOT_CONNECTED},
    {"GatewayInitiatedDisconnect", First(FaultKind::Disconnect), 3000, {RC_NOT_CONNECTED}, 1000, RC_NOT_CONNECTED},
    {"LengthFieldFFFF", First(FaultKind::ImpossibleLength, 0xFFFF), 3000, {RC_NOT_CONNECTED}, 1000, RC_NOT_CONNECTED},
    // Random bytes frame as random telegrams: the call times out waiting for
    // one that never completes, or the stream breaks and the connection drops.
    {"GarbageStream", First(FaultKind::Garbage, 300), 300, {RC_TIMEOUT, RC_NOT_CONNECTED}, 300 + kMarginMs,
     std::nullopt},
};

class InjectedFault : public FaultCatalogue, public ::testing::WithParamInterface<InjectedCase> {};

}  // namespace

TEST_P(InjectedFault, EndsTheCallWithItsResultCodeInTime) {
    const InjectedCase& c = GetParam();
    gateway::SimulatorOptions options;
    options.faults = {c.fault};
    auto simulator = StartLoopbackSimulator(options);
    ASSERT_TRUE(simulator);
    const int32_t handle = Open(simulator->Endpoint(), c.timeoutMs);

    const Bytes out = Pattern(1);
    const Call first = Transfer(handle, out);
    EXPECT_TRUE(c.expected.count(first.result) != 0) << std::hex << first.result;
    EXPECT_LE(first.elapsedMs, c.limitMs);
    if (c.expected.count(RC_TIMEOUT) != 0 && first.result == RC_TIMEOUT) {
        EXPECT_GE(first.elapsedMs, c.timeoutMs - 5);
    }
    if (first.result == RC_OK) {
        EXPECT_EQ(first.read, out);
    }

    if (!c.next) return;
    // A late answer to the first call must not be taken for the second's.
    if (c.fault.kind == FaultKind::Delay) std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const Bytes again = Pattern(2);
    const Call second = Transfer(handle, again);
    EXPECT_EQ(second.result, *c.next) << std::hex << second.result;
    if (*c.next == RC_OK) {
        EXPECT_EQ(second.read, again);
    } else {
        EXPECT_LE(second.elapsedMs, kMarginMs);
    }
}

INSTANTIATE_TEST_SUITE_P(Simulator, InjectedFault, ::testing::ValuesIn(kInjected),
                         [](const ::testing::TestParamInfo<InjectedCase>& info) { return info.param.name; });

TEST_F(FaultCatalogue, TwoConfirmationsInOneSegmentReachTheirOwnCallers) {
    TestGateway gateway;
    Bytes held;
    gateway.SetHandler([&held](Peer& peer, const CKesMsg& request) {
        // The sequence's answer waits for the transfer's; both leave together.
        if (request.CommandCode() == spi::kSequence) {
            held = Echo(request);
            return;
        }
        Bytes both = held;
        const Bytes mine = Echo(request);
        both.insert(both.end(), mine.begin(), mine.end());
        peer.Send(both);
    });
    const int32_t handle = Open(gateway.Address(), 1000);
    uint16_t id = 0;
    ASSERT_EQ(SPISequenceReq(handle, "\x05\x06", 2, &id), RC_OK);
    ASSERT_TRUE(gateway.WaitFor(spi::kSequence, 1, 1000));
    const Bytes out = Pattern(3);
    const Call call = Transfer(handle, out);
    EXPECT_EQ(call.result, RC_OK);
    EXPECT_EQ(call.read, out);
    char answer[2] = {};
    EXPECT_EQ(SPISequenceGetCnf(handle, id, answer, 2), RC_OK);
    EXPECT_EQ(std::string(answer, 2), "\x05\x06");
}

TEST_F(FaultCatalogue, UnaskedAndDuplicateConfirmationsAreNotTakenForTheNextCall) {
    TestGateway gateway;
    gateway.SetHandler([](Peer& peer, const CKesMsg& request) {
        // A confirmation for an ID nobody waits for, the real one, and the
        // real one again.
        Bytes stream = Wire(ConfirmationCode(request.CommandCode()), static_cast<uint16_t>(request.TelegramId() + 1),
                            {0, 0xEE, 0xEE});
        const Bytes mine = Echo(request);
        stream.insert(stream.end(), mine.begin(), mine.end());
        stream.insert(stream.end(), mine.begin(), mine.end());
        peer.Send(stream);
    });
    const int32_t handle = Open(gateway.Address(), 1000);
    for (uint8_t seed = 10; seed < 15; ++seed) {
        const Bytes out = Pattern(seed);
        const Call call = Transfer(handle, out);
        EXPECT_EQ(call.result, RC_OK);
        EXPECT_EQ(call.read, out);
    }
}

TEST_F(FaultCatalogue, ConnectionResetEndsTheWaitingCallAtOnce) {
    TestGateway gateway;
    gateway.SetHandler([](Peer& peer, const CKesMsg&) { peer.Close(true); });
    const int32_t handle = Open(gateway.Address(), 3000);
    const Call call = Transfer(handle, Pattern(4));
    EXPECT_EQ(call.result, RC_NOT_CONNECTED);
    EXPECT_LE(call.elapsedMs, 1000);
    EXPECT_EQ(Transfer(handle, Pattern(5)).result, RC_NOT_CONNECTED);
}

TEST_F(FaultCatalogue, AliveSilenceDropsTheConnection) {
    gateway::SimulatorOptions options;
    options.aliveIntervalMs = 100;
    auto simulator = StartLoopbackSimulator(options);
    ASSERT_TRUE(simulator);
    const int32_t handle = Open(simulator->Endpoint(), 1000);
    const Bytes out = Pattern(6);
    ASSERT_EQ(Transfer(handle, out).result, RC_OK);
    // Requests keep coming while the gateway asks for them; once they stop,
    // five quarter intervals of silence end the connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Transfer(handle, out).result, RC_OK);
    simulator->AddFault(Every(FaultKind::MuteAlive));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const Call call = Transfer(handle, out);
    EXPECT_EQ(call.result, RC_NOT_CONNECTED);
    EXPECT_LE(call.elapsedMs, kMarginMs);
}

TEST_F(FaultCatalogue, RefusedConnectFailsTheOpen) {
    gateway::SimulatorOptions options;
    options.faults = {Every(FaultKind::RefuseConnect, 2)};
    auto simulator = StartLoopbackSimulator(options);
    ASSERT_TRUE(simulator);
    ExpectOpenFails(simulator->Endpoint(), 1000, RC_NOT_CONNECTED, 1000);
}

TEST_F(FaultCatalogue, AllConnectionsTakenFailsTheOpenWithResultOne) {
    gateway::SimulatorOptions options;
    options.maxConnections = 1;
    auto simulator = StartLoopbackSimulator(options);
    ASSERT_TRUE(simulator);
    const int32_t first = Open(simulator->Endpoint(), 1000);
    ExpectOpenFails(simulator->Endpoint(), 1000, RC_MAX_CONNECTIONS, 1000);
    const Bytes out = Pattern(7);
    EXPECT_EQ(Transfer(first, out).read, out);
}

TEST_F(FaultCatalogue, ConnectNeverConfirmedTimesOut) {
    TestGateway gateway;
    gateway.SetAnswerConnect(false);
    const auto start = Clock::now();
    ExpectOpenFails(gateway.Address(), 400, RC_TIMEOUT, 400 + kMarginMs);
    EXPECT_GE(MsSince(start), 395);
}

TEST_F(FaultCatalogue, NothingListeningFailsTheOpenFast) {
    ExpectOpenFails(NextLoopbackAddress(), 2000, RC_NOT_CONNECTED, 500);
}

TEST_F(FaultCatalogue, HostNameThatDoesNotResolveFailsTheOpen) {
    ExpectOpenFails("name.that.does.not.resolve.invalid", 1000, RC_NOT_CONNECTED, 1000 + kMarginMs);
}
