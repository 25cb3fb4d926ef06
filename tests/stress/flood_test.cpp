// A hostile gateway floods confirmations that nobody asked for, under
// every telegram ID and with large data: the library's memory stays
// bounded, and the caller still gets its own confirmation.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "KestrixSPI.h"
#include "ProcessResources.h"
#include "TestGateway.h"
#include "client/ConfirmationStore.h"
#include "telegram/CommandCodes.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {

constexpr size_t kFloodData = 1000;
// What the store may hold, plus room for the receive buffer, the gateway's
// own send buffers and the bookkeeping of each stored telegram.
constexpr size_t kAllowedGrowth = 12u << 20;

Bytes Echo(const CKesMsg& request) {
    Bytes data{0};
    data.insert(data.end(), request.Data().begin(), request.Data().end());
    return Confirmation(request, data);
}

// Every other ID, in segments of about 64 KiB.
void Flood(Peer& peer, uint16_t exceptId) {
    const Bytes data(kFloodData, 0x5A);
    Bytes segment;
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
        if (id == exceptId) continue;
        const Bytes wire = Wire(spi::kDataReq | 0x8000, static_cast<uint16_t>(id), data);
        segment.insert(segment.end(), wire.begin(), wire.end());
        if (segment.size() >= 64 * 1024) {
            peer.Send(segment);
            segment.clear();
        }
    }
    peer.Send(segment);
}

}  // namespace

TEST(HostileGateway, FloodOfUnaskedConfirmationsKeepsMemoryBoundedAndTheCallersOwn) {
    ProcessResources before;
    if (!ReadProcessResources(before)) GTEST_SKIP() << "no way to measure this process's memory";

    TestGateway gateway;
    std::atomic<bool> flooded{false};
    std::atomic<bool> floodStarted{false};
    gateway.SetHandler([&](Peer& peer, const CKesMsg& request) {
        if (floodStarted.exchange(true)) {
            peer.Send(Echo(request));
            return;
        }
        // The caller's own answer goes first, so that it sits in the store
        // while the flood pours in behind it.
        peer.Send(Echo(request));
        Flood(peer, request.TelegramId());
        flooded = true;
    });
    int32_t handle = -1;
    ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), 20000), RC_OK);
    ReadProcessResources(before);

    std::atomic<size_t> peak{before.heapBytes};
    std::thread sampler([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!flooded.load() && std::chrono::steady_clock::now() < until) {
            ProcessResources now;
            ReadProcessResources(now);
            peak = std::max(peak.load(), now.heapBytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    const char out[3] = {7, 8, 9};
    char in[3] = {};
    EXPECT_EQ(SPIDataReq(handle, out, 3, in, 3), RC_OK);
    EXPECT_TRUE(std::equal(in, in + 3, out));
    sampler.join();
    ASSERT_TRUE(flooded.load());

    // About 64 MiB came in; the store kept no more than its bound of it.
    EXPECT_LT(peak.load() - before.heapBytes, kAllowedGrowth) << "peak growth in bytes";
    // The handle still works, behind the whole flood.
    const char again[2] = {1, 2};
    char back[2] = {};
    EXPECT_EQ(SPIDataReq(handle, again, 2, back, 2), RC_OK);
    EXPECT_TRUE(std::equal(back, back + 2, again));
    EXPECT_EQ(SPICloseDevice(handle), RC_OK);
}

TEST(HostileGateway, AnswerThatArrivesBeforeItsCallerWaitsSurvivesAFlood) {
    // A caller marks its ID before sending; its answer may then be filed
    // and buried under a flood before the caller gets round to looking.
    ConfirmationStore store(64 * 1024);
    const Bytes big(10000, 0xAB);
    std::unique_ptr<CKestrixMsg> answer;
    {
        const ConfirmationStore::Awaiting awaiting(store, 5);
        store.File(std::make_unique<CKestrixMsg>(big.data(), big.size(), 0x8303, 5), std::chrono::steady_clock::now());
        for (uint16_t id = 10; id < 400; ++id) {
            store.File(std::make_unique<CKestrixMsg>(big.data(), big.size(), 0x8303, id), std::chrono::steady_clock::now());
            ASSERT_LE(store.Bytes(), 64u * 1024u);
        }
        answer = store.Take(5);
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Data(), big);
    // Once nobody awaits it, an entry is as expendable as any other.
    store.File(std::make_unique<CKestrixMsg>(big.data(), big.size(), 0x8303, 6), std::chrono::steady_clock::now());
    for (uint16_t id = 10; id < 20; ++id) {
        store.File(std::make_unique<CKestrixMsg>(big.data(), big.size(), 0x8303, id), std::chrono::steady_clock::now());
    }
    EXPECT_EQ(store.Take(6), nullptr);
}
