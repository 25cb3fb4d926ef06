// Answers copied into place: what the reader does with a confirmation that
// a caller waits for with a buffer of its own.

#include <gtest/gtest.h>

#include "KestrixSPI.h"
#include "TestGateway.h"
#include "client/AnswerWaiter.h"
#include "telegram/CommandCodes.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {
constexpr uint16_t kId = 0x1234;
const uint16_t kCode = ConfirmationCode(spi::kDataReq);

struct Buffer {
    uint8_t bytes[4] = {0x5A, 0x5A, 0x5A, 0x5A};
    Bytes Get() const { return Bytes(bytes, bytes + sizeof(bytes)); }
};
const Bytes kUntouched{0x5A, 0x5A, 0x5A, 0x5A};

bool Offer(WaitRoom& room, const Bytes& wire) {
    return room.Offer(kId, wire.data(), static_cast<uint16_t>(wire.size()));
}
}  // namespace

TEST(AnswerWaiter, CopiesTheAnswerOnceChecksPassAndNothingOtherwise) {
    Buffer buffer;
    AnswerWaiter good(kId, kCode, buffer.bytes, 3);
    good.Accept(Wire(kCode, kId, {0x21, 0x11, 0x22, 0x33, 0x44}).data(), 12);
    EXPECT_EQ(good.Verdict(), RC_OK);
    EXPECT_EQ(good.ResultByte(), 0x21);
    EXPECT_EQ(good.DataSize(), 5u);
    EXPECT_EQ(buffer.Get(), (Bytes{0x11, 0x22, 0x33, 0x5A}));

    Bytes spoiled = Wire(kCode, kId, {0x00, 0x11});
    spoiled.back() ^= 1;
    Buffer untouched;
    AnswerWaiter badChecksum(kId, kCode, untouched.bytes, 4);
    badChecksum.Accept(spoiled.data(), static_cast<uint16_t>(spoiled.size()));
    EXPECT_EQ(badChecksum.Verdict(), RC_BAD_CHECKSUM);
    AnswerWaiter wrongCode(kId, kCode, untouched.bytes, 4);
    const Bytes other = Wire(ConfirmationCode(spi::kSequence), kId, {0x00, 0x11});
    wrongCode.Accept(other.data(), static_cast<uint16_t>(other.size()));
    EXPECT_EQ(wrongCode.Verdict(), RC_NOT_CONFIRMED);
    EXPECT_EQ(untouched.Get(), kUntouched);

    // No place to copy to: the verdict all the same.
    AnswerWaiter noBuffer(kId, kCode, nullptr, 0);
    const Bytes empty = Wire(kCode, kId, {});
    noBuffer.Accept(empty.data(), static_cast<uint16_t>(empty.size()));
    EXPECT_EQ(noBuffer.Verdict(), RC_OK);
    EXPECT_EQ(noBuffer.DataSize(), 0u);
}

TEST(AnswerWaiter, FirstOfferWinsAndWithdrawingEndsTheOffers) {
    WaitRoom room;
    room.Open();
    Buffer buffer;
    AnswerWaiter waiter(kId, kCode, buffer.bytes, 4);
    {
        const WaitRoom::Stay stay(room, waiter);
        EXPECT_TRUE(Offer(room, Wire(kCode, kId, {0x00, 0x01})));
        // A second confirmation for the same ID finds the place taken; it
        // is for the store.
        EXPECT_FALSE(Offer(room, Wire(kCode, kId, {0x00, 0x02})));
        EXPECT_TRUE(room.Withdraw(waiter));
    }
    EXPECT_EQ(buffer.Get(), (Bytes{0x01, 0x5A, 0x5A, 0x5A}));

    Buffer late;
    AnswerWaiter gaveUp(kId, kCode, late.bytes, 4);
    {
        const WaitRoom::Stay stay(room, gaveUp);
        EXPECT_FALSE(room.Withdraw(gaveUp));
        EXPECT_FALSE(Offer(room, Wire(kCode, kId, {0x00, 0x03})));
    }
    // Gone from the room: nothing reaches it any more.
    EXPECT_FALSE(Offer(room, Wire(kCode, kId, {0x00, 0x04})));
    EXPECT_EQ(late.Get(), kUntouched);
}

TEST(AnswerWaiter, WaiterWithoutAPlaceIsOnlyWokenForTheStore) {
    WaitRoom room;
    room.Open();
    Waiter plain(kId);
    const WaitRoom::Stay stay(room, plain);
    EXPECT_FALSE(Offer(room, Wire(kCode, kId, {0x00})));
    EXPECT_FALSE(room.Withdraw(plain));
}
