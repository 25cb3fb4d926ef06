// The library against the simulated gateway: device commands, the flash
// behind SPI transfers, digital lines and sequences.
#include <cstring>
#include <filesystem>

#include "FlashDevice.h"
#include "Sequence.h"
#include "SimulatorFixture.h"

namespace kestrix::test {
namespace {

using gateway::FlashDevice;

constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kReadStatus = 0x05;

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes AddressBytes(uint32_t address) {
    return {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address)};
}

class FlashTest : public SimulatorTest {
protected:
    uint8_t Status(int32_t handle) { return Transfer(handle, {kReadStatus, 0})[1]; }

    void Program(int32_t handle, uint32_t address, const Bytes& data) {
        Transfer(handle, {kWriteEnable});
        Transfer(handle, Concat(Concat({0x02}, AddressBytes(address)), data));
    }

    void Erase(int32_t handle, uint8_t opcode, uint32_t address) {
        Transfer(handle, {kWriteEnable});
        Transfer(handle, Concat({opcode}, AddressBytes(address)));
    }

    Bytes Read(int32_t handle, uint32_t address, size_t count) {
        const Bytes in = Transfer(handle, Concat(Concat({0x03}, AddressBytes(address)), Bytes(count, 0)));
        return Bytes(in.begin() + 4, in.end());
    }
};

TEST_F(FlashTest, JedecIdNamesTheFlashAndItsSize) {
    auto options = Instant();
    options.flashSize = 1u << 20;
    StartSimulator(options);
    const int32_t handle = Open();
    EXPECT_EQ(Transfer(handle, {0x9F, 0, 0, 0}), (Bytes{0xFF, 0xEF, 0x40, 0x14}));
}

TEST_F(FlashTest, ProgramAndReadBackAcrossAPageBoundary) {
    StartSimulator();
    const int32_t handle = Open();
    Bytes data(32);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    // A client writes a range that crosses a page in two programs, one per page.
    Program(handle, 0x1F0, Bytes(data.begin(), data.begin() + 16));
    Program(handle, 0x200, Bytes(data.begin() + 16, data.end()));
    EXPECT_EQ(Read(handle, 0x1F0, 32), data);
    const Bytes fast = Transfer(handle, Concat({0x0B, 0x00, 0x01, 0xF0, 0x00}, Bytes(32, 0)));
    EXPECT_EQ(Bytes(fast.begin() + 5, fast.end()), data);
    EXPECT_EQ(Read(handle, 0x1EF, 1), Bytes{0xFF});
    EXPECT_EQ(Read(handle, 0x210, 1), Bytes{0xFF});
}

TEST_F(FlashTest, PageProgramWrapsWithinItsPage) {
    StartSimulator();
    const int32_t handle = Open();
    Program(handle, 0x3FE, {1, 2, 3, 4});
    EXPECT_EQ(Read(handle, 0x3FE, 2), (Bytes{1, 2}));
    EXPECT_EQ(Read(handle, 0x300, 2), (Bytes{3, 4}));
    EXPECT_EQ(Read(handle, 0x400, 2), (Bytes{0xFF, 0xFF}));
}

TEST_F(FlashTest, ProgrammingNeedsWriteEnableAndOnlyClearsBits) {
    StartSimulator();
    const int32_t handle = Open();
    Transfer(handle, Concat({0x02}, Concat(AddressBytes(0x10), {0x00})));
    EXPECT_EQ(Read(handle, 0x10, 1), Bytes{0xFF});

    Transfer(handle, {kWriteEnable});
    EXPECT_EQ(Status(handle), FlashDevice::kStatusWriteEnabled);
    Transfer(handle, {0x04});
    EXPECT_EQ(Status(handle), 0);

    Program(handle, 0x10, {0xF0});
    EXPECT_EQ(Status(handle), 0) << "the write enable latch clears after a program";
    Program(handle, 0x10, {0x3C});
    EXPECT_EQ(Read(handle, 0x10, 1), Bytes{0x30});
}

TEST_F(FlashTest, EraseRestoresExactlyItsSectorBlockOrChip) {
    StartSimulator();
    const int32_t handle = Open();
    for (uint32_t address : {0x0FFFu, 0x1000u, 0x1FFFu, 0x2000u, 0x10000u, 0x1FFFFu, 0x20000u}) {
        Program(handle, address, {0x00});
    }
    Erase(handle, 0x20, 0x1234);
    EXPECT_EQ(Read(handle, 0x0FFF, 1), Bytes{0x00});
    EXPECT_EQ(Read(handle, 0x1000, 1), Bytes{0xFF});
    EXPECT_EQ(Read(handle, 0x1FFF, 1), Bytes{0xFF});
    EXPECT_EQ(Read(handle, 0x2000, 1), Bytes{0x00});

    Erase(handle, 0xD8, 0x18000);
    EXPECT_EQ(Read(handle, 0x10000, 1), Bytes{0xFF});
    EXPECT_EQ(Read(handle, 0x1FFFF, 1), Bytes{0xFF});
    EXPECT_EQ(Read(handle, 0x20000, 1), Bytes{0x00});

    Transfer(handle, {kWriteEnable});
    Transfer(handle, {0xC7});
    EXPECT_EQ(Read(handle, 0x0FFF, 1), Bytes{0xFF});
    EXPECT_EQ(Read(handle, 0x20000, 1), Bytes{0xFF});
}

TEST_F(FlashTest, BusyBitHoldsForTheEraseTimeAndTheChipIgnoresOtherCommands) {
    auto options = Instant();
    options.speedFactor = 1;  // a sector erase takes 45 ms
    StartSimulator(options);
    const int32_t handle = Open();
    Program(handle, 0x40, {0x00});
    auto ready = [&] { return (Status(handle) & FlashDevice::kStatusBusy) == 0; };
    ASSERT_TRUE(Eventually(ready)) << "a page program takes under a millisecond";
    Erase(handle, 0x20, 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Status(handle) & FlashDevice::kStatusBusy, FlashDevice::kStatusBusy);
    EXPECT_EQ(Transfer(handle, {0x9F, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(Eventually(ready));
    const auto busyMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    EXPECT_GE(busyMs, 30);
    EXPECT_LT(busyMs, 1000);
    EXPECT_EQ(Read(handle, 0x40, 1), Bytes{0xFF});
}

TEST_F(FlashTest, ImageFileKeepsTheContentsAcrossRuns) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("kestrix-flash-" + NextLoopbackAddress() + "-" +
                       std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    auto options = Instant();
    options.flashSize = 64u << 10;
    options.flashImage = path.string();
    StartSimulator(options);
    Program(Open(), 0x123, {0x5A, 0xA5});
    for (int32_t handle : m_handles) SPICloseDevice(handle);
    m_handles.clear();
    m_simulator->Stop();
    EXPECT_EQ(std::filesystem::file_size(path), 64u << 10);

    StartSimulator(options);
    EXPECT_EQ(Read(Open(), 0x122, 4), (Bytes{0xFF, 0x5A, 0xA5, 0xFF}));
    m_simulator->Stop();
    std::filesystem::remove(path);
}

TEST_F(SimulatorTest, LoopbackDeviceReturnsTheBytesWritten) {
    auto options = Instant();
    options.device = gateway::DeviceKind::Loopback;
    StartSimulator(options);
    const int32_t handle = Open();
    const Bytes out{1, 2, 3, 0xFE};
    EXPECT_EQ(Transfer(handle, out), out);
    char readBack[6] = {};
    EXPECT_EQ(SPIDataReq(handle, "\x11\x22", 2, readBack, 4), RC_OK);
    EXPECT_EQ(std::memcmp(readBack, "\x11\x22\x00\x00", 4), 0);
}

TEST_F(SimulatorTest, GlobalsAreStoredAndInvalidOnesRefused) {
    StartSimulator();
    const int32_t handle = Open();
    EXPECT_EQ(SPISetGlobals(handle, 2000000, 1, 2, 3), RC_OK);
    uint32_t baudrate = 0;
    uint8_t level = 0, aux = 0, mode = 0;
    EXPECT_EQ(SPIGetGlobals(handle, &baudrate, &level, &aux, &mode), RC_OK);
    EXPECT_EQ(baudrate, 2000000u);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(aux, 2);
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(SPISetGlobals(handle, 1000, 0, 0, 4), RC_SPI_INCONSISTENT_DATA);
    EXPECT_EQ(SPISetGlobals(handle, 0, 0, 0, 0), RC_SPI_INCONSISTENT_DATA);
    EXPECT_EQ(SPIGetGlobals(handle, &baudrate, nullptr, nullptr, &mode), RC_OK);
    EXPECT_EQ(baudrate, 2000000u);
    EXPECT_EQ(mode, 3);
}

TEST_F(SimulatorTest, InfoRecordAndStatusTextDescribeTheSimulator) {
    auto options = Instant();
    options.serialNumber = 0xA1B2C3D4;
    StartSimulator(options);
    const int32_t handle = Open();
    uint8_t record[KESTRIX_DEVICE_INFO_SIZE] = {};
    ASSERT_EQ(DeviceInfo(handle, record), RC_OK);
    EXPECT_EQ(record[gateway::info::kDeviceType], 3);
    EXPECT_EQ(record[gateway::info::kSerialNumber], 0xD4);
    EXPECT_EQ(record[gateway::info::kSerialNumber + 3], 0xA1);
    EXPECT_EQ(record[gateway::info::kSpiDevice], 1);
    EXPECT_EQ(record[gateway::info::kFlashSize + 3], 0x01);  // 16 MiB
    EXPECT_EQ(record[gateway::info::kSimulatorMark], 'S');

    Open();
    char status[256] = {};
    EXPECT_GT(DeviceStatus(handle, status, sizeof status), 1);
    EXPECT_NE(std::strstr(status, "clients connected 2"), nullptr) << status;
    EXPECT_NE(std::strstr(status, "flash 16 MiB"), nullptr) << status;
}

TEST_F(SimulatorTest, OutputsReadBackAndInputsFollowTheSimulator) {
    auto options = Instant();
    options.inputs = 0x12;
    StartSimulator(options);
    const int32_t handle = Open();
    EXPECT_EQ(SPIWriteDigital(handle, 0xCAFE0001), RC_OK);
    uint32_t inputs = 0, outputs = 0;
    EXPECT_EQ(SPIReadDigital(handle, &inputs, &outputs), RC_OK);
    EXPECT_EQ(inputs, 0x12u);
    EXPECT_EQ(outputs, 0xCAFE0001u);
    EXPECT_EQ(m_simulator->Outputs(), 0xCAFE0001u);

    m_simulator->SetInputs(0x80000034);
    EXPECT_EQ(SPIReadDigital(Open(), &inputs, &outputs), RC_OK);
    EXPECT_EQ(inputs, 0x80000034u);
    EXPECT_EQ(outputs, 0xCAFE0001u) << "one set of lines for all clients";
}

TEST_F(SimulatorTest, SequenceProgramsTheFlashAndAnswersInOrder) {
    StartSimulator(Instant());
    const int32_t handle = Open();
    namespace seq = gateway::seq;
    Bytes sequence;
    for (const Bytes& instruction : std::vector<Bytes>{
             {seq::kTransfer, 1, 0, kWriteEnable},
             {seq::kTransfer, 6, 0, 0x02, 0x00, 0x20, 0x00, 0xAB, 0xCD},  // program 2 bytes at 0x2000
             {seq::kPoll, kReadStatus, 0x01, 0x00, 100, 0},               // until not busy
             {seq::kCommandRead, 4, 0x03, 0x00, 0x20, 0x00, 3, 0},        // read 3 bytes at 0x2000
             {seq::kWriteOutputs, 0x78, 0x56, 0x34, 0x12},
             {seq::kReadDigital},
             {seq::kEnd},
             {0x7F},  // never reached
         }) {
        sequence.insert(sequence.end(), instruction.begin(), instruction.end());
    }
    m_simulator->SetInputs(0x01020304);
    uint16_t id = 0;
    ASSERT_EQ(SPISequenceReq(handle, reinterpret_cast<const char*>(sequence.data()),
                             static_cast<uint16_t>(sequence.size()), &id),
              RC_OK);
    Bytes answer(20, 0xEE);
    ASSERT_EQ(SPISequenceGetCnf(handle, id, reinterpret_cast<char*>(answer.data()), 20), RC_OK);
    const Bytes expected = {
        0xFF,                                            // write enable
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,              // page program
        0x00,                                            // status once ready
        0xAB, 0xCD, 0xFF,                                // read back
        0x04, 0x03, 0x02, 0x01, 0x78, 0x56, 0x34, 0x12,  // inputs, outputs
        0xEE,
    };
    EXPECT_EQ(answer, expected);
}

TEST_F(SimulatorTest, SequenceFaultsComeBackAsResultCodes) {
    auto options = Instant();
    options.sequenceLimitMs = 100;
    StartSimulator(options);
    const int32_t handle = Open();
    namespace seq = gateway::seq;
    auto run = [&](const Bytes& sequence, Bytes& answer) {
        uint16_t id = 0;
        EXPECT_EQ(SPISequenceReq(handle, reinterpret_cast<const char*>(sequence.data()),
                                 static_cast<uint16_t>(sequence.size()), &id),
                  RC_OK);
        return SPISequenceGetCnf(handle, id, reinterpret_cast<char*>(answer.data()),
                                 static_cast<uint16_t>(answer.size()));
    };
    Bytes answer(2, 0xEE);
    EXPECT_EQ(run({seq::kTransfer, 1, 0, 0x9F, 0x42, seq::kEnd}, answer), RC_SPI_SEQ_BAD_OPCODE);
    EXPECT_EQ(answer, (Bytes{0xFF, 0xEE})) << "the answer up to the unknown op code";

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run({seq::kDelay, 0xE8, 0x03}, answer), RC_SPI_SEQ_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(800));

    EXPECT_EQ(run({seq::kTransfer, 5, 0, 1}, answer), RC_SPI_INCONSISTENT_DATA);
}

TEST_F(SimulatorTest, AliveRequestsKeepAnIdleConnectionAndSilenceEndsIt) {
    auto options = Instant();
    options.aliveIntervalMs = 200;
    StartSimulator(options);
    const int32_t handle = Open();
    ASSERT_TRUE(Eventually([&] { return m_simulator->Stats().aliveConfirmations >= 3; }));
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_OK);

    m_simulator->AddFault({gateway::FaultKind::MuteAlive});
    // Five quarter-interval ticks without a telegram and the library says goodbye.
    ASSERT_TRUE(Eventually([&] { return m_simulator->Stats().disconnectRequests == 1; }));
    // A call racing the goodbye may still fail on the send itself.
    EXPECT_TRUE(Eventually([&] { return SPIWriteDigital(handle, 1) == RC_NOT_CONNECTED; }));
}

TEST_F(SimulatorTest, ConnectsBeyondTheLimitAreRefusedUntilASlotFrees) {
    auto options = Instant();
    options.maxConnections = 2;
    StartSimulator(options);
    const int32_t first = Open();
    Open();
    int32_t third = -1;
    EXPECT_EQ(TryOpen(third), RC_MAX_CONNECTIONS);
    EXPECT_EQ(third, -1);

    EXPECT_EQ(SPICloseDevice(first), RC_OK);
    m_handles.erase(m_handles.begin());
    ASSERT_TRUE(Eventually([&] { return m_simulator->Stats().clientsConnected == 1; }));
    EXPECT_EQ(TryOpen(third), RC_OK);
    EXPECT_EQ(SPIWriteDigital(third, 7), RC_OK);
}

}  // namespace
}  // namespace kestrix::test
