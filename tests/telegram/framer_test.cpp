#include <gtest/gtest.h>

#include "telegram/CKestrixMsg.h"
#include "telegram/TelegramFramer.h"

using namespace kestrix;
using Bytes = std::vector<uint8_t>;

namespace {
Bytes Telegram(uint16_t id, size_t dataSize) {
    Bytes data(dataSize);
    for (size_t i = 0; i < dataSize; ++i) data[i] = static_cast<uint8_t>(i * 7 + id);
    return CKestrixMsg(data.data(), data.size(), 0x8303, id).Serialize();
}

struct Collector {
    std::vector<Bytes> telegrams;
    void operator()(const uint8_t* bytes, uint16_t size) { telegrams.emplace_back(bytes, bytes + size); }
};

// Receives `stream` in pieces of the given sizes, as a socket might deliver it.
std::vector<Bytes> Frame(const Bytes& stream, const std::vector<size_t>& pieces) {
    TelegramFramer framer;
    Collector collect;
    size_t at = 0;
    for (size_t piece : pieces) {
        while (piece > 0) {
            const size_t n = std::min(piece, framer.ReceiveSize());
            std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), n, framer.ReceiveSpace());
            EXPECT_EQ(framer.Commit(n, collect), TelegramFramer::Status::Ok);
            at += n;
            piece -= n;
        }
    }
    return collect.telegrams;
}
}  // namespace

TEST(Framing, TwoTelegramsInOneReceiveAreDispatchedInOrder) {
    const Bytes a = Telegram(2, 3), b = Telegram(3, 0);
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    const auto got = Frame(stream, {stream.size()});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], a);
    EXPECT_EQ(got[1], b);
}

TEST(Framing, TelegramSplitAfterFirstByteIsDispatchedOnce) {
    const Bytes a = Telegram(2, 5);
    const auto got = Frame(a, {1, a.size() - 1});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], a);
}

TEST(Framing, TelegramSplitInsideItsDataWaitsForTheRest) {
    const Bytes a = Telegram(2, 100), b = Telegram(3, 1);
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    const auto got = Frame(stream, {50, 3, stream.size() - 53});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], a);
    EXPECT_EQ(got[1], b);
}

TEST(Framing, LargestTelegramsBackToBackSurviveAnyChunking) {
    const Bytes a = Telegram(2, 65528), b = Telegram(3, 60000), c = Telegram(4, 1);
    Bytes stream = c;
    for (const Bytes* t : {&a, &b, &c, &a}) stream.insert(stream.end(), t->begin(), t->end());
    for (size_t chunk : {1u, 7u, 4096u, 65537u, 70000u}) {
        std::vector<size_t> pieces;
        for (size_t at = 0; at < stream.size(); at += chunk) pieces.push_back(std::min(chunk, stream.size() - at));
        const auto got = Frame(stream, pieces);
        ASSERT_EQ(got.size(), 5u) << "chunk " << chunk;
        EXPECT_EQ(got[1], a);
        EXPECT_EQ(got[2], b);
        EXPECT_EQ(got[4], a);
    }
}

TEST(Framing, ShortTelegramIsHandedOnWithItsOwnLength) {
    const Bytes six{0x04, 0x00, 0x03, 0x83, 0x02, 0x00};
    const auto got = Frame(six, {six.size()});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], six);
}

TEST(Framing, ImpossibleLengthFieldStopsTheStream) {
    for (uint8_t low : {0xFE, 0xFF}) {
        TelegramFramer framer;
        const Bytes bad{low, 0xFF, 0x03, 0x83, 0, 0, 0};
        std::copy(bad.begin(), bad.end(), framer.ReceiveSpace());
        EXPECT_EQ(framer.Commit(bad.size(), [](const uint8_t*, uint16_t) { FAIL(); }),
                  TelegramFramer::Status::ImpossibleLength);
    }
}
