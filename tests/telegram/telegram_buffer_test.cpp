#include <gtest/gtest.h>

#include "telegram/CKestrixMsg.h"
#include "telegram/CommandCodes.h"
#include "telegram/Telegram.h"

using namespace kestrix;
using Bytes = std::vector<uint8_t>;

namespace {
Bytes Built(const TelegramBuffer& buffer) { return Bytes(buffer.Bytes(), buffer.Bytes() + buffer.Size()); }

Bytes Pattern(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    return data;
}
}  // namespace

TEST(TelegramBuffer, PaddedTransferRequestIsBuiltInOnePass) {
    // Write bytes AA BB with four bytes to read: the payload is AA BB 00 00.
    const uint8_t write[] = {0xAA, 0xBB};
    TelegramBuffer buffer;
    ASSERT_TRUE(buffer.Build(spi::kDataReq, 2, write, 2, 2));
    EXPECT_EQ(Built(buffer), (Bytes{0x09, 0x00, 0x03, 0x03, 0x02, 0x00, 0xAA, 0xBB, 0x00, 0x00, 0x13}));
}

TEST(TelegramBuffer, AgreesWithTheTelegramClassAtEverySize) {
    TelegramBuffer buffer;
    for (const size_t size : {size_t{0}, size_t{1}, size_t{64}, size_t{4095}, size_t{4096}, size_t{65528}}) {
        const Bytes data = Pattern(size);
        const CKestrixMsg reference(data.data(), data.size(), spi::kSequence, static_cast<uint16_t>(size));
        ASSERT_TRUE(buffer.Build(spi::kSequence, static_cast<uint16_t>(size), data.data(), data.size()));
        EXPECT_EQ(Built(buffer), reference.Serialize()) << size;
    }
    // Padding only, from a null pointer: the same as that many zero bytes.
    const Bytes zeros(300, 0);
    ASSERT_TRUE(buffer.Build(spi::kDataReq, 9, nullptr, 0, zeros.size()));
    EXPECT_EQ(Built(buffer), CKestrixMsg(zeros.data(), zeros.size(), spi::kDataReq, 9).Serialize());
}

TEST(TelegramBuffer, PaddingAfterLargerTelegramIsZeroedAgain) {
    // The memory is reused: what an earlier telegram left there must not
    // show through the padding of the next one.
    TelegramBuffer buffer;
    const Bytes ones(1000, 0xFF);
    ASSERT_TRUE(buffer.Build(spi::kDataReq, 2, ones.data(), ones.size()));
    const uint8_t write = 0x42;
    ASSERT_TRUE(buffer.Build(spi::kDataReq, 3, &write, 1, 999));
    Bytes expected(1000, 0);
    expected[0] = 0x42;
    EXPECT_EQ(Built(buffer), CKestrixMsg(expected.data(), expected.size(), spi::kDataReq, 3).Serialize());
}

TEST(TelegramBuffer, LargestTelegramIsKeptForReuse) {
    TelegramBuffer buffer;
    const Bytes large = Pattern(kMaxTelegramData);
    ASSERT_TRUE(buffer.Build(spi::kDataReq, 2, large.data(), 40000, kMaxTelegramData - 40000));
    const uint8_t* memory = buffer.Bytes();
    EXPECT_EQ(buffer.Size(), kMaxTelegramSize);
    for (const size_t size : {size_t{65528}, size_t{10}, size_t{5000}, size_t{65528}}) {
        ASSERT_TRUE(buffer.Build(spi::kDataReq, 3, large.data(), size));
        EXPECT_EQ(buffer.Bytes(), memory) << size;
    }
}

TEST(TelegramBuffer, DataBeyondTheLengthFieldIsRefused) {
    TelegramBuffer buffer;
    const uint8_t byte = 1;
    ASSERT_TRUE(buffer.Build(spi::kDataReq, 2, &byte, 1));
    EXPECT_FALSE(buffer.Build(spi::kDataReq, 3, nullptr, 0, kMaxTelegramData + 1));
    EXPECT_FALSE(buffer.Build(spi::kDataReq, 3, &byte, 1, kMaxTelegramData));
    // A padding so large that size + padding wraps around is refused too.
    EXPECT_FALSE(buffer.Build(spi::kDataReq, 3, &byte, 1, SIZE_MAX));
    // What was built before stays as it was.
    EXPECT_EQ(Built(buffer), CKestrixMsg(&byte, 1, spi::kDataReq, 2).Serialize());
}

TEST(TelegramView, ReadsAConfirmationInPlace) {
    const Bytes wire{0x08, 0x00, 0x03, 0x83, 0x05, 0x01, 0x00, 0x11, 0x22, 0xB7};
    const TelegramView view(wire.data(), wire.size());
    ASSERT_TRUE(view.Valid());
    EXPECT_EQ(view.CommandCode(), 0x8303);
    EXPECT_EQ(view.TelegramId(), 0x0105);
    ASSERT_EQ(view.DataSize(), 3u);
    EXPECT_EQ(view.Data(), wire.data() + 6);
    EXPECT_EQ(view.Checksum(), 0xB7);
    EXPECT_TRUE(view.ChecksumMatches());
}

TEST(TelegramView, JudgesFramesAsParsingDoes) {
    const Bytes good{0x06, 0x00, 0x0A, 0x83, 0x02, 0x00, 0x00, 0x8B};
    Bytes badChecksum = good;
    badChecksum.back() ^= 1;
    Bytes badLength = good;
    badLength[0] = 0x07;
    const Bytes six{0x04, 0x00, 0x0A, 0x83, 0x02, 0x00};
    for (const Bytes& wire : {good, badChecksum, badLength, six}) {
        const TelegramView view(wire.data(), wire.size());
        CKestrixMsg parsed;
        const bool valid = parsed.Parse(wire.data(), wire.size());
        EXPECT_EQ(view.Valid(), valid);
        if (valid) {
            EXPECT_EQ(view.ChecksumMatches(), parsed.Checksum() == parsed.ComputeChecksum());
        }
    }
    EXPECT_FALSE(TelegramView(badChecksum.data(), badChecksum.size()).ChecksumMatches());
    EXPECT_FALSE(TelegramView(nullptr, 0).Valid());
}
