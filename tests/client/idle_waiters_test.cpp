// Callers waiting for their confirmations sleep: no timers, no polling,
// whatever their number.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "KestrixSPI.h"
#include "ProcessResources.h"
#include "TestGateway.h"
#include "telegram/CommandCodes.h"

using namespace kestrix;
using namespace kestrix::test;

TEST(IdleWaiters, SixtyFourCallersWaitingOnASilentGatewayCostNothing) {
    ProcessUsage probe;
    if (!ReadProcessUsage(probe)) GTEST_SKIP() << "no way to measure this process's CPU time";
    constexpr int kCallers = 64;
    constexpr int kTimeoutMs = 3000;
    TestGateway gateway;
    gateway.SetHandler([](Peer&, const CKesMsg&) {});
    int32_t handle = -1;
    ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), kTimeoutMs), RC_OK);
    std::vector<int32_t> results(kCallers, RC_OK);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] { results[static_cast<size_t>(i)] = SPIWriteDigital(handle, 1); });
    }
    ASSERT_TRUE(gateway.WaitFor(spi::kWriteDigital, kCallers, kTimeoutMs / 2));
    // Measured from the moment every caller waits until all have given up.
    ProcessUsage before, after;
    ReadProcessUsage(before);
    const auto start = std::chrono::steady_clock::now();
    for (auto& caller : callers) caller.join();
    ReadProcessUsage(after);
    const auto wallMicros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    SPICloseDevice(handle);

    for (int32_t result : results) EXPECT_EQ(result, RC_TIMEOUT);
    const long long cpu = after.cpuMicroseconds - before.cpuMicroseconds;
    const long long switches = after.contextSwitches - before.contextSwitches;
    std::printf("%d idle callers: %.2f %% of a core, %lld context switches in %.2f s\n", kCallers,
                100.0 * static_cast<double>(cpu) / static_cast<double>(wallMicros), switches,
                static_cast<double>(wallMicros) / 1e6);
    // The process's time includes the test gateway's threads; 0.5-0.7 % of
    // a core on a quiet machine, up to 1 % while other work runs beside.
    // Polling at any useful rate would cost far more than 2 %.
    EXPECT_LT(cpu, wallMicros / 50) << "more than 2 % of a core";
    // Each caller wakes once, at its deadline; the test gateway's own threads
    // look at their sockets every 20 ms, a hundred wake-ups a second. A poll
    // every millisecond per caller would be 64000 a second.
    EXPECT_LT(switches, 2 * kCallers + wallMicros / 10000 + 50);
}
