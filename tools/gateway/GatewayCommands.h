#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "telegram/Telegram.h"

namespace kestrix::gateway {

class Simulator;

// The most data bytes an answer carries after its result byte.
constexpr size_t kMaxAnswerData = kMaxTelegramData - 1;

class SpiBus;

// The gateway's device commands: data transfer, bus settings, information,
// status, sequences and the digital lines, answered with the result byte
// first. Any connection thread may call, several at once.
class GatewayCommands {
public:
    GatewayCommands(Simulator& simulator, SpiBus& bus, uint32_t inputs);

    std::vector<uint8_t> Execute(uint16_t code, const std::vector<uint8_t>& data);

    // One chip-select frame on the bus; false, logged, when the device failed it.
    bool Frame(const uint8_t* out, uint8_t* in, size_t count);

    void SetInputs(uint32_t word);
    void ReadDigital(uint32_t& inputs, uint32_t& outputs);
    void WriteOutputs(uint32_t word);

private:
    Simulator& m_simulator;
    SpiBus& m_bus;
    // Guards the digital lines.
    std::mutex m_linesMutex;
    uint32_t m_inputs = 0;
    uint32_t m_outputs = 0;
};

}  // namespace kestrix::gateway
