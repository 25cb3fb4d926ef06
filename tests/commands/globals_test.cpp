// The SPI bus settings, written and read back through the exported functions.

#include "commands/CommandTest.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {
using Globals = CommandTest;

struct Settings {
    uint32_t baudrate = 0xAAAAAAAA;
    uint8_t signalLevel = 0xAA;
    uint8_t auxVoltage = 0xAA;
    uint8_t clockMode = 0xAA;
};

int32_t Get(int32_t handle, Settings& s) {
    return SPIGetGlobals(handle, &s.baudrate, &s.signalLevel, &s.auxVoltage, &s.clockMode);
}

void ExpectZeros(const Settings& s) {
    EXPECT_EQ(s.baudrate, 0u);
    EXPECT_EQ(s.signalLevel, 0);
    EXPECT_EQ(s.auxVoltage, 0);
    EXPECT_EQ(s.clockMode, 0);
}

const Bytes kGoodSettings = {0x00, 0x40, 0x42, 0x0F, 0x00, 0x01, 0x02, 0x03};
}  // namespace

TEST_F(Globals, SetSendsTheRateLittleEndianThenTheThreeSettings) {
    Answer({0x00});
    EXPECT_EQ(SPISetGlobals(handle, 1000000, 1, 2, 3), RC_OK);
    const CKesMsg request = LastRequest();
    EXPECT_EQ(request.CommandCode(), 0x0307);
    EXPECT_EQ(request.Data(), (Bytes{0x40, 0x42, 0x0F, 0x00, 0x01, 0x02, 0x03}));
}

TEST_F(Globals, SetReportsTheGatewaysVerdict) {
    Answer({0x20, 0x99});
    EXPECT_EQ(SPISetGlobals(handle, 1, 2, 3, 4), RC_SPI_INCONSISTENT_DATA);
    Answer({});
    EXPECT_EQ(SPISetGlobals(handle, 1, 2, 3, 4), RC_BAD_CONFIRMATION | 0x0300);
    for (Fault fault : kFaults) {
        AnswerBadly(fault, {0x00});
        EXPECT_EQ(SPISetGlobals(handle, 1, 2, 3, 4), ResultOf(fault));
    }
}

TEST_F(Globals, GetSendsAnEmptyRequestAndDecodesTheSettings) {
    Answer(kGoodSettings);
    Settings s;
    EXPECT_EQ(Get(handle, s), RC_OK);
    EXPECT_EQ(LastRequest().CommandCode(), 0x0308);
    EXPECT_TRUE(LastRequest().Data().empty());
    EXPECT_EQ(s.baudrate, 1000000u);
    EXPECT_EQ(s.signalLevel, 1);
    EXPECT_EQ(s.auxVoltage, 2);
    EXPECT_EQ(s.clockMode, 3);

    Answer({0x00, 0x78, 0x56, 0x34, 0x12, 0xFE, 0xFD, 0xFC, 0xEE});
    EXPECT_EQ(Get(handle, s), RC_OK);
    EXPECT_EQ(s.baudrate, 0x12345678u);
    EXPECT_EQ(s.signalLevel, 0xFE);
    EXPECT_EQ(s.auxVoltage, 0xFD);
    EXPECT_EQ(s.clockMode, 0xFC);
}

TEST_F(Globals, GetWithAllPointersNullStillAsks) {
    Answer({0x21});
    EXPECT_EQ(SPIGetGlobals(handle, nullptr, nullptr, nullptr, nullptr), RC_SPI_SEND_ERROR);
    EXPECT_EQ(LastRequest().CommandCode(), 0x0308);
    Answer(kGoodSettings);
    uint8_t clockMode = 0;
    EXPECT_EQ(SPIGetGlobals(handle, nullptr, nullptr, nullptr, &clockMode), RC_OK);
    EXPECT_EQ(clockMode, 3);
}

TEST_F(Globals, GetWritesZerosWhenTheAnswerCarriesNoSettings) {
    // An error byte in front of otherwise good settings: the settings do not count.
    Bytes refused = kGoodSettings;
    refused[0] = 0x20;
    Answer(refused);
    Settings s;
    EXPECT_EQ(Get(handle, s), RC_SPI_INCONSISTENT_DATA);
    ExpectZeros(s);

    Answer({0x00, 0x40, 0x42});
    s = Settings{};
    EXPECT_EQ(Get(handle, s), RC_OK);
    ExpectZeros(s);

    Answer({});
    s = Settings{};
    EXPECT_EQ(Get(handle, s), RC_BAD_CONFIRMATION | 0x0300);
    ExpectZeros(s);
}

TEST_F(Globals, GetWritesZerosAfterAnExchangeFailure) {
    for (Fault fault : kFaults) {
        AnswerBadly(fault, kGoodSettings);
        Settings s;
        EXPECT_EQ(Get(handle, s), ResultOf(fault));
        ExpectZeros(s);
    }
}

TEST_F(Globals, GetOnAnUnknownHandleWritesNothing) {
    Settings s;
    EXPECT_EQ(Get(handle + 100, s), RC_BAD_HANDLE);
    EXPECT_EQ(s.baudrate, 0xAAAAAAAAu);
    EXPECT_EQ(s.clockMode, 0xAA);
}
