// Command sequences: sent at once by SPISequenceReq, their answers fetched
// later by telegram ID with SPISequenceGetCnf.

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "commands/CommandTest.h"
#include "client/CKestrixClient.h"
#include "telegram/Telegram.h"

using namespace kestrix;
using namespace kestrix::test;
using Clock = std::chrono::steady_clock;

namespace {
using Sequences = CommandTest;

const char kSequence[] = {'\x01', '\x02', '\x03'};

void Hold(TestGateway& gateway) {
    gateway.SetHandler([](Peer&, const CKesMsg&) {});
}

// Answers each sequence with 00 and the low byte of its telegram ID.
void AnswerWithId(TestGateway& gateway) {
    gateway.SetHandler([](Peer& peer, const CKesMsg& request) {
        peer.Send(Confirmation(request, {0x00, static_cast<uint8_t>(request.TelegramId())}));
    });
}

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}
}  // namespace

TEST_F(Sequences, EachRequestCarriesTheNextIdAndTheBytesUnchanged) {
    Hold(gateway);
    uint16_t first = 0;
    uint16_t second = 0;
    ASSERT_EQ(SPISequenceReq(handle, kSequence, 3, &first), RC_OK);
    ASSERT_EQ(SPISequenceReq(handle, nullptr, 3, &second), RC_OK);
    EXPECT_EQ(second, first + 1);
    // Without somewhere to put it the ID is still used up.
    ASSERT_EQ(SPISequenceReq(handle, kSequence, 2, nullptr), RC_OK);
    uint16_t fourth = 0;
    ASSERT_EQ(SPISequenceReq(handle, kSequence, 0, &fourth), RC_OK);
    EXPECT_EQ(fourth, first + 3);

    ASSERT_TRUE(gateway.WaitFor(spi::kSequence, 4, 1000));
    const auto requests = gateway.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].CommandCode(), 0x0314);
    EXPECT_EQ(requests[0].TelegramId(), first);
    EXPECT_EQ(requests[0].Data(), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(requests[1].TelegramId(), second);
    EXPECT_TRUE(requests[1].Data().empty());
    EXPECT_EQ(requests[2].Data(), (Bytes{0x01, 0x02}));
    EXPECT_TRUE(requests[3].Data().empty());
}

TEST_F(Sequences, AnswersAreFetchedInAnyOrderAndOnlyOnce) {
    AnswerWithId(gateway);
    uint16_t first = 0;
    uint16_t second = 0;
    ASSERT_EQ(SPISequenceReq(handle, kSequence, 3, &first), RC_OK);
    ASSERT_EQ(SPISequenceReq(handle, kSequence, 3, &second), RC_OK);

    MarkedBuffer answer;
    EXPECT_EQ(SPISequenceGetCnf(handle, second, answer.bytes, 4), RC_OK);
    EXPECT_EQ(answer.bytes[0], static_cast<char>(second & 0xFF));
    EXPECT_EQ(SPISequenceGetCnf(handle, first, answer.bytes, 4), RC_OK);
    EXPECT_EQ(answer.bytes[0], static_cast<char>(first & 0xFF));

    const auto start = Clock::now();
    EXPECT_EQ(SPISequenceGetCnf(handle, second, answer.bytes, 4), RC_TIMEOUT);
    EXPECT_GE(MsSince(start), kTimeoutMs - 20);
    EXPECT_EQ(SPISequenceGetCnf(handle, static_cast<uint16_t>(second + 50), answer.bytes, 4), RC_TIMEOUT);
}

TEST_F(Sequences, SeveralOutstandingSequencesEachGetTheirOwnAnswer) {
    Hold(gateway);
    constexpr int kCount = 4;
    uint16_t ids[kCount] = {};
    for (uint16_t& id : ids) ASSERT_EQ(SPISequenceReq(handle, kSequence, 3, &id), RC_OK);
    ASSERT_TRUE(gateway.WaitFor(spi::kSequence, kCount, 1000));

    int32_t results[kCount] = {};
    MarkedBuffer answers[kCount];
    std::vector<std::thread> fetchers;
    for (int i = 0; i < kCount; ++i) {
        fetchers.emplace_back(
            [&, i] { results[i] = SPISequenceGetCnf(handle, ids[i], answers[i].bytes, 4); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto peer = gateway.LatestPeer();
    ASSERT_NE(peer, nullptr);
    for (int i = kCount - 1; i >= 0; --i) {
        peer->Send(Wire(ConfirmationCode(spi::kSequence), ids[i], {0x00, static_cast<uint8_t>(0xA0 + i)}));
    }
    for (auto& t : fetchers) t.join();
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(results[i], RC_OK) << "sequence " << i;
        EXPECT_EQ(answers[i].Get(), (Bytes{static_cast<uint8_t>(0xA0 + i), 0x5A, 0x5A, 0x5A}))
            << "sequence " << i;
    }
}

TEST_F(Sequences, AnswerDataIsCopiedUpToTheBufferSizeWhateverTheResultByte) {
    struct Case {
        Bytes data;
        uint16_t bufferSize;
        bool withBuffer;
        int32_t result;
        Bytes expected;
    };
    const Case cases[] = {
        {{0x00, 0xAA, 0xBB}, 1, true, RC_OK, {0xAA, 0x5A, 0x5A, 0x5A}},
        {{0x00, 0xAA, 0xBB}, 4, true, RC_OK, {0xAA, 0xBB, 0x5A, 0x5A}},
        {{0x00, 0xAA, 0xBB}, 4, false, RC_OK, kUntouched},
        {{0x00, 0xAA, 0xBB}, 0, true, RC_OK, kUntouched},
        {{0x30}, 4, true, RC_SPI_SEQ_BAD_OPCODE, kUntouched},
        {{0x31, 0xAA}, 4, true, RC_SPI_SEQ_TIMEOUT, {0xAA, 0x5A, 0x5A, 0x5A}},
        {{}, 4, true, RC_BAD_CONFIRMATION | 0x0300, kUntouched},
    };
    for (const Case& c : cases) {
        Answer(c.data);
        uint16_t id = 0;
        ASSERT_EQ(SPISequenceReq(handle, kSequence, 3, &id), RC_OK);
        MarkedBuffer answer;
        EXPECT_EQ(SPISequenceGetCnf(handle, id, c.withBuffer ? answer.bytes : nullptr, c.bufferSize),
                  c.result)
            << "answer of " << c.data.size() << " bytes";
        EXPECT_EQ(answer.Get(), c.expected) << "answer of " << c.data.size() << " bytes";
    }
}

TEST_F(Sequences, SpoiledAnswerIsReportedAndUsedUp) {
    for (Fault fault : {Fault::BadChecksum, Fault::WrongCode}) {
        AnswerBadly(fault, {0x00, 0xAA, 0xBB});
        uint16_t id = 0;
        ASSERT_EQ(SPISequenceReq(handle, kSequence, 3, &id), RC_OK);
        MarkedBuffer answer;
        EXPECT_EQ(SPISequenceGetCnf(handle, id, answer.bytes, 4), ResultOf(fault));
        EXPECT_EQ(answer.Get(), kUntouched);
        EXPECT_EQ(SPISequenceGetCnf(handle, id, answer.bytes, 4), RC_TIMEOUT);
    }
}

TEST_F(Sequences, OverlongSequenceIsRefusedBeforeSending) {
    std::vector<char> big(kMaxTelegramData + 1, '\x01');
    uint16_t id = 0xBEEF;
    EXPECT_EQ(SPISequenceReq(handle, big.data(), static_cast<uint16_t>(big.size()), &id), RC_BAD_PARAMETER);
    EXPECT_EQ(id, 0xBEEF);
    ExpectNothingSentYet();
}

TEST_F(Sequences, FailedSendStillHandsOutTheId) {
    gateway.SetHandler([](Peer& peer, const CKesMsg&) { peer.Close(); });
    EXPECT_EQ(SPIWriteDigital(handle, 1), RC_NOT_CONNECTED);
    uint16_t id = 0xBEEF;
    EXPECT_EQ(SPISequenceReq(handle, kSequence, 3, &id), RC_NOT_CONNECTED);
    EXPECT_EQ(id, 3);
}

TEST_F(Sequences, AnswerArrivingAfterAFetchTimedOutIsKeptForTheNextFetch) {
    std::atomic<bool> first{true};
    gateway.SetHandler([&first](Peer& peer, const CKesMsg& request) {
        if (first.exchange(false)) std::this_thread::sleep_for(std::chrono::milliseconds(3 * kTimeoutMs / 2));
        peer.Send(Confirmation(request, {0x00, 0xAA, 0xBB}));
    });
    uint16_t late = 0;
    ASSERT_EQ(SPISequenceReq(handle, kSequence, 3, &late), RC_OK);
    MarkedBuffer left;
    EXPECT_EQ(SPISequenceGetCnf(handle, late, left.bytes, 4), RC_TIMEOUT);
    // A second sequence, answered at once, behind the late answer.
    uint16_t next = 0;
    ASSERT_EQ(SPISequenceReq(handle, kSequence, 3, &next), RC_OK);
    MarkedBuffer answer;
    EXPECT_EQ(SPISequenceGetCnf(handle, next, answer.bytes, 4), RC_OK);
    EXPECT_EQ(left.Get(), kUntouched);
    // The late answer was filed for whoever fetches it.
    EXPECT_EQ(SPISequenceGetCnf(handle, late, answer.bytes, 4), RC_OK);
    EXPECT_EQ(answer.Get(), (Bytes{0xAA, 0xBB, 0x5A, 0x5A}));
}

// Telegram IDs come round again within a second against a fast gateway,
// while an uncollected answer stays filed for ten time-outs. The counter is
// wound on without sending, so that the test costs nothing under emulators.
TEST(SequenceIds, AnswerLeftUncollectedIsNotHandedToTheNextSequenceWithItsId) {
    TestGateway gateway;
    std::atomic<bool> answered{false};
    gateway.SetHandler([&](Peer& peer, const CKesMsg& request) {
        if (!answered.exchange(true)) peer.Send(Confirmation(request, {0x00, 0xAA}));
    });
    CKestrixClientSPI client(kDeviceTypeSpi, 150);
    ASSERT_EQ(client.Connect(gateway.Address().c_str(), 5002), RC_OK);
    client.Initialize();
    uint16_t old = 0;
    ASSERT_EQ(client.SequenceReq(reinterpret_cast<const uint8_t*>(kSequence), 3, &old), RC_OK);
    ASSERT_TRUE(gateway.WaitFor(spi::kSequence, 1, 1000));
    const auto filed = Clock::now();
    while (client.Store().Count() == 0 && MsSince(filed) < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(client.Store().Count(), 1u);
    for (int i = 0; i < 0xFFFF; ++i) client.NextTelegramId();
    uint16_t id = 0;
    ASSERT_EQ(client.SequenceReq(nullptr, 0, &id), RC_OK);
    ASSERT_EQ(id, old);
    uint8_t buffer[2] = {};
    EXPECT_EQ(client.SequenceGetCnf(id, buffer, 2), RC_TIMEOUT);
    EXPECT_EQ(buffer[0], 0x00);
}

// A pipeline that keeps the store full looks at the ages only now and then,
// yet an answer left uncollected still goes once ten time-outs, in whole
// seconds, have passed, and a young one stays.
TEST(SequenceAges, UncollectedAnswerGoesAfterTenTimeOutsWhileOthersAreCollected) {
    TestGateway gateway;
    AnswerWithId(gateway);
    CKestrixClientSPI client(kDeviceTypeSpi, 100);
    ASSERT_EQ(client.Connect(gateway.Address().c_str(), 5002), RC_OK);
    client.Initialize();
    uint16_t left = 0;
    const auto sent = Clock::now();
    ASSERT_EQ(client.SequenceReq(reinterpret_cast<const uint8_t*>(kSequence), 3, &left), RC_OK);
    auto collectOne = [&] {
        uint16_t id = 0;
        uint8_t buffer[1] = {};
        ASSERT_EQ(client.SequenceReq(nullptr, 0, &id), RC_OK);
        ASSERT_EQ(client.SequenceGetCnf(id, buffer, 1), RC_OK);
        EXPECT_EQ(buffer[0], static_cast<uint8_t>(id));
    };
    // Answers come in order: the one left behind is filed by now.
    collectOne();
    const auto filed = Clock::now();
    while (MsSince(sent) < 700) collectOne();
    EXPECT_EQ(client.Store().Count(), 1u);
    while (MsSince(filed) < 1100) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    collectOne();
    EXPECT_EQ(client.Store().Count(), 0u);
    uint8_t buffer[1] = {};
    EXPECT_EQ(client.SequenceGetCnf(left, buffer, 1), RC_TIMEOUT);
}

// A caller's wait leaves a receive time-out on the socket; the receive
// thread, reading later without a deadline, sees it pass again and again
// while the gateway is quiet, and must keep the connection.
TEST(SequenceWaits, QuietGatewayAfterATimedOutFetchKeepsTheConnection) {
    TestGateway gateway;
    Hold(gateway);
    CKestrixClientSPI client(kDeviceTypeSpi, 150);
    ASSERT_EQ(client.Connect(gateway.Address().c_str(), 5002), RC_OK);
    client.Initialize();
    uint16_t id = 0;
    uint8_t buffer[1] = {};
    ASSERT_EQ(client.SequenceReq(reinterpret_cast<const uint8_t*>(kSequence), 3, &id), RC_OK);
    EXPECT_EQ(client.SequenceGetCnf(id, buffer, 1), RC_TIMEOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    AnswerWithId(gateway);
    ASSERT_EQ(client.SequenceReq(nullptr, 0, &id), RC_OK);
    EXPECT_EQ(client.SequenceGetCnf(id, buffer, 1), RC_OK);
    EXPECT_EQ(buffer[0], static_cast<uint8_t>(id));
}
