#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KestrixSPI.h"
#include "api/Address.h"
#include "api/ErrorText.h"

using namespace kestrix;

namespace {
constexpr int32_t kUnknown = 987654;
}

TEST(ErrorText, EveryRowGivesItsTextVerbatim) {
    const std::pair<int32_t, const char*> rows[] = {
        {0x000000, "no error"},
        {0x040000, "TCP/IP timeout occured"},
        {0x050000, "TCP/IP request not allowed now, stack is intializing"},
        {0x0A0000, "Kestrix TCP/IP telegram has invalid CRC"},
        {0x910000, "Device type invalid (handle is connected device type, which does not support called function"},
        {0x000001, "Open failed, maximum number of connections reached"},
        {0x0002FE, "CANOpen mode not switched on"},
        {0x000320, "SPI inconsistent telegram data"},
        {0x000331, "SPI sequence timeout"},
        {0x000D20, "File could not be opened"},
        {0x000E26, "Failed to read data from target"},
    };
    for (const auto& [code, text] : rows) EXPECT_EQ(ErrorText(code), text) << code;
}

TEST(ErrorText, DeviceTypeBitsFallBackToTheGenericRow) {
    EXPECT_EQ(ErrorText(0x0301), "Open failed, maximum number of connections reached");
    EXPECT_EQ(ErrorText(0x03FF), "Kestrix command failed");
    EXPECT_EQ(ErrorText(0x0C0300), "Kestrix TCP/IP telegram confirmation is invalid");
}

TEST(ErrorText, UnknownCodesAreShownInSignedDecimal) {
    EXPECT_EQ(ErrorText(0x0305), "Unknown error code: 5");
    EXPECT_EQ(ErrorText(0x070000), "Unknown error code: 458752");
    EXPECT_EQ(ErrorText(-1), "Unknown error code: -65281");
    EXPECT_EQ(ErrorText(0x120056), "Unknown error code: 1179734");
}

TEST(TextOutput, DllInfoFollowsTheTextRuleForEveryBufferSize) {
    const std::string version = "Kestrix SPI DLL V1.3-2.13";
    for (int32_t size = 1; size <= 40; ++size) {
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        const int32_t written = DLLInfo(buffer, size);
        const size_t kept = std::min<size_t>(version.size(), static_cast<size_t>(size) - 1);
        EXPECT_EQ(written, static_cast<int32_t>(kept + 1)) << size;
        EXPECT_EQ(std::string(buffer), version.substr(0, kept)) << size;
        EXPECT_EQ(buffer[kept + 1], '#') << "wrote past the NUL at size " << size;
    }
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(DLLInfo(nullptr, 10), 0);
    EXPECT_EQ(DLLInfo(buffer, 0), 0);
    EXPECT_EQ(DLLInfo(buffer, -5), 0);
    EXPECT_STREQ(buffer, "xxxxxxx");
}

TEST(TextOutput, ErrorMessageCopiesTheTextOfTheCode) {
    char buffer[128];
    EXPECT_EQ(SPIErrorMessage(0, buffer, sizeof buffer), 9);
    EXPECT_STREQ(buffer, "no error");
    EXPECT_EQ(SPIErrorMessage(RC_BAD_HANDLE, buffer, 7), 7);
    EXPECT_STREQ(buffer, "Device");
    EXPECT_EQ(SPIErrorMessage(0, nullptr, 10), 0);
    EXPECT_EQ(SPIErrorMessage(0, buffer, 0), 0);
}

TEST(UnknownHandle, EveryDeviceFunctionAnswersBadHandle) {
    char data[4] = {1, 2, 3, 4};
    uint32_t first = 11, second = 22;
    uint16_t id = 33;
    uint32_t baud = 44;
    uint8_t level = 55, aux = 66, mode = 77;
    EXPECT_EQ(SPICloseDevice(kUnknown), RC_BAD_HANDLE);
    EXPECT_EQ(SPISetGlobals(kUnknown, 1, 2, 3, 4), RC_BAD_HANDLE);
    EXPECT_EQ(SPIGetGlobals(kUnknown, &baud, &level, &aux, &mode), RC_BAD_HANDLE);
    EXPECT_EQ(SPIDataReq(kUnknown, data, 2, data, 2), RC_BAD_HANDLE);
    EXPECT_EQ(SPISequenceReq(kUnknown, data, 4, &id), RC_BAD_HANDLE);
    EXPECT_EQ(SPISequenceGetCnf(kUnknown, 2, data, 4), RC_BAD_HANDLE);
    EXPECT_EQ(SPIReadDigital(kUnknown, &first, &second), RC_BAD_HANDLE);
    EXPECT_EQ(SPIWriteDigital(kUnknown, 5), RC_BAD_HANDLE);
    // Nothing written.
    EXPECT_EQ(baud, 44u);
    EXPECT_EQ(level, 55);
    EXPECT_EQ(mode, 77);
    EXPECT_EQ(first, 11u);
    EXPECT_EQ(id, 33);
    EXPECT_EQ(data[0], 1);
}

TEST(UnknownHandle, DeviceInfoZeroesTheRecordAndRejectsNull) {
    uint8_t record[KESTRIX_DEVICE_INFO_SIZE];
    std::memset(record, 0xEE, sizeof record);
    EXPECT_EQ(DeviceInfo(kUnknown, record), RC_BAD_HANDLE);
    for (uint8_t b : record) EXPECT_EQ(b, 0);
    EXPECT_EQ(DeviceInfo(kUnknown, nullptr), RC_BAD_PARAMETER);
}

TEST(UnknownHandle, DeviceStatusReturnsOneAndLeavesTheBufferAlone) {
    char buffer[8] = "abcdefg";
    EXPECT_EQ(DeviceStatus(kUnknown, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(DeviceStatus(kUnknown, nullptr, 8), 0);
    EXPECT_EQ(DeviceStatus(kUnknown, buffer, 0), 0);
}

TEST(Arguments, UnsafePointersAreRejectedBeforeTheHandleIsLookedUp) {
    int32_t handle = 42;
    EXPECT_EQ(SPIOpenDevice(nullptr, "127.0.0.1", 100), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIOpenDevice(&handle, nullptr, 100), RC_BAD_PARAMETER);
    EXPECT_EQ(handle, 42);
    char byte = 0;
    uint32_t word = 0;
    EXPECT_EQ(SPIDataReq(kUnknown, nullptr, 1, &byte, 1), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIDataReq(kUnknown, &byte, 1, nullptr, 1), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIReadDigital(kUnknown, nullptr, &word), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIReadDigital(kUnknown, &word, nullptr), RC_BAD_PARAMETER);
}

TEST(Address, HostAndOptionalPortAreSplit) {
    std::string host;
    uint16_t port = 0;
    ASSERT_TRUE(SplitAddress("gateway.local", host, port));
    EXPECT_EQ(host, "gateway.local");
    EXPECT_EQ(port, 5002);
    ASSERT_TRUE(SplitAddress("127.0.0.1:15002", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 15002);
    ASSERT_TRUE(SplitAddress("[::1]:6000", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 6000);
    ASSERT_TRUE(SplitAddress("fe80::1", host, port));
    EXPECT_EQ(host, "fe80::1");
    EXPECT_EQ(port, 5002);
    ASSERT_TRUE(SplitAddress("[::1]", host, port));
    EXPECT_EQ(port, 5002);
    for (const char* bad : {"host:", "host:0", "host:65536", "host:12a", "[::1", "[::1]x", "[::1]:"}) {
        EXPECT_FALSE(SplitAddress(bad, host, port)) << bad;
    }
}
