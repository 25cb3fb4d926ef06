// flashrom's serprog protocol as scripted bytes against a recorded bus:
// what flashrom asks at start, SPI operations, and hostile input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SerprogSession.h"

namespace kestrix::test {
namespace {

using cli::SerprogSession;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class RecordingBus : public cli::SerprogBus {
public:
    int32_t Transfer(const Bytes& write, uint32_t readLength, Bytes& read) override {
        frames.push_back(write);
        if (failWith != 0) return failWith;
        // A device that answers each clocked byte with its position in the frame.
        read.clear();
        for (uint32_t i = 0; i < readLength; ++i) read.push_back(static_cast<uint8_t>(write.size() + i));
        return 0;
    }
    int32_t SetClock(uint32_t hz, uint32_t& set) override {
        clock = hz;
        set = hz > 48000000 ? 48000000 : hz;
        return failWith;
    }
    std::string Describe(int32_t code) override { return "code " + std::to_string(code); }

    std::vector<Bytes> frames;
    uint32_t clock = 0;
    int32_t failWith = 0;
};

class SerprogTest : public ::testing::Test {
protected:
    Bytes Send(const Bytes& in) {
        Bytes out;
        session.Feed(in.data(), in.size(), out);
        return out;
    }
    // The same bytes one at a time, as a slow link may deliver them.
    Bytes SendBytewise(const Bytes& in) {
        Bytes out;
        for (uint8_t byte : in) session.Feed(&byte, 1, out);
        return out;
    }

    RecordingBus bus;
    std::vector<std::string> logged;
    SerprogSession session{bus, 65527, [this](const std::string& line) { logged.push_back(line); }};
};

TEST_F(SerprogTest, StartupQueriesGetTheAnswersFlashromChecks) {
    // Sync: NOPs, then SYNCNOP twice.
    EXPECT_EQ(Send(Bytes(8, 0x00)), Bytes(8, kAck));
    EXPECT_EQ(Send({0x10, 0x10}), (Bytes{kNak, kAck, kNak, kAck}));
    EXPECT_EQ(Send({0x01}), (Bytes{kAck, 0x01, 0x00}));
    const Bytes map = Send({0x02});
    ASSERT_EQ(map.size(), 33u);
    EXPECT_EQ(map[0], kAck);
    // 00-05 and 08 in; the operation buffer (0B-0F), 06, 07, 09, 0A out.
    EXPECT_EQ(map[1], 0x3F);
    EXPECT_EQ(map[2], 0x01);
    EXPECT_EQ(map[3], 0x3F);  // 10-15
    for (size_t i = 4; i < map.size(); ++i) EXPECT_EQ(map[i], 0) << i;
    EXPECT_EQ(Send({0x05}), (Bytes{kAck, 0x08}));
    EXPECT_EQ(Send({0x12, 0x08}), (Bytes{kAck}));
    EXPECT_EQ(Send({0x12, 0x01}), (Bytes{kNak}));  // parallel: not here
    // Write and read maxima share one gateway frame.
    const Bytes write = Send({0x08});
    const Bytes read = Send({0x11});
    ASSERT_EQ(write.size(), 4u);
    ASSERT_EQ(read.size(), 4u);
    const uint32_t maxWrite = write[1] | write[2] << 8 | write[3] << 16;
    const uint32_t maxRead = read[1] | read[2] << 8 | read[3] << 16;
    EXPECT_EQ(maxWrite + maxRead, 65527u);
    EXPECT_GE(maxWrite, 260u);  // a page program with its command
    EXPECT_GE(maxRead, 32768u);
    const Bytes name = Send({0x03});
    ASSERT_EQ(name.size(), 17u);
    EXPECT_EQ(std::string(name.begin() + 1, name.begin() + 12), "kestrix-spi");
    EXPECT_EQ(name[16], 0);
    EXPECT_EQ(Send({0x04}), (Bytes{kAck, 0xFF, 0xFF}));
    EXPECT_EQ(Send({0x15, 0x01}), (Bytes{kAck}));
    EXPECT_TRUE(bus.frames.empty());
}

TEST_F(SerprogTest, ClockRequestReportsTheRateSetAndRefusesZero) {
    EXPECT_EQ(Send({0x14, 0x00, 0x2D, 0x31, 0x01}), (Bytes{kAck, 0x00, 0x2D, 0x31, 0x01}));  // 20 MHz
    EXPECT_EQ(bus.clock, 20000000u);
    EXPECT_EQ(Send({0x14, 0x00, 0xE1, 0xF5, 0x05}), (Bytes{kAck, 0x00, 0x6C, 0xDC, 0x02}));  // 100 -> 48 MHz
    EXPECT_EQ(Send({0x14, 0, 0, 0, 0}), (Bytes{kNak}));
    bus.failWith = 0x030000;
    EXPECT_EQ(Send({0x14, 0x40, 0x42, 0x0F, 0x00}), (Bytes{kNak}));
}

TEST_F(SerprogTest, SpiOperationIsOneFrameAnsweringTheBytesAfterTheWrite) {
    // slen 4, rlen 3: 9F 00 00 00 then three bytes read.
    const Bytes op{0x13, 0x04, 0x00, 0x00, 0x03, 0x00, 0x00, 0x9F, 0x01, 0x02, 0x03};
    EXPECT_EQ(Send(op), (Bytes{kAck, 4, 5, 6}));
    ASSERT_EQ(bus.frames.size(), 1u);
    EXPECT_EQ(bus.frames[0], (Bytes{0x9F, 0x01, 0x02, 0x03}));
    // Split into single bytes, with a NOP behind it, the answer is the same.
    EXPECT_EQ(SendBytewise(Concat(op, {0x00})), (Bytes{kAck, 4, 5, 6, kAck}));
    EXPECT_EQ(bus.frames.size(), 2u);
    // Write only, and read only.
    EXPECT_EQ(Send({0x13, 0x01, 0, 0, 0, 0, 0, 0x06}), (Bytes{kAck}));
    EXPECT_EQ(Send({0x13, 0, 0, 0, 0x02, 0, 0}), (Bytes{kAck, 0, 1}));
    EXPECT_EQ(bus.frames.back(), Bytes{});
}

TEST_F(SerprogTest, OversizedOperationIsSkippedWholeAndRefused) {
    // 65527 together is the limit; one more byte is refused, and its
    // 64 KiB of payload must not be taken for commands.
    Bytes fits{0x13, 0x04, 0, 0, 0xF3, 0xFF, 0x00, 0x03, 0, 0, 0};
    const Bytes answer = Send(fits);
    ASSERT_EQ(answer.size(), 1u + 65523u);
    EXPECT_EQ(answer[0], kAck);
    Bytes over{0x13, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};  // slen 65536
    over.insert(over.end(), 65536, 0x10);                  // SYNCNOPs if misread
    over.push_back(0x00);
    EXPECT_EQ(Send(over), (Bytes{kNak, kAck}));
    // An rlen of 16 MiB - 1 with no payload: refused at once.
    EXPECT_EQ(Send({0x13, 0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0x05, 0x00}), (Bytes{kNak, kAck}));
    EXPECT_EQ(bus.frames.size(), 1u);
    EXPECT_EQ(session.FailedOperations(), 2u);
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.back().find("exceeds"), std::string::npos);
}

TEST_F(SerprogTest, FailedTransferIsRefusedWithTheCodeLogged) {
    bus.failWith = 0x030000;
    EXPECT_EQ(Send({0x13, 0x01, 0, 0, 0x01, 0, 0, 0x05, 0x00}), (Bytes{kNak, kAck}));
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.back().find("code 196608"), std::string::npos);
}

TEST_F(SerprogTest, UnlistedCommandsAreRefusedAndTheStreamStaysInStep) {
    // The operation buffer and byte reads are not offered.
    for (uint8_t command : {0x06, 0x07, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x16, 0xFF}) {
        EXPECT_EQ(Send({command}), (Bytes{kNak})) << int{command};
    }
    EXPECT_EQ(Send({0x10}), (Bytes{kNak, kAck}));
}

TEST_F(SerprogTest, SmallGatewayFrameSplitsBetweenWriteAndRead) {
    RecordingBus small;
    SerprogSession tiny(small, 1000, nullptr);
    EXPECT_EQ(tiny.MaxWrite() + tiny.MaxRead(), 1000u);
    EXPECT_EQ(tiny.MaxWrite(), 500u);
}

}  // namespace
}  // namespace kestrix::test
