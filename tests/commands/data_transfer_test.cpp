// SPI transfers through SPIDataReq: the payload sent and the bytes copied back.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "commands/CommandTest.h"
#include "telegram/Telegram.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {
using DataTransfer = CommandTest;

const char kWrite[] = {'\xAA', '\xBB', '\xCC', '\xDD'};
}  // namespace

TEST_F(DataTransfer, PayloadIsTheWriteBytesPaddedWithZerosToTheReadLength) {
    Answer({0x00});
    MarkedBuffer read;
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, read.bytes, 4), RC_OK);
    EXPECT_EQ(LastRequest().CommandCode(), 0x0303);
    EXPECT_EQ(LastRequest().Data(), (Bytes{0xAA, 0xBB, 0x00, 0x00}));

    EXPECT_EQ(SPIDataReq(handle, kWrite, 4, nullptr, 0), RC_OK);
    EXPECT_EQ(LastRequest().Data(), (Bytes{0xAA, 0xBB, 0xCC, 0xDD}));

    EXPECT_EQ(SPIDataReq(handle, nullptr, 0, read.bytes, 3), RC_OK);
    EXPECT_EQ(LastRequest().Data(), (Bytes{0x00, 0x00, 0x00}));

    EXPECT_EQ(SPIDataReq(handle, kWrite, 4, read.bytes, 2), RC_OK);
    EXPECT_EQ(LastRequest().Data(), (Bytes{0xAA, 0xBB, 0xCC, 0xDD}));
}

TEST_F(DataTransfer, CopiesNoMoreThanTheReadLengthNorMoreThanArrived) {
    Answer({0x00, 0x11, 0x22, 0x33, 0x44});
    MarkedBuffer read;
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, read.bytes, 2), RC_OK);
    EXPECT_EQ(read.Get(), (Bytes{0x11, 0x22, 0x5A, 0x5A}));

    Answer({0x00, 0x11});
    read = MarkedBuffer{};
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, read.bytes, 4), RC_OK);
    EXPECT_EQ(read.Get(), (Bytes{0x11, 0x5A, 0x5A, 0x5A}));
}

TEST_F(DataTransfer, GatewayErrorStillDeliversTheBytesRead) {
    Answer({0x21, 0x11, 0x22});
    MarkedBuffer read;
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, read.bytes, 4), RC_SPI_SEND_ERROR);
    EXPECT_EQ(read.Get(), (Bytes{0x11, 0x22, 0x5A, 0x5A}));

    Answer({0x20});
    read = MarkedBuffer{};
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, read.bytes, 4), RC_SPI_INCONSISTENT_DATA);
    EXPECT_EQ(read.Get(), kUntouched);

    Answer({});
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, read.bytes, 4), RC_BAD_CONFIRMATION | 0x0300);
    EXPECT_EQ(read.Get(), kUntouched);
}

TEST_F(DataTransfer, ExchangeFailureLeavesTheMarkedBufferAlone) {
    for (Fault fault : kFaults) {
        AnswerBadly(fault, {0x00, 0x11, 0x22, 0x33, 0x44});
        MarkedBuffer read;
        EXPECT_EQ(SPIDataReq(handle, kWrite, 2, read.bytes, 4), ResultOf(fault));
        EXPECT_EQ(read.Get(), kUntouched);
    }
}

TEST_F(DataTransfer, MissingBuffersAndOverlongTransfersAreRefusedBeforeSending) {
    MarkedBuffer read;
    EXPECT_EQ(SPIDataReq(handle, nullptr, 1, read.bytes, 4), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, nullptr, 1), RC_BAD_PARAMETER);

    const uint16_t overlong = static_cast<uint16_t>(kMaxTelegramData + 1);
    std::vector<char> big(65535, '\x5A');
    EXPECT_EQ(SPIDataReq(handle, big.data(), overlong, nullptr, 0), RC_BAD_PARAMETER);
    // The read length alone makes the payload, zero padding included.
    EXPECT_EQ(SPIDataReq(handle, nullptr, 0, big.data(), 65535), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIDataReq(handle, kWrite, 4, big.data(), overlong), RC_BAD_PARAMETER);
    EXPECT_EQ(std::count(big.begin(), big.end(), '\x5A'), 65535);
    EXPECT_EQ(read.Get(), kUntouched);
    ExpectNothingSentYet();
}

TEST_F(DataTransfer, LargestTransferThatFitsOneTelegramGoesThrough) {
    std::vector<char> read(kMaxTelegramData, '\x5A');
    // The confirmation can carry one byte less than was asked for.
    Bytes answer(kMaxTelegramData, 0x77);
    answer[0] = 0x00;
    Answer(answer);
    EXPECT_EQ(SPIDataReq(handle, nullptr, 0, read.data(), static_cast<uint16_t>(kMaxTelegramData)), RC_OK);
    EXPECT_EQ(LastRequest().Data().size(), kMaxTelegramData);
    EXPECT_EQ(std::count(read.begin(), read.end(), '\x77'),
              static_cast<std::ptrdiff_t>(kMaxTelegramData - 1));
    EXPECT_EQ(read.back(), '\x5A');
}

TEST_F(DataTransfer, AnswerArrivingAfterTheTimeOutNeverReachesTheCallersBuffer) {
    // The first request is answered only after its caller has given up;
    // the next one at once, behind the late answer on the same stream.
    std::atomic<bool> first{true};
    gateway.SetHandler([&first](Peer& peer, const CKesMsg& request) {
        if (first.exchange(false)) std::this_thread::sleep_for(std::chrono::milliseconds(3 * kTimeoutMs / 2));
        peer.Send(Confirmation(request, {0x00, 0x11, 0x22, 0x33, 0x44}));
    });
    MarkedBuffer left;
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, left.bytes, 4), RC_TIMEOUT);
    MarkedBuffer next;
    EXPECT_EQ(SPIDataReq(handle, kWrite, 2, next.bytes, 4), RC_OK);
    EXPECT_EQ(next.Get(), (Bytes{0x11, 0x22, 0x33, 0x44}));
    // The late answer has been read by now, and went nowhere near `left`.
    EXPECT_EQ(left.Get(), kUntouched);
}
