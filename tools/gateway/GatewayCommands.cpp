#include "GatewayCommands.h"

#include <string>

#include "Sequence.h"
#include "Simulator.h"
#include "SpiBus.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"

namespace kestrix::gateway {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kResultFailed = 0xFF;

// Lets a sequence reach the bus and the digital lines; the bus is taken for
// each frame only, so a delay in one sequence does not stall others.
class BusHost : public SequenceHost {
public:
    explicit BusHost(GatewayCommands& commands) : m_commands(commands) {}
    bool Transfer(const uint8_t* out, uint8_t* in, size_t count) override {
        return m_commands.Frame(out, in, count);
    }
    void WriteOutputs(uint32_t word) override { m_commands.WriteOutputs(word); }
    void ReadDigital(uint32_t& inputs, uint32_t& outputs) override {
        m_commands.ReadDigital(inputs, outputs);
    }

private:
    GatewayCommands& m_commands;
};

}  // namespace

GatewayCommands::GatewayCommands(Simulator& simulator, SpiBus& bus, uint32_t inputs)
    : m_simulator(simulator), m_bus(bus), m_inputs(inputs) {}

bool GatewayCommands::Frame(const uint8_t* out, uint8_t* in, size_t count) {
    std::string error;
    if (m_bus.Frame(out, in, count, error)) return true;
    m_simulator.Log("SPI device " + error);
    return false;
}

void GatewayCommands::SetInputs(uint32_t word) {
    std::lock_guard<std::mutex> lock(m_linesMutex);
    m_inputs = word;
}

void GatewayCommands::ReadDigital(uint32_t& inputs, uint32_t& outputs) {
    std::lock_guard<std::mutex> lock(m_linesMutex);
    inputs = m_inputs;
    outputs = m_outputs;
}

void GatewayCommands::WriteOutputs(uint32_t word) {
    std::lock_guard<std::mutex> lock(m_linesMutex);
    m_outputs = word;
}

Bytes GatewayCommands::Execute(uint16_t code, const Bytes& data) {
    switch (code) {
        case spi::kDataReq: {
            if (data.size() > kMaxAnswerData) return {kResultInconsistentData};
            Bytes answer(data.size() + 1, 0);
            if (!data.empty() && !BusHost(*this).Transfer(data.data(), answer.data() + 1, data.size()))
                return {kResultSendError};
            return answer;
        }
        case spi::kSetGlobals: {
            // Clock modes are 0 to 3; a zero clock rate cannot be set.
            if (data.size() != 7 || ReadU32(data.data()) == 0 || data[6] > 3)
                return {kResultInconsistentData};
            m_bus.SetSettings({ReadU32(data.data()), data[4], data[5], data[6]});
            return {kResultOk};
        }
        case spi::kGetGlobals: {
            const BusSettings settings = m_bus.Settings();
            const auto baudrate = PackU32(settings.baudrate);
            return {kResultOk,   baudrate[0],          baudrate[1],         baudrate[2],
                    baudrate[3], settings.signalLevel, settings.auxVoltage, settings.clockMode};
        }
        case spi::kDeviceInfo: {
            const auto record = m_simulator.InfoRecord();
            Bytes answer{kResultOk};
            answer.insert(answer.end(), record.begin(), record.end());
            return answer;
        }
        case spi::kDeviceStatus: {
            const std::string text = m_simulator.StatusText();
            Bytes answer{kResultOk};
            answer.insert(answer.end(), text.begin(), text.end());
            return answer;
        }
        case spi::kSequence: {
            BusHost host(*this);
            SequenceOutcome outcome =
                RunSequence(data.data(), data.size(), host,
                            std::chrono::milliseconds(m_simulator.Options().sequenceLimitMs), kMaxAnswerData);
            Bytes answer{outcome.result};
            answer.insert(answer.end(), outcome.answer.begin(), outcome.answer.end());
            return answer;
        }
        case spi::kReadDigital: {
            uint32_t inputsWord = 0;
            uint32_t outputsWord = 0;
            ReadDigital(inputsWord, outputsWord);
            const auto inputs = PackU32(inputsWord);
            const auto outputs = PackU32(outputsWord);
            return {kResultOk,  inputs[0],  inputs[1],  inputs[2], inputs[3],
                    outputs[0], outputs[1], outputs[2], outputs[3]};
        }
        case spi::kWriteDigital: {
            if (data.size() != 4) return {kResultInconsistentData};
            WriteOutputs(ReadU32(data.data()));
            return {kResultOk};
        }
        default:
            return {kResultFailed};
    }
}

}  // namespace kestrix::gateway
