#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrix::cli {

// The SPI bus behind a serprog session.
class SerprogBus {
public:
    virtual ~SerprogBus() = default;
    // One chip-select frame: clocks out `write`, then `readLength` more bytes,
    // and puts the bytes read during those last ones into `read`. Returns 0,
    // or a result code naming the failure.
    virtual int32_t Transfer(const std::vector<uint8_t>& write, uint32_t readLength,
                             std::vector<uint8_t>& read) = 0;
    // Sets the SPI clock near `hz`; `set` receives the rate in force.
    virtual int32_t SetClock(uint32_t hz, uint32_t& set) = 0;
    // Text for a log line about a failure code.
    virtual std::string Describe(int32_t code) = 0;
};

// The programmer's side of flashrom's serprog protocol, version 1, for an
// SPI-only programmer: byte in, bytes out, no sockets. Commands may arrive
// split anywhere; the bytes are untrusted, and any length is consumed
// without being buffered beyond what one transfer can carry.
class SerprogSession {
public:
    static constexpr uint8_t kAck = 0x06;
    static constexpr uint8_t kNak = 0x15;

    // `maxTransfer` is the largest SPI frame the bus carries (write and read
    // bytes together).
    SerprogSession(SerprogBus& bus, uint32_t maxTransfer, std::function<void(const std::string&)> log);

    // Takes bytes from the client and appends the answers to `reply`.
    void Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& reply);

    uint32_t MaxWrite() const { return m_maxWrite; }
    uint32_t MaxRead() const { return m_maxRead; }
    uint64_t Operations() const { return m_operations; }
    uint64_t FailedOperations() const { return m_failedOperations; }

private:
    enum class State { Command, Parameters, Payload, Discard };

    void Begin(uint8_t command, std::vector<uint8_t>& reply);
    void Execute(std::vector<uint8_t>& reply);
    void RunOperation(std::vector<uint8_t>& reply);
    void Log(const std::string& line) const;

    SerprogBus& m_bus;
    uint32_t m_maxTransfer;
    uint32_t m_maxWrite;
    uint32_t m_maxRead;
    std::function<void(const std::string&)> m_log;

    State m_state = State::Command;
    uint8_t m_command = 0;
    size_t m_parameterLength = 0;
    std::vector<uint8_t> m_parameters;
    // The SPI operation in progress: its lengths, and bytes still to skip
    // when it is refused.
    uint32_t m_writeLength = 0;
    uint32_t m_readLength = 0;
    uint32_t m_discard = 0;
    std::vector<uint8_t> m_write;
    std::vector<uint8_t> m_read;

    uint64_t m_operations = 0;
    uint64_t m_failedOperations = 0;
};

}  // namespace kestrix::cli
