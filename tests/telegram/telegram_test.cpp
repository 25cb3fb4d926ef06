#include <gtest/gtest.h>

#include "telegram/CKesMsg.h"
#include "telegram/CKestrixMsg.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"

using namespace kestrix;
using Bytes = std::vector<uint8_t>;

TEST(Telegram, StatusRequestSerialisesToItsWireBytes) {
    const CKestrixMsg request(nullptr, 0, spi::kDeviceStatus, 2);
    EXPECT_EQ(request.Serialize(), (Bytes{0x05, 0x00, 0x0A, 0x03, 0x02, 0x00, 0x0B}));
}

TEST(Telegram, ConnectRequestSerialisesToItsWireBytes) {
    const CKesMsg request(nullptr, 0, spi::kConnect, 1);
    EXPECT_EQ(request.Serialize(), (Bytes{0x05, 0x00, 0x01, 0x03, 0x01, 0x00, 0x03}));
}

TEST(Telegram, ConfirmationParsesIntoItsFields) {
    const Bytes wire{0x06, 0x00, 0x0A, 0x83, 0x02, 0x00, 0x00, 0x8B};
    CKestrixMsg confirmation;
    ASSERT_TRUE(confirmation.Parse(wire.data(), wire.size()));
    EXPECT_EQ(confirmation.CommandCode(), 0x830A);
    EXPECT_EQ(confirmation.TelegramId(), 2);
    EXPECT_EQ(confirmation.Data(), Bytes{0x00});
    EXPECT_EQ(confirmation.Checksum(), confirmation.ComputeChecksum());
}

TEST(Telegram, TooShortInputResetsTheTelegram) {
    CKestrixMsg telegram(Bytes{1, 2}.data(), 2, 0x0303, 9);
    const Bytes six{0x04, 0x00, 0x03, 0x03, 0x09, 0x00};
    EXPECT_FALSE(telegram.Parse(six.data(), six.size()));
    EXPECT_EQ(telegram.CommandCode(), 0);
    EXPECT_EQ(telegram.TelegramId(), 0);
    EXPECT_TRUE(telegram.Data().empty());
    EXPECT_EQ(telegram.Length(), 5);
}

TEST(Telegram, LengthFieldDisagreeingWithByteCountIsInvalidButKept) {
    const Bytes wire{0x07, 0x00, 0x0A, 0x83, 0x02, 0x00, 0x00, 0x8B};
    CKesMsg telegram(wire.data(), wire.size());
    EXPECT_FALSE(telegram.IsValid());
    EXPECT_EQ(telegram.CommandCode(), 0x830A);
    EXPECT_EQ(telegram.Length(), 7);
}

TEST(Telegram, WrongChecksumIsNotDetectedByParse) {
    const Bytes wire{0x06, 0x00, 0x0A, 0x83, 0x02, 0x00, 0x00, 0x8C};
    CKestrixMsg telegram;
    EXPECT_TRUE(telegram.Parse(wire.data(), wire.size()));
    EXPECT_NE(telegram.Checksum(), telegram.ComputeChecksum());
}

TEST(Telegram, NonNullDataOfLengthZeroGivesEmptyData) {
    const uint8_t byte = 0x55;
    const CKestrixMsg telegram(&byte, 0, 0x0303, 4);
    EXPECT_TRUE(telegram.Data().empty());
    EXPECT_EQ(telegram.Length(), 5);
}

TEST(Telegram, LargestDataFitsAndOneMoreIsRefused) {
    const Bytes largest(kMaxTelegramData, 0xA5);
    const CKestrixMsg fits(largest.data(), largest.size(), 0x0303, 3);
    EXPECT_FALSE(fits.Refused());
    const Bytes wire = fits.Serialize();
    ASSERT_EQ(wire.size(), 65535u);
    EXPECT_EQ(ReadU16(wire.data()), 0xFFFD);

    const Bytes tooLarge(kMaxTelegramData + 1, 0xA5);
    const CKestrixMsg refused(tooLarge.data(), tooLarge.size(), 0x0303, 3);
    EXPECT_TRUE(refused.Refused());
    EXPECT_FALSE(refused.IsValid());
    EXPECT_TRUE(refused.Serialize().empty());
}

TEST(Telegram, PackingIsLittleEndian) {
    EXPECT_EQ(PackU16(0x1234), (std::array<uint8_t, 2>{0x34, 0x12}));
    EXPECT_EQ(PackU32(1000000), (std::array<uint8_t, 4>{0x40, 0x42, 0x0F, 0x00}));
    const auto bytes = PackU32(0x9ABCDEF0);
    EXPECT_EQ(ReadU32(bytes.data()), 0x9ABCDEF0u);
}

TEST(CommandCodes, AreComposedFromDeviceTypeAndNumber) {
    EXPECT_EQ(spi::kDataReq, 0x0303);
    EXPECT_EQ(spi::kAlive, 0x030D);
    EXPECT_EQ(spi::kSequence, 0x0314);
    EXPECT_EQ(spi::kWriteDigital, 0x0341);
    EXPECT_EQ(ConfirmationCode(spi::kReadDigital), 0x8340);
    EXPECT_EQ(CommandCode(9, cmd::kDeviceInfo), 0x0909);
    EXPECT_EQ(CommandCode(0x83, cmd::kConnect), 0x0301);
}
