#pragma once

// A simulator on a loopback address of its own, for the stress and
// fault-catalogue tests.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Simulator.h"
#include "TestGateway.h"

namespace kestrix::test {

// Started at once; program and erase take no time.
inline std::unique_ptr<gateway::Simulator> StartLoopbackSimulator(gateway::SimulatorOptions options = {}) {
    options.device = gateway::DeviceKind::Loopback;
    options.speedFactor = 0;
    std::string error;
    for (int attempt = 0; attempt < 20; ++attempt) {
        options.address = NextLoopbackAddress();
        auto simulator = std::make_unique<gateway::Simulator>(options);
        if (simulator->Start(error)) return simulator;
    }
    ADD_FAILURE() << "no simulator: " << error;
    return nullptr;
}

}  // namespace kestrix::test
