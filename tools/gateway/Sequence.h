#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrix::gateway {

// The simulator's sequence instruction set. Multi-byte operands are
// little-endian. The answer is the concatenation of what the instructions
// produce, in order.
namespace seq {
constexpr uint8_t kEnd = 0x00;           // stop here
constexpr uint8_t kTransfer = 0x01;      // len:u16, len bytes: one frame; answer += len bytes read
constexpr uint8_t kDelay = 0x02;         // ms:u16
constexpr uint8_t kWriteOutputs = 0x03;  // word:u32
constexpr uint8_t kReadDigital = 0x04;   // answer += inputs:u32, outputs:u32
constexpr uint8_t kPoll = 0x05;          // cmd:u8 mask:u8 value:u8 timeout_ms:u16; answer += last byte
constexpr uint8_t kCommandRead = 0x06;   // n:u8, n bytes, len:u16: one frame; answer += len bytes read
}  // namespace seq

// Result bytes of a sequence confirmation.
constexpr uint8_t kResultOk = 0x00;
constexpr uint8_t kResultInconsistentData = 0x20;
constexpr uint8_t kResultSendError = 0x21;  // the SPI device failed a frame
constexpr uint8_t kResultBadOpcode = 0x30;
constexpr uint8_t kResultSequenceTimeout = 0x31;

// What a sequence acts on.
class SequenceHost {
public:
    virtual ~SequenceHost() = default;
    // One chip-select frame; false when the device failed it.
    virtual bool Transfer(const uint8_t* out, uint8_t* in, size_t count) = 0;
    virtual void WriteOutputs(uint32_t word) = 0;
    virtual void ReadDigital(uint32_t& inputs, uint32_t& outputs) = 0;
};

struct SequenceOutcome {
    uint8_t result = kResultOk;
    std::vector<uint8_t> answer;
};

// Runs a sequence. An unknown op code ends it with 0x30, running past
// `limit` with 0x31, a cut-off operand or an answer longer than `maxAnswer`
// with 0x20, a frame the device failed with 0x21; the answer gathered so far is kept in every case.
SequenceOutcome RunSequence(const uint8_t* code, size_t size, SequenceHost& host,
                            std::chrono::milliseconds limit, size_t maxAnswer);

}  // namespace kestrix::gateway
