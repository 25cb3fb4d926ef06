// The C++ wrapper of KestrixSPI.hpp against a scripted loopback gateway.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KestrixSPI.hpp"
#include "TestGateway.h"
#include "telegram/CommandCodes.h"

namespace kestrix::test {
namespace {

constexpr int32_t kTimeoutMs = 300;

class CppGateway : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(gateway.Listening());
        gateway.SetHandler([](Peer& peer, const CKesMsg& request) { peer.Send(Confirmation(request, {0x00})); });
    }
    Gateway Open() { return Gateway(gateway.Address(), kTimeoutMs); }
    void Answer(const Bytes& data) {
        gateway.SetHandler([data](Peer& peer, const CKesMsg& request) { peer.Send(Confirmation(request, data)); });
    }

    TestGateway gateway;
};

TEST_F(CppGateway, DestructorClosesAndAMoveHandsTheHandleOn) {
    int32_t handle = -1;
    {
        Gateway first = Open();
        handle = first.Handle();
        Gateway second = std::move(first);
        EXPECT_FALSE(first);
        EXPECT_EQ(first.Handle(), -1);
        EXPECT_EQ(second.Handle(), handle);
        // The moved-from object's destructor must not close what it gave away.
        { Gateway gone = std::move(first); }
        EXPECT_EQ(SPIWriteDigital(handle, 1), RC_OK);
    }
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_BAD_HANDLE);
}

TEST_F(CppGateway, MoveAssignmentClosesTheHandleItReplaces) {
    Gateway kept = Open();
    Gateway replaced = Open();
    const int32_t keptHandle = kept.Handle();
    const int32_t replacedHandle = replaced.Handle();
    replaced = std::move(kept);
    EXPECT_EQ(SPIWriteDigital(replacedHandle, 1), RC_BAD_HANDLE);
    EXPECT_EQ(replaced.Handle(), keptHandle);
    EXPECT_EQ(SPIWriteDigital(keptHandle, 1), RC_OK);
}

TEST_F(CppGateway, AGatewayErrorThrowsItsCodeAndMessageOrReturnsTheCode) {
    Gateway gw = Open();
    Answer({0x21});
    try {
        gw.WriteDigital(5);
        FAIL() << "no exception";
    } catch (const Error& e) {
        EXPECT_EQ(e.Code(), RC_SPI_SEND_ERROR);
        EXPECT_STREQ(e.what(), "SPI error while sending");
    }
    EXPECT_EQ(gw.WriteDigital(std::nothrow, 5), RC_SPI_SEND_ERROR);
}

TEST_F(CppGateway, AFailedOpenThrowsOrLeavesTheGatewayEmpty) {
    // Refuses every connection.
    gateway.SetConnectResult(1);
    Gateway gw;
    EXPECT_EQ(Gateway::Open(std::nothrow, gateway.Address().c_str(), kTimeoutMs, gw), RC_MAX_CONNECTIONS);
    EXPECT_FALSE(gw);
    try {
        Gateway refused(gateway.Address(), kTimeoutMs);
        FAIL() << "no exception";
    } catch (const Error& e) {
        EXPECT_EQ(e.Code(), RC_MAX_CONNECTIONS);
        EXPECT_EQ(e.what(), ErrorMessage(RC_MAX_CONNECTIONS));
    }
}

TEST_F(CppGateway, AnEmptyGatewayFailsWithBadHandle) {
    Gateway gw;
    EXPECT_EQ(gw.Close(std::nothrow), RC_OK);
    try {
        gw.ReadDigital();
        FAIL() << "no exception";
    } catch (const Error& e) {
        EXPECT_EQ(e.Code(), RC_BAD_HANDLE);
    }
    Gateway closed = Open();
    closed.Close();
    EXPECT_FALSE(closed);
    EXPECT_EQ(closed.SetGlobals(std::nothrow, {}), RC_BAD_HANDLE);
}

TEST_F(CppGateway, TransferSendsTheWriteSpanAndFillsTheReadSpan) {
    Gateway gw = Open();
    Answer({0x00, 0x11, 0x22, 0x33});
    const std::vector<uint8_t> write = {0xAA, 0xBB};
    std::vector<uint8_t> read(4, 0x5A);
    gw.Transfer(write, read);
    const auto requests = gateway.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].CommandCode(), spi::kDataReq);
    EXPECT_EQ(requests[0].Data(), (Bytes{0xAA, 0xBB, 0x00, 0x00}));
    // Three bytes came back; the fourth keeps what it held.
    EXPECT_EQ(read, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x5A}));
}

TEST_F(CppGateway, SpansLongerThanACallCanCarryAreRefusedNotCut) {
    Gateway gw = Open();
    // 65536 bytes would reach the C call as a length of 0.
    const std::vector<uint8_t> huge(0x10000, 0x01);
    std::vector<uint8_t> none;
    EXPECT_EQ(gw.Transfer(std::nothrow, huge, none), RC_BAD_PARAMETER);
    std::vector<uint8_t> hugeRead(0x10000);
    EXPECT_EQ(gw.Transfer(std::nothrow, {}, hugeRead), RC_BAD_PARAMETER);
    uint16_t id = 0;
    EXPECT_EQ(gw.SequenceSend(std::nothrow, huge, id), RC_BAD_PARAMETER);
    EXPECT_TRUE(gateway.Requests().empty());
}

TEST_F(CppGateway, SequenceAnswerIsCollectedByItsTelegramId) {
    Gateway gw = Open();
    Answer({0x00, 0xAB, 0xCD});
    const std::vector<uint8_t> sequence = {0x04};
    const uint16_t id = gw.SequenceSend(sequence);
    EXPECT_EQ(id, 2);
    std::vector<uint8_t> answer(2);
    gw.SequenceResult(id, answer);
    EXPECT_EQ(answer, (std::vector<uint8_t>{0xAB, 0xCD}));
    // Each answer is collected once.
    EXPECT_EQ(gw.SequenceResult(std::nothrow, id, answer), RC_TIMEOUT);
}

TEST_F(CppGateway, GlobalsDigitalLinesAndInfoAreDecoded) {
    Gateway gw = Open();
    Answer({0x00, 0x40, 0x42, 0x0F, 0x00, 0x01, 0x02, 0x03});
    const Globals globals = gw.GetGlobals();
    EXPECT_EQ(globals.baudrate, 1000000u);
    EXPECT_EQ(globals.signalLevel, 1);
    EXPECT_EQ(globals.auxVoltage, 2);
    EXPECT_EQ(globals.clockMode, 3);

    Answer({0x00, 0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A});
    const DigitalLines lines = gw.ReadDigital();
    EXPECT_EQ(lines.first, 0x12345678u);
    EXPECT_EQ(lines.second, 0x9ABCDEF0u);

    Answer({0x00, 0x07});
    const DeviceInfoRecord info = gw.Info();
    EXPECT_EQ(info[0], 0x07);
    EXPECT_EQ(info[18], kDeviceTypeSpi);
}

TEST_F(CppGateway, AStatusLongerThanTheFirstBufferArrivesWhole) {
    Gateway gw = Open();
    std::string text(3000, 'x');
    text[1000] = '\0';  // any byte may stand in a status text
    // Result byte 0, then the text.
    Bytes data(text.size() + 1, 0x00);
    std::copy(text.begin(), text.end(), data.begin() + 1);
    Answer(data);
    EXPECT_EQ(gw.Status(), text);
    Answer({0x21});
    EXPECT_EQ(gw.Status(), "");
}

TEST(CppLibrary, VersionAndMessagesNeedNoGateway) {
    EXPECT_EQ(LibraryVersion(), "Kestrix SPI DLL V1.3-2.13");
    EXPECT_EQ(ErrorMessage(RC_OK), "no error");
    EXPECT_EQ(Error(RC_TIMEOUT).Code(), RC_TIMEOUT);
}

}  // namespace
}  // namespace kestrix::test
