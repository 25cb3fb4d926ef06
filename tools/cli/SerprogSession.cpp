#include "SerprogSession.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace kestrix::cli {

namespace {

namespace cmd {
constexpr uint8_t kNop = 0x00;
constexpr uint8_t kQueryInterface = 0x01;
constexpr uint8_t kQueryCommandMap = 0x02;
constexpr uint8_t kQueryName = 0x03;
constexpr uint8_t kQuerySerialBuffer = 0x04;
constexpr uint8_t kQueryBusTypes = 0x05;
constexpr uint8_t kQueryWriteMax = 0x08;
constexpr uint8_t kSyncNop = 0x10;
constexpr uint8_t kQueryReadMax = 0x11;
constexpr uint8_t kSetBusType = 0x12;
constexpr uint8_t kSpiOperation = 0x13;
constexpr uint8_t kSetSpiClock = 0x14;
constexpr uint8_t kSetPinState = 0x15;
}  // namespace cmd

// The operation-buffer commands (0x0B to 0x0F) stay out of the map: a
// programmer that lists them gets every delay sent through them.
constexpr uint8_t kSupported[] = {cmd::kNop,           cmd::kQueryInterface,    cmd::kQueryCommandMap,
                                  cmd::kQueryName,     cmd::kQuerySerialBuffer, cmd::kQueryBusTypes,
                                  cmd::kQueryWriteMax, cmd::kSyncNop,           cmd::kQueryReadMax,
                                  cmd::kSetBusType,    cmd::kSpiOperation,      cmd::kSetSpiClock,
                                  cmd::kSetPinState};

constexpr uint16_t kInterfaceVersion = 1;
constexpr uint8_t kBusSpi = 0x08;
// TCP carries flow control, so the buffer need not be watched.
constexpr uint16_t kSerialBuffer = 0xFFFF;
constexpr char kName[] = "kestrix-spi";
// Writes are commands and pages (a few hundred bytes); reads take the rest
// of a frame, so whole 4 KiB sectors fit each read.
constexpr uint32_t kWriteShare = 4087;

constexpr size_t kOperationHeader = 6;

void PutLittle(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t Little(const uint8_t* data, int bytes) {
    uint32_t value = 0;
    for (int i = bytes; i-- > 0;) value = value << 8 | data[i];
    return value;
}

size_t ParameterLength(uint8_t command) {
    switch (command) {
        case cmd::kSetBusType:
        case cmd::kSetPinState:
            return 1;
        case cmd::kSetSpiClock:
            return 4;
        case cmd::kSpiOperation:
            return kOperationHeader;
        default:
            return 0;
    }
}

bool Supported(uint8_t command) {
    return std::find(std::begin(kSupported), std::end(kSupported), command) != std::end(kSupported);
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

SerprogSession::SerprogSession(SerprogBus& bus, uint32_t maxTransfer,
                               std::function<void(const std::string&)> log)
    : m_bus(bus),
      m_maxTransfer(maxTransfer),
      m_maxWrite(std::min(kWriteShare, maxTransfer / 2)),
      m_maxRead(maxTransfer - m_maxWrite),
      m_log(std::move(log)) {}

void SerprogSession::Log(const std::string& line) const {
    if (m_log) m_log(line);
}

void SerprogSession::Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& reply) {
    size_t i = 0;
    while (i < size) {
        switch (m_state) {
            case State::Command:
                Begin(data[i++], reply);
                break;
            case State::Parameters: {
                const size_t take = std::min(size - i, m_parameterLength - m_parameters.size());
                m_parameters.insert(m_parameters.end(), data + i, data + i + take);
                i += take;
                if (m_parameters.size() == m_parameterLength) Execute(reply);
                break;
            }
            case State::Payload: {
                const size_t take = std::min<size_t>(size - i, m_writeLength - m_write.size());
                m_write.insert(m_write.end(), data + i, data + i + take);
                i += take;
                if (m_write.size() == m_writeLength) RunOperation(reply);
                break;
            }
            case State::Discard: {
                const size_t take = std::min<size_t>(size - i, m_discard);
                m_discard -= static_cast<uint32_t>(take);
                i += take;
                if (m_discard == 0) {
                    reply.push_back(kNak);
                    m_state = State::Command;
                }
                break;
            }
        }
    }
}

void SerprogSession::Begin(uint8_t command, std::vector<uint8_t>& reply) {
    if (!Supported(command)) {
        // Its parameters, if any, are unknown: the client resynchronises.
        Log("unsupported serprog command " + Hex(command) + ": NAK");
        reply.push_back(kNak);
        return;
    }
    m_command = command;
    m_parameterLength = ParameterLength(command);
    m_parameters.clear();
    if (m_parameterLength == 0) {
        Execute(reply);
    } else {
        m_state = State::Parameters;
    }
}

void SerprogSession::Execute(std::vector<uint8_t>& reply) {
    m_state = State::Command;
    switch (m_command) {
        case cmd::kNop:
            reply.push_back(kAck);
            return;
        case cmd::kSyncNop:
            reply.push_back(kNak);
            reply.push_back(kAck);
            return;
        case cmd::kQueryInterface:
            reply.push_back(kAck);
            PutLittle(reply, kInterfaceVersion, 2);
            return;
        case cmd::kQueryCommandMap: {
            std::array<uint8_t, 32> map{};
            for (uint8_t command : kSupported) map[command / 8] |= static_cast<uint8_t>(1u << (command % 8));
            reply.push_back(kAck);
            reply.insert(reply.end(), map.begin(), map.end());
            return;
        }
        case cmd::kQueryName: {
            std::array<uint8_t, 16> name{};
            std::copy(std::begin(kName), std::end(kName) - 1, name.begin());
            reply.push_back(kAck);
            reply.insert(reply.end(), name.begin(), name.end());
            return;
        }
        case cmd::kQuerySerialBuffer:
            reply.push_back(kAck);
            PutLittle(reply, kSerialBuffer, 2);
            return;
        case cmd::kQueryBusTypes:
            reply.push_back(kAck);
            reply.push_back(kBusSpi);
            return;
        case cmd::kQueryWriteMax:
            reply.push_back(kAck);
            PutLittle(reply, m_maxWrite, 3);
            return;
        case cmd::kQueryReadMax:
            reply.push_back(kAck);
            PutLittle(reply, m_maxRead, 3);
            return;
        case cmd::kSetBusType:
            reply.push_back((m_parameters[0] & kBusSpi) != 0 ? kAck : kNak);
            return;
        case cmd::kSetPinState:
            // The gateway drives its bus whenever it transfers.
            reply.push_back(kAck);
            return;
        case cmd::kSetSpiClock: {
            const uint32_t hz = Little(m_parameters.data(), 4);
            uint32_t set = 0;
            const int32_t code = hz == 0 ? 0 : m_bus.SetClock(hz, set);
            if (hz == 0 || code != 0) {
                if (code != 0)
                    Log("setting the SPI clock to " + std::to_string(hz) +
                        " Hz failed: " + m_bus.Describe(code));
                reply.push_back(kNak);
                return;
            }
            Log("SPI clock " + std::to_string(set) + " Hz (asked " + std::to_string(hz) + ")");
            reply.push_back(kAck);
            PutLittle(reply, set, 4);
            return;
        }
        case cmd::kSpiOperation: {
            m_writeLength = Little(m_parameters.data(), 3);
            m_readLength = Little(m_parameters.data() + 3, 3);
            if (uint64_t{m_writeLength} + m_readLength > m_maxTransfer) {
                Log("SPI operation of " + std::to_string(m_writeLength) + " + " +
                    std::to_string(m_readLength) + " bytes exceeds the gateway's " +
                    std::to_string(m_maxTransfer) + ": NAK");
                ++m_failedOperations;
                m_discard = m_writeLength;
                if (m_discard == 0) {
                    reply.push_back(kNak);
                } else {
                    m_state = State::Discard;
                }
                return;
            }
            m_write.clear();
            m_write.reserve(m_writeLength);
            if (m_writeLength == 0) {
                RunOperation(reply);
            } else {
                m_state = State::Payload;
            }
            return;
        }
        default:
            reply.push_back(kNak);
            return;
    }
}

void SerprogSession::RunOperation(std::vector<uint8_t>& reply) {
    m_state = State::Command;
    ++m_operations;
    const int32_t code = m_bus.Transfer(m_write, m_readLength, m_read);
    if (code != 0 || m_read.size() != m_readLength) {
        ++m_failedOperations;
        Log("SPI operation failed: " + m_bus.Describe(code) + ": NAK");
        reply.push_back(kNak);
        return;
    }
    reply.push_back(kAck);
    reply.insert(reply.end(), m_read.begin(), m_read.end());
}

}  // namespace kestrix::cli
