#include "Sequence.h"

#include <algorithm>
#include <thread>

#include "telegram/Pack.h"

namespace kestrix::gateway {

namespace {

using Clock = std::chrono::steady_clock;

class Runner {
public:
    Runner(const uint8_t* code, size_t size, SequenceHost& host, std::chrono::milliseconds limit,
           size_t maxAnswer)
        : m_code(code),
          m_size(size),
          m_host(host),
          m_deadline(Clock::now() + limit),
          m_maxAnswer(maxAnswer) {}

    SequenceOutcome Run() {
        while (m_at < m_size) {
            if (Clock::now() > m_deadline) return Finish(kResultSequenceTimeout);
            const uint8_t opcode = m_code[m_at++];
            uint8_t result = kResultOk;
            switch (opcode) {
                case seq::kEnd:
                    return Finish(kResultOk);
                case seq::kTransfer:
                    result = Transfer();
                    break;
                case seq::kDelay:
                    result = Delay();
                    break;
                case seq::kWriteOutputs:
                    result = WriteOutputs();
                    break;
                case seq::kReadDigital:
                    result = ReadDigital();
                    break;
                case seq::kPoll:
                    result = Poll();
                    break;
                case seq::kCommandRead:
                    result = CommandRead();
                    break;
                default:
                    return Finish(kResultBadOpcode);
            }
            if (result != kResultOk) return Finish(result);
        }
        return Finish(kResultOk);
    }

private:
    SequenceOutcome Finish(uint8_t result) {
        m_outcome.result = result;
        return std::move(m_outcome);
    }

    bool Take(size_t count, const uint8_t*& operands) {
        if (m_size - m_at < count) return false;
        operands = m_code + m_at;
        m_at += count;
        return true;
    }

    // Appends `count` bytes to the answer and returns where they go, or
    // nothing when the answer would grow too long.
    uint8_t* Grow(size_t count) {
        if (m_outcome.answer.size() + count > m_maxAnswer) return nullptr;
        m_outcome.answer.resize(m_outcome.answer.size() + count);
        return m_outcome.answer.data() + m_outcome.answer.size() - count;
    }

    uint8_t Transfer() {
        const uint8_t* operands = nullptr;
        if (!Take(2, operands)) return kResultInconsistentData;
        const uint16_t length = ReadU16(operands);
        const uint8_t* out = nullptr;
        if (!Take(length, out)) return kResultInconsistentData;
        uint8_t* in = Grow(length);
        if (in == nullptr) return kResultInconsistentData;
        return m_host.Transfer(out, in, length) ? kResultOk : kResultSendError;
    }

    uint8_t Delay() {
        const uint8_t* operands = nullptr;
        if (!Take(2, operands)) return kResultInconsistentData;
        const auto until = Clock::now() + std::chrono::milliseconds(ReadU16(operands));
        // Sleep no further than the limit: the outcome is known by then.
        std::this_thread::sleep_until(std::min(until, m_deadline));
        return until > m_deadline ? kResultSequenceTimeout : kResultOk;
    }

    uint8_t WriteOutputs() {
        const uint8_t* operands = nullptr;
        if (!Take(4, operands)) return kResultInconsistentData;
        m_host.WriteOutputs(ReadU32(operands));
        return kResultOk;
    }

    uint8_t ReadDigital() {
        uint8_t* in = Grow(8);
        if (in == nullptr) return kResultInconsistentData;
        uint32_t inputs = 0;
        uint32_t outputs = 0;
        m_host.ReadDigital(inputs, outputs);
        const auto first = PackU32(inputs);
        const auto second = PackU32(outputs);
        std::copy(first.begin(), first.end(), in);
        std::copy(second.begin(), second.end(), in + 4);
        return kResultOk;
    }

    uint8_t Poll() {
        const uint8_t* operands = nullptr;
        if (!Take(5, operands)) return kResultInconsistentData;
        const uint8_t out[2] = {operands[0], 0};
        const uint8_t mask = operands[1];
        const uint8_t value = operands[2];
        const auto until = Clock::now() + std::chrono::milliseconds(ReadU16(operands + 3));
        uint8_t* answer = Grow(1);
        if (answer == nullptr) return kResultInconsistentData;
        for (;;) {
            uint8_t in[2] = {};
            if (!m_host.Transfer(out, in, 2)) return kResultSendError;
            *answer = in[1];
            if ((in[1] & mask) == value) return kResultOk;
            const auto now = Clock::now();
            if (now > until || now > m_deadline) return kResultSequenceTimeout;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    uint8_t CommandRead() {
        const uint8_t* operands = nullptr;
        if (!Take(1, operands)) return kResultInconsistentData;
        const size_t commandLength = operands[0];
        const uint8_t* command = nullptr;
        if (!Take(commandLength, command) || !Take(2, operands)) return kResultInconsistentData;
        const uint16_t readLength = ReadU16(operands);
        uint8_t* answer = Grow(readLength);
        if (answer == nullptr) return kResultInconsistentData;
        std::vector<uint8_t> out(command, command + commandLength);
        out.resize(commandLength + readLength, 0);
        std::vector<uint8_t> in(out.size());
        if (!m_host.Transfer(out.data(), in.data(), out.size())) return kResultSendError;
        std::copy(in.begin() + static_cast<std::ptrdiff_t>(commandLength), in.end(), answer);
        return kResultOk;
    }

    const uint8_t* m_code;
    size_t m_size;
    size_t m_at = 0;
    SequenceHost& m_host;
    Clock::time_point m_deadline;
    size_t m_maxAnswer;
    SequenceOutcome m_outcome;
};

}  // namespace

SequenceOutcome RunSequence(const uint8_t* code, size_t size, SequenceHost& host,
                            std::chrono::milliseconds limit, size_t maxAnswer) {
    return Runner(code, size, host, limit, maxAnswer).Run();
}

}  // namespace kestrix::gateway
