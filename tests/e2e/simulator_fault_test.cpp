// Each fault the simulator injects ends in the result code the library
// promises for it, and the simulator shrugs off clients that misbehave.
#include "SimulatorFixture.h"
#include "telegram/CommandCodes.h"
#include "transport/CKesIPConnection.h"

namespace kestrix::test {
namespace {

constexpr int32_t kTimeoutMs = 300;

struct FaultCase {
    const char* name;
    const char* spec;
    int32_t secondCall;  // the first call is unaffected, every fault aims at the second
};

void PrintTo(const FaultCase& fault, std::ostream* out) {
    *out << fault.spec;
}

class SimulatorFault : public SimulatorTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimulatorFault, GivesThePromisedResultCode) {
    std::string error;
    const auto fault = gateway::ParseFault(GetParam().spec, error);
    ASSERT_TRUE(fault) << error;
    auto options = Instant();
    options.faults = {*fault};
    StartSimulator(options);
    const int32_t handle = Open(kTimeoutMs);
    uint32_t inputs = 0, outputs = 0;
    EXPECT_EQ(SPIReadDigital(handle, &inputs, &outputs), RC_OK);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(SPIReadDigital(handle, &inputs, &outputs), GetParam().secondCall);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kTimeoutMs + 500));
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, SimulatorFault,
    ::testing::Values(FaultCase{"DelayWithinTheTimeOut", "delay=50:20@2", RC_OK},
                      FaultCase{"DelayBeyondTheTimeOut", "delay=600@2", RC_TIMEOUT},
                      FaultCase{"NoAnswer", "no-answer@2", RC_TIMEOUT},
                      FaultCase{"BadChecksum", "bad-checksum@2", RC_BAD_CHECKSUM},
                      FaultCase{"WrongCommandCode", "wrong-code@2", RC_NOT_CONFIRMED},
                      FaultCase{"EmptyData", "empty-data@2", RC_BAD_CONFIRMATION | 0x0300},
                      FaultCase{"ResultByte", "result=0x21@2", RC_SPI_SEND_ERROR},
                      FaultCase{"AnswerInSmallChunks", "chunks=2:15@2", RC_OK},
                      FaultCase{"CloseAfterOneRequest", "close-after=1", RC_NOT_CONNECTED},
                      FaultCase{"CloseInTheMiddleOfAnAnswer", "close-mid@2", RC_NOT_CONNECTED},
                      FaultCase{"ImpossibleLengthField", "bad-length@2", RC_NOT_CONNECTED},
                      FaultCase{"GatewayAsksToDisconnect", "disconnect@2", RC_NOT_CONNECTED}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(FaultSpec, ReadsNameValuesAndTelegramNumberAndRejectsNonsense) {
    std::string error;
    const auto delay = gateway::ParseFault("delay=0x10:5@3", error);
    ASSERT_TRUE(delay) << error;
    EXPECT_EQ(delay->kind, gateway::FaultKind::Delay);
    EXPECT_EQ(delay->value, 16u);
    EXPECT_EQ(delay->value2, 5u);
    EXPECT_EQ(delay->nth, 3u);
    EXPECT_EQ(gateway::FormatFault(*delay), "delay=16:5@3");
    EXPECT_EQ(gateway::ParseFault("refuse", error)->value, 2u);
    for (const char* bad :
         {"delay", "result=0", "result=256", "no-answer@0", "chunks=0", "nap=3", "garbage=x"}) {
        EXPECT_FALSE(gateway::ParseFault(bad, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST_F(SimulatorTest, FaultsAimedAtOneRequestLeaveTheOthersAlone) {
    auto options = Instant();
    options.faults = {{gateway::FaultKind::NoAnswer, 0, 0, 2}, {gateway::FaultKind::Result, 0x20, 0, 3}};
    StartSimulator(options);
    const int32_t handle = Open(kTimeoutMs);
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_OK);
    EXPECT_EQ(SPIWriteDigital(handle, 2), RC_TIMEOUT);
    EXPECT_EQ(SPIWriteDigital(handle, 3), RC_SPI_INCONSISTENT_DATA);
    EXPECT_EQ(SPIWriteDigital(handle, 4), RC_OK);
}

TEST_F(SimulatorTest, ResultByteFaultStillDeliversTheDataRead) {
    auto options = Instant();
    options.device = gateway::DeviceKind::Loopback;
    options.faults = {{gateway::FaultKind::Result, 0x21}};
    StartSimulator(options);
    int32_t result = 0;
    EXPECT_EQ(Transfer(Open(), {0x11, 0x22}, &result), (Bytes{0x11, 0x22}));
    EXPECT_EQ(result, RC_SPI_SEND_ERROR);
}

TEST_F(SimulatorTest, GarbageInsteadOfAnAnswerFailsTheCallNotTheProcess) {
    auto options = Instant();
    options.faults = {{gateway::FaultKind::Garbage, 48, 0, 2}};
    StartSimulator(options);
    const int32_t handle = Open(kTimeoutMs);
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_OK);
    // Where the garbage leaves the library's framing decides between the two.
    const int32_t result = SPIWriteDigital(handle, 2);
    EXPECT_TRUE(result == RC_TIMEOUT || result == RC_NOT_CONNECTED) << std::hex << result;
    EXPECT_EQ(SPIWriteDigital(Open(kTimeoutMs), 3), RC_OK);
}

TEST_F(SimulatorTest, RefusedConnectsFailTheOpen) {
    auto options = Instant();
    options.faults = {{gateway::FaultKind::RefuseConnect, 2, 0, 1},
                      {gateway::FaultKind::RefuseConnect, 1, 0, 2}};
    StartSimulator(options);
    int32_t handle = 0;
    EXPECT_EQ(TryOpen(handle, kTimeoutMs), RC_NOT_CONNECTED);
    EXPECT_EQ(TryOpen(handle, kTimeoutMs), RC_MAX_CONNECTIONS);
    EXPECT_EQ(TryOpen(handle, kTimeoutMs), RC_OK);
    EXPECT_EQ(m_simulator->Stats().connectsRefused, 2u);
}

TEST_F(SimulatorTest, DisconnectRequestFromTheGatewayEndsEveryClient) {
    StartSimulator();
    const int32_t first = Open();
    const int32_t second = Open();
    m_simulator->DisconnectClients();
    ASSERT_TRUE(Eventually([&] { return m_simulator->Stats().clientsConnected == 0; }));
    // The library closes right after it has confirmed; a call in that gap
    // may still fail on its send.
    EXPECT_TRUE(Eventually([&] { return SPIWriteDigital(first, 1) == RC_NOT_CONNECTED; }));
    EXPECT_TRUE(Eventually([&] { return SPIWriteDigital(second, 1) == RC_NOT_CONNECTED; }));
}

// A raw client: the library's own connection, past the handshake, sending
// whatever bytes a test likes.
class RawClient : public CKesIPConnection {
public:
    ~RawClient() override { StopThreads(); }
    bool Open(const std::string& address) {
        return Connect(kDeviceTypeSpi, std::string(), address.c_str(), 5002, 1000) == TS_OK;
    }
    void SendRaw(const Bytes& bytes) { SendBytes(bytes.data(), bytes.size(), 1000); }
};

TEST_F(SimulatorTest, SurvivesGarbageImpossibleLengthAndClientsGoneMidTelegram) {
    auto options = Instant();
    options.stallLimitMs = 100;
    StartSimulator(options);
    const std::string host = m_simulator->Options().address;
    const Bytes request = Wire(spi::kReadDigital, 7, {});
    const std::vector<Bytes> misbehaviour = {
        {0x02, 0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01},  // frames too short for a telegram
        {0xFF, 0xFF, 0x40, 0x03, 0x07, 0x00},              // impossible length field
        {0xFE, 0xFF, 0x40, 0x03, 0x07, 0x00},              // the other impossible one
        Bytes{request.begin(), request.end() - 1},         // stalls one byte short
        {0x06, 0x00, 0x40, 0x03, 0x07, 0x00, 0x00, 0x47},  // wrong checksum
    };
    for (size_t i = 0; i < misbehaviour.size(); ++i) {
        RawClient client;
        ASSERT_TRUE(client.Open(host));
        client.SendRaw(misbehaviour[i]);
        EXPECT_TRUE(Eventually([&] { return m_simulator->Stats().clientsDropped == i + 1; })) << "case " << i;
    }
    {
        RawClient client;
        ASSERT_TRUE(client.Open(host));
        client.SendRaw(Bytes{request.begin(), request.begin() + 4});
        client.Close();
    }
    uint32_t inputs = 0, outputs = 0;
    EXPECT_EQ(SPIReadDigital(Open(), &inputs, &outputs), RC_OK);
    EXPECT_EQ(m_simulator->Stats().telegramsServed, 1u);
}

}  // namespace
}  // namespace kestrix::test
