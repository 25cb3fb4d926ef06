// Load on the library: many threads on one handle, many handles at once,
// and long open/close runs that must leave nothing behind.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "KestrixSPI.h"
#include "ProcessResources.h"
#include "SimulatorGateway.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {

// Distinct bytes for every (thread, call), so that an answer delivered to
// the wrong caller shows.
void FillPattern(char* out, size_t size, int thread, int call) {
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(thread * 31 + call * 7 + static_cast<int>(i) * 13);
    std::memcpy(out, &call, sizeof(call));
    out[4] = static_cast<char>(thread);
}

// Echoes `calls` transfers of `size` bytes; the number that failed or came
// back with someone else's data.
int EchoCalls(int32_t handle, int thread, int calls, size_t size) {
    std::vector<char> out(size);
    std::vector<char> in(size);
    int wrong = 0;
    for (int call = 0; call < calls; ++call) {
        FillPattern(out.data(), size, thread, call);
        std::fill(in.begin(), in.end(), 0);
        const int32_t result = SPIDataReq(handle, out.data(), static_cast<uint16_t>(size), in.data(),
                                          static_cast<uint16_t>(size));
        if (result != RC_OK || in != out) ++wrong;
    }
    return wrong;
}

// The number of cycles of the long open/close run; the leak checker runs
// a shorter one.
int CycleCount() {
    if (const char* text = std::getenv("KESTRIX_TEST_CYCLES")) return std::atoi(text);
    return 2000;
}

// Polls until `done` holds or the limit passes.
template <typename Condition>
bool Eventually(Condition done, int limitMs = 3000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

TEST(Stress, SixteenThreadsSharingOneHandleEachGetTheirOwnData) {
    auto simulator = StartLoopbackSimulator();
    ASSERT_TRUE(simulator);
    int32_t handle = -1;
    ASSERT_EQ(SPIOpenDevice(&handle, simulator->Endpoint().c_str(), 10000), RC_OK);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&, t] { wrong += EchoCalls(handle, t, 2000, 8 + static_cast<size_t>(t)); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(SPICloseDevice(handle), RC_OK);
}

TEST(Stress, SixtyFourHandlesWorkInParallel) {
    gateway::SimulatorOptions options;
    options.maxConnections = 64;
    auto simulator = StartLoopbackSimulator(options);
    ASSERT_TRUE(simulator);
    const std::string endpoint = simulator->Endpoint();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 64; ++t) {
        threads.emplace_back([&, t] {
            int32_t handle = -1;
            if (SPIOpenDevice(&handle, endpoint.c_str(), 10000) != RC_OK) {
                ++failures;
                return;
            }
            failures += EchoCalls(handle, t, 100, 32);
            if (SPICloseDevice(handle) != RC_OK) ++failures;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(Stress, OpenCloseCyclesLeaveNoDescriptorThreadOrMemoryBehind) {
    auto simulator = StartLoopbackSimulator();
    ASSERT_TRUE(simulator);
    const std::string endpoint = simulator->Endpoint();
    auto cycle = [&endpoint] {
        int32_t handle = -1;
        ASSERT_EQ(SPIOpenDevice(&handle, endpoint.c_str(), 5000), RC_OK);
        char out[4] = {1, 2, 3, 4};
        char in[4] = {};
        ASSERT_EQ(SPIDataReq(handle, out, 4, in, 4), RC_OK);
        ASSERT_EQ(SPICloseDevice(handle), RC_OK);
    };
    // Warm-up: whatever is set up once per process is in place before the count.
    for (int i = 0; i < 20; ++i) ASSERT_NO_FATAL_FAILURE(cycle());
    ProcessResources before;
    if (!ReadProcessResources(before)) GTEST_SKIP() << "no way to count this process's resources";
    // The simulator's thread for the last client may still be ending.
    ASSERT_TRUE(Eventually([&] {
        ProcessResources now;
        ReadProcessResources(now);
        before = now;
        return simulator->Stats().clientsConnected == 0;
    }));

    const int cycles = CycleCount();
    for (int i = 0; i < cycles; ++i) ASSERT_NO_FATAL_FAILURE(cycle());

    ProcessResources after;
    const bool settled = Eventually([&] {
        ReadProcessResources(after);
        return after.descriptors <= before.descriptors && after.threads <= before.threads &&
               after.heapBytes <= before.heapBytes + 16 * 1024;
    });
    EXPECT_TRUE(settled) << "descriptors " << before.descriptors << " -> " << after.descriptors << ", threads "
                         << before.threads << " -> " << after.threads << ", heap bytes " << before.heapBytes
                         << " -> " << after.heapBytes << " after " << cycles << " cycles";
}
