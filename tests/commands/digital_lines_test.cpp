// Reading and writing the gateway's digital lines.

#include "commands/CommandTest.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {
using DigitalLines = CommandTest;

constexpr uint32_t kUnsetWord = 0xA5A5A5A5;
}  // namespace

TEST_F(DigitalLines, WriteSendsTheOutputWordLittleEndian) {
    Answer({0x00});
    EXPECT_EQ(SPIWriteDigital(handle, 5), RC_OK);
    EXPECT_EQ(LastRequest().CommandCode(), 0x0341);
    EXPECT_EQ(LastRequest().Data(), (Bytes{0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(SPIWriteDigital(handle, 0x12345678), RC_OK);
    EXPECT_EQ(LastRequest().Data(), (Bytes{0x78, 0x56, 0x34, 0x12}));
}

TEST_F(DigitalLines, WriteReportsTheGatewaysVerdict) {
    Answer({0x21, 0x00});
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_SPI_SEND_ERROR);
    Answer({});
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_BAD_CONFIRMATION | 0x0300);
    for (Fault fault : kFaults) {
        AnswerBadly(fault, {0x00});
        EXPECT_EQ(SPIWriteDigital(handle, 1), ResultOf(fault));
    }
}

TEST_F(DigitalLines, ReadSendsAnEmptyRequestAndDecodesBothWords) {
    Answer({0x00, 0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A, 0xEE});
    uint32_t first = kUnsetWord;
    uint32_t second = kUnsetWord;
    EXPECT_EQ(SPIReadDigital(handle, &first, &second), RC_OK);
    EXPECT_EQ(LastRequest().CommandCode(), 0x0340);
    EXPECT_TRUE(LastRequest().Data().empty());
    EXPECT_EQ(first, 0x12345678u);
    EXPECT_EQ(second, 0x9ABCDEF0u);
}

TEST_F(DigitalLines, ReadStoresBothWordsAlsoWithAGatewayError) {
    Answer({0x21, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00});
    uint32_t first = kUnsetWord;
    uint32_t second = kUnsetWord;
    EXPECT_EQ(SPIReadDigital(handle, &first, &second), RC_SPI_SEND_ERROR);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
}

TEST_F(DigitalLines, ShortReadLeavesTheWordsAloneAndReportsAnyError) {
    uint32_t first = kUnsetWord;
    uint32_t second = kUnsetWord;
    Answer({0x00, 0x01, 0x02});
    EXPECT_EQ(SPIReadDigital(handle, &first, &second), RC_OK);
    Answer({0x21, 0x01, 0x02});
    EXPECT_EQ(SPIReadDigital(handle, &first, &second), RC_SPI_SEND_ERROR);
    Answer({});
    EXPECT_EQ(SPIReadDigital(handle, &first, &second), RC_BAD_CONFIRMATION | 0x0300);
    EXPECT_EQ(first, kUnsetWord);
    EXPECT_EQ(second, kUnsetWord);
}

TEST_F(DigitalLines, ReadExchangeFailureLeavesTheWordsAlone) {
    for (Fault fault : kFaults) {
        AnswerBadly(fault, {0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00});
        uint32_t first = kUnsetWord;
        uint32_t second = kUnsetWord;
        EXPECT_EQ(SPIReadDigital(handle, &first, &second), ResultOf(fault));
        EXPECT_EQ(first, kUnsetWord);
        EXPECT_EQ(second, kUnsetWord);
    }
}

TEST_F(DigitalLines, ReadWithoutSomewhereToStoreIsRefusedBeforeSending) {
    uint32_t word = kUnsetWord;
    EXPECT_EQ(SPIReadDigital(handle, nullptr, &word), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIReadDigital(handle, &word, nullptr), RC_BAD_PARAMETER);
    EXPECT_EQ(word, kUnsetWord);
    ExpectNothingSentYet();
}
