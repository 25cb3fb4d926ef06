// Request and confirmation exchange: checks on the confirmation, reassembly
// of the stream, the store's age-out and bound, and one handle shared by
// several threads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "KestrixSPI.h"
#include "TestGateway.h"
#include "client/ConfirmationStore.h"
#include "telegram/CommandCodes.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {
class ExchangeTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (handle > 0) SPICloseDevice(handle);
    }
    void Open(int32_t timeoutMs = 300) {
        ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), timeoutMs), RC_OK);
    }
    // Answers every transfer with `reply(request)`.
    void Reply(std::function<Bytes(const CKesMsg&)> reply) {
        gateway.SetHandler([reply](Peer& peer, const CKesMsg& request) { peer.Send(reply(request)); });
    }
    int32_t Transfer(Bytes* read = nullptr) {
        char out[4] = {1, 2, 3, 4};
        char in[64] = {};
        const int32_t result = SPIDataReq(handle, out, 4, in, read ? static_cast<uint16_t>(read->size()) : 0);
        if (read) std::copy_n(in, read->size(), read->begin());
        return result;
    }

    TestGateway gateway;
    int32_t handle = -1;
};

Bytes Echo(const CKesMsg& request) {
    Bytes data{0};
    data.insert(data.end(), request.Data().begin(), request.Data().end());
    return Confirmation(request, data);
}
}  // namespace

TEST_F(ExchangeTest, ConfirmationFaultsGiveTheirResultCodes) {
    Open();
    Reply([](const CKesMsg&) { return Bytes{}; });
    EXPECT_EQ(Transfer(), RC_TIMEOUT);

    Reply([](const CKesMsg& r) {
        Bytes wire = Confirmation(r, {0});
        wire.back() ^= 0x40;
        return wire;
    });
    EXPECT_EQ(Transfer(), RC_BAD_CHECKSUM);

    Reply([](const CKesMsg& r) { return Wire(0x8308, r.TelegramId(), {0}); });
    EXPECT_EQ(Transfer(), RC_NOT_CONFIRMED);

    Reply([](const CKesMsg& r) { return Confirmation(r, {}); });
    EXPECT_EQ(Transfer(), 0x0C0300);

    Reply([](const CKesMsg& r) { return Confirmation(r, {0xFF}); });
    EXPECT_EQ(Transfer(), 0x03FF);

    // A telegram too short to be a confirmation is dropped unseen.
    Reply([](const CKesMsg&) { return Bytes{0x04, 0x00, 0x03, 0x83, 0x02, 0x00}; });
    EXPECT_EQ(Transfer(), RC_TIMEOUT);
}

TEST_F(ExchangeTest, LateConfirmationIsNotMistakenForTheNextOne) {
    Open(100);
    // The first request is answered only together with the second.
    gateway.SetHandler([](Peer& peer, const CKesMsg& r) {
        if (r.TelegramId() == 2) return;
        Bytes late = Wire(ConfirmationCode(r.CommandCode()), 2, {0x21, 9, 9, 9, 9});
        const Bytes mine = Echo(r);
        late.insert(late.end(), mine.begin(), mine.end());
        peer.Send(late);
    });
    EXPECT_EQ(Transfer(), RC_TIMEOUT);
    Bytes read(4);
    EXPECT_EQ(Transfer(&read), RC_OK);
    EXPECT_EQ(read, (Bytes{1, 2, 3, 4}));
}

TEST_F(ExchangeTest, StreamIsReassembledHoweverItArrives) {
    Open(1000);
    Bytes read(4);
    gateway.SetHandler([](Peer& peer, const CKesMsg& r) { peer.SendChunks(Echo(r), 1, 2); });
    EXPECT_EQ(Transfer(&read), RC_OK);
    EXPECT_EQ(read, (Bytes{1, 2, 3, 4}));

    gateway.SetHandler([](Peer& peer, const CKesMsg& r) { peer.SendChunks(Echo(r), 9, 20); });
    EXPECT_EQ(Transfer(&read), RC_OK);

    // A stray short telegram and an unrelated confirmation in the same
    // segment as the real one.
    gateway.SetHandler([](Peer& peer, const CKesMsg& r) {
        Bytes stream{0x04, 0x00, 0x03, 0x83, 0x00, 0x00};
        const Bytes other = Wire(0x8303, static_cast<uint16_t>(r.TelegramId() + 100), {0, 9});
        stream.insert(stream.end(), other.begin(), other.end());
        const Bytes mine = Echo(r);
        stream.insert(stream.end(), mine.begin(), mine.end());
        peer.Send(stream);
    });
    EXPECT_EQ(Transfer(&read), RC_OK);
    EXPECT_EQ(read, (Bytes{1, 2, 3, 4}));
}

TEST_F(ExchangeTest, LargeConfirmationArrivesWhole) {
    Open(2000);
    gateway.SetHandler([](Peer& peer, const CKesMsg& r) {
        Bytes data(60001);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
        data[0] = 0;
        peer.SendChunks(Confirmation(r, data), 4000, 1);
    });
    std::vector<char> read(60000);
    ASSERT_EQ(SPIDataReq(handle, nullptr, 0, read.data(), static_cast<uint16_t>(read.size())), RC_OK);
    for (size_t i = 0; i < read.size(); ++i)
        ASSERT_EQ(static_cast<uint8_t>(read[i]), static_cast<uint8_t>((i + 1) * 13));
}

TEST_F(ExchangeTest, UncollectedConfirmationsAgeOut) {
    // Below 100 ms the age limit is the time-out itself.
    Open(50);
    Reply(Echo);
    uint16_t id = 0;
    ASSERT_EQ(SPISequenceReq(handle, "\x01", 1, &id), RC_OK);
    ASSERT_TRUE(gateway.WaitFor(spi::kSequence, 1, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(Transfer(), RC_OK);
    EXPECT_EQ(SPISequenceGetCnf(handle, id, nullptr, 0), RC_TIMEOUT);
}

TEST_F(ExchangeTest, ConfirmationsSurviveWithinTenTimeouts) {
    Open(300);
    Reply(Echo);
    uint16_t id = 0;
    ASSERT_EQ(SPISequenceReq(handle, "\x07", 1, &id), RC_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Transfer(), RC_OK);
    char answer = 0;
    EXPECT_EQ(SPISequenceGetCnf(handle, id, &answer, 1), RC_OK);
    EXPECT_EQ(answer, 7);
}

TEST_F(ExchangeTest, ThreadsSharingAHandleEachGetTheirOwnConfirmation) {
    Open(2000);
    gateway.SetHandler([](Peer& peer, const CKesMsg& r) {
        // Answer out of order now and then.
        if (r.TelegramId() % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
        peer.Send(Echo(r));
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                const char out[3] = {static_cast<char>(t), static_cast<char>(i), static_cast<char>(t ^ i)};
                char in[3] = {};
                if (SPIDataReq(handle, out, 3, in, 3) != RC_OK || std::memcmp(in, out, 3) != 0) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    // Every request carried its own telegram ID.
    std::set<uint16_t> ids;
    for (const CKesMsg& r : gateway.Requests()) ids.insert(r.TelegramId());
    EXPECT_EQ(ids.size(), 6u * 150u);
}

TEST(ConfirmationStoreBound, FloodDropsOldestUnawaitedEntriesButKeepsAwaitedOnes) {
    ConfirmationStore store(64 * 1024);
    const Bytes big(10000, 0xAB);
    const ConfirmationStore::Awaiting awaiting(store, 3);
    store.File(std::make_unique<CKestrixMsg>(big.data(), big.size(), 0x8314, 3),
               std::chrono::steady_clock::now());
    store.File(std::make_unique<CKestrixMsg>(big.data(), big.size(), 0x8314, 2),
               std::chrono::steady_clock::now());
    for (uint16_t id = 10; id < 400; ++id) {
        store.File(std::make_unique<CKestrixMsg>(big.data(), big.size(), 0x8314, id),
                   std::chrono::steady_clock::now());
        EXPECT_LE(store.Bytes(), 64u * 1024u + big.size() + ConfirmationStore::kEntryOverhead);
    }
    EXPECT_EQ(store.Take(2), nullptr);
    EXPECT_NE(store.Take(399), nullptr);
    const std::unique_ptr<CKestrixMsg> awaited = store.Take(3);
    ASSERT_TRUE(awaited);
    EXPECT_EQ(awaited->TelegramId(), 3);
}

TEST(ConfirmationStoreAge, OnlyEntriesOlderThanTheLimitGoAndTheRestKeepTheirAnswers) {
    ConfirmationStore store;
    const ConfirmationStore::Stamp first = std::chrono::steady_clock::now();
    ConfirmationStore::Stamp stamp = first;
    // Filed a second apart, oldest first, one of them taken in between.
    for (uint16_t id = 1; id <= 5; ++id) {
        store.File(std::make_unique<CKestrixMsg>(nullptr, 0, 0x8314, id), stamp);
        stamp += std::chrono::seconds(1);
    }
    ASSERT_NE(store.Take(2), nullptr);
    const ConfirmationStore::Stamp limit = first + std::chrono::seconds(3);
    store.RemoveReceivedBefore(limit);
    EXPECT_EQ(store.Count(), 2u);
    EXPECT_EQ(store.Take(3), nullptr);
    EXPECT_NE(store.Take(4), nullptr);
    EXPECT_NE(store.Take(5), nullptr);
    // Filed again after the pass, an ID starts a new age.
    store.File(std::make_unique<CKestrixMsg>(nullptr, 0, 0x8314, 1), limit);
    store.RemoveReceivedBefore(limit);
    EXPECT_NE(store.Take(1), nullptr);
    EXPECT_EQ(store.Bytes(), 0u);
}
