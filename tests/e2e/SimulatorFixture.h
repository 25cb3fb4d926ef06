#pragma once

// Runs the library against an in-process gateway simulator on a loopback
// address of its own.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KestrixSPI.h"
#include "Simulator.h"
#include "support/TestGateway.h"

namespace kestrix::test {

using Bytes = std::vector<uint8_t>;

class SimulatorTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int32_t handle : m_handles) SPICloseDevice(handle);
        m_simulator.reset();
    }

    // Starts a simulator; program and erase are instant unless the options say otherwise.
    void StartSimulator(gateway::SimulatorOptions options = Instant()) {
        std::string error;
        for (int attempt = 0; attempt < 20; ++attempt) {
            options.address = NextLoopbackAddress();
            m_simulator = std::make_unique<gateway::Simulator>(options);
            if (m_simulator->Start(error)) return;
        }
        FAIL() << error;
    }

    static gateway::SimulatorOptions Instant() {
        gateway::SimulatorOptions options;
        options.speedFactor = 0;
        return options;
    }

    int32_t TryOpen(int32_t& handle, int32_t timeoutMs = 1000) {
        const int32_t result = SPIOpenDevice(&handle, m_simulator->Endpoint().c_str(), timeoutMs);
        if (result == RC_OK) m_handles.push_back(handle);
        return result;
    }

    int32_t Open(int32_t timeoutMs = 1000) {
        int32_t handle = -1;
        EXPECT_EQ(TryOpen(handle, timeoutMs), RC_OK);
        return handle;
    }

    // One SPI transfer; the bytes read, as many as were written.
    static Bytes Transfer(int32_t handle, const Bytes& out, int32_t* result = nullptr) {
        Bytes in(out.size(), 0xEE);
        const int32_t rc =
            SPIDataReq(handle, reinterpret_cast<const char*>(out.data()), static_cast<uint16_t>(out.size()),
                       reinterpret_cast<char*>(in.data()), static_cast<uint16_t>(in.size()));
        if (result != nullptr) *result = rc;
        EXPECT_TRUE(result != nullptr || rc == RC_OK) << std::hex << rc;
        return in;
    }

    // Polls until `done` holds or `limitMs` passes.
    template <typename Condition>
    static bool Eventually(Condition done, int limitMs = 2000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    std::unique_ptr<gateway::Simulator> m_simulator;
    std::vector<int32_t> m_handles;
};

}  // namespace kestrix::test
