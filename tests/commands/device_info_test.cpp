// The device information record and the status text.

#include <array>
#include <cstring>

#include "commands/CommandTest.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {
using DeviceInfoRecord = CommandTest;
using DeviceStatusText = CommandTest;

using Record = std::array<uint8_t, KESTRIX_DEVICE_INFO_SIZE>;

Record Filled(uint8_t value) {
    Record r;
    r.fill(value);
    return r;
}

// Zeros with the device type in byte 18: what a record holds before any
// answer data lands in it.
Record Blank() {
    Record r{};
    r[18] = 3;
    return r;
}

Bytes Text(const char* buffer, size_t size) {
    return Bytes(buffer, buffer + size);
}
}  // namespace

TEST_F(DeviceInfoRecord, ShortAnswerFillsTheFrontAndKeepsTheDeviceType) {
    Answer({0x00, 0x01, 0x02});
    Record r = Filled(0xAA);
    EXPECT_EQ(DeviceInfo(handle, r.data()), RC_OK);
    EXPECT_EQ(LastRequest().CommandCode(), 0x0309);
    EXPECT_TRUE(LastRequest().Data().empty());
    Record expected = Blank();
    expected[0] = 0x01;
    expected[1] = 0x02;
    EXPECT_EQ(r, expected);
}

TEST_F(DeviceInfoRecord, LongAnswerFillsTheWholeRecordDeviceTypeByteIncluded) {
    Bytes answer = {0x00};
    for (uint8_t i = 0; i < 25; ++i) answer.push_back(static_cast<uint8_t>(0x40 + i));
    Answer(answer);
    Record r = Filled(0xAA);
    EXPECT_EQ(DeviceInfo(handle, r.data()), RC_OK);
    for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i], 0x40 + i) << "byte " << i;
}

TEST_F(DeviceInfoRecord, AnyFailureLeavesZerosAndTheDeviceType) {
    Answer({0x20, 0x77, 0x77});
    Record r = Filled(0xAA);
    EXPECT_EQ(DeviceInfo(handle, r.data()), RC_SPI_INCONSISTENT_DATA);
    EXPECT_EQ(r, Blank());

    Answer({});
    r = Filled(0xAA);
    EXPECT_EQ(DeviceInfo(handle, r.data()), RC_BAD_CONFIRMATION | 0x0300);
    EXPECT_EQ(r, Blank());

    for (Fault fault : kFaults) {
        Bytes good(26, 0x77);
        good[0] = 0x00;
        AnswerBadly(fault, good);
        r = Filled(0xAA);
        EXPECT_EQ(DeviceInfo(handle, r.data()), ResultOf(fault));
        EXPECT_EQ(r, Blank());
    }
}

TEST_F(DeviceInfoRecord, UnknownHandleZeroesTheRecordAndNullIsRefused) {
    Record r = Filled(0xAA);
    EXPECT_EQ(DeviceInfo(handle + 100, r.data()), RC_BAD_HANDLE);
    EXPECT_EQ(r, Record{});
    EXPECT_EQ(DeviceInfo(handle, nullptr), RC_BAD_PARAMETER);
    EXPECT_EQ(DeviceInfo(handle + 100, nullptr), RC_BAD_PARAMETER);
    ExpectNothingSentYet();
}

TEST_F(DeviceStatusText, TextIsCutToTheBufferAndNulTerminated) {
    Answer({0x00, 0x72, 0x75, 0x6E});
    char buffer[16];
    std::memset(buffer, 0x5A, sizeof(buffer));
    EXPECT_EQ(DeviceStatus(handle, buffer, 16), 4);
    EXPECT_EQ(LastRequest().CommandCode(), 0x030A);
    EXPECT_TRUE(LastRequest().Data().empty());
    EXPECT_EQ(Text(buffer, 5), (Bytes{0x72, 0x75, 0x6E, 0x00, 0x5A}));

    std::memset(buffer, 0x5A, sizeof(buffer));
    EXPECT_EQ(DeviceStatus(handle, buffer, 3), 3);
    EXPECT_EQ(Text(buffer, 4), (Bytes{0x72, 0x75, 0x00, 0x5A}));

    std::memset(buffer, 0x5A, sizeof(buffer));
    EXPECT_EQ(DeviceStatus(handle, buffer, 1), 1);
    EXPECT_EQ(Text(buffer, 2), (Bytes{0x00, 0x5A}));
}

TEST_F(DeviceStatusText, TextIsCopiedByteForByteEvenWithNulsInside) {
    Answer({0x00, 0x41, 0x00, 0xFF, 0x42});
    char buffer[8];
    std::memset(buffer, 0x5A, sizeof(buffer));
    EXPECT_EQ(DeviceStatus(handle, buffer, 8), 5);
    EXPECT_EQ(Text(buffer, 6), (Bytes{0x41, 0x00, 0xFF, 0x42, 0x00, 0x5A}));

    Answer({0x00});
    std::memset(buffer, 0x5A, sizeof(buffer));
    EXPECT_EQ(DeviceStatus(handle, buffer, 8), 1);
    EXPECT_EQ(Text(buffer, 2), (Bytes{0x00, 0x5A}));
}

TEST_F(DeviceStatusText, AnyFailureZeroesTheWholeBufferAndReturnsOne) {
    auto expectZeroed = [&](const char* what) {
        char buffer[8];
        std::memset(buffer, 0x5A, sizeof(buffer));
        EXPECT_EQ(DeviceStatus(handle, buffer, 8), 1) << what;
        EXPECT_EQ(Text(buffer, 8), Bytes(8, 0x00)) << what;
    };
    Answer({0x21, 0x72, 0x75});
    expectZeroed("gateway error");
    Answer({});
    expectZeroed("empty confirmation");
    AnswerBadly(Fault::Silent, {});
    expectZeroed("time-out");
    AnswerBadly(Fault::BadChecksum, {0x00, 0x72, 0x75});
    expectZeroed("wrong checksum");
    AnswerBadly(Fault::WrongCode, {0x00, 0x72, 0x75});
    expectZeroed("wrong code");
}

TEST_F(DeviceStatusText, NoBufferOrUnknownHandleWritesAndSendsNothing) {
    char buffer[4];
    std::memset(buffer, 0x5A, sizeof(buffer));
    EXPECT_EQ(DeviceStatus(handle, nullptr, 16), 0);
    EXPECT_EQ(DeviceStatus(handle, buffer, 0), 0);
    EXPECT_EQ(DeviceStatus(handle, buffer, -5), 0);
    EXPECT_EQ(DeviceStatus(handle + 100, buffer, 4), 1);
    EXPECT_EQ(Text(buffer, 4), Bytes(4, 0x5A));
    ExpectNothingSentYet();
}
