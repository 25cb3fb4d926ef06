#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Faults.h"

namespace kestrix {
class CKesMsg;
}

namespace kestrix::gateway {

// Where a session's answers go.
class AnswerSink {
public:
    virtual ~AnswerSink() = default;
    // False once the client is gone or stopped taking bytes.
    virtual bool SendRaw(const uint8_t* data, size_t size) = 0;
    virtual void SendDisconnectRequest() = 0;
    virtual void Close() = 0;
    // One log line about this client.
    virtual void Note(const std::string& what) = 0;
};

// Bends a session's answers by the faults that apply to them.
class FaultInjector {
public:
    // `seed` makes each connection's garbage and jitter its own; `stop`
    // cuts delays short.
    FaultInjector(uint64_t seed, const std::atomic<bool>& stop, bool verbose)
        : m_random(static_cast<std::minstd_rand::result_type>(seed)), m_stop(stop), m_verbose(verbose) {}

    // Sends `answer` (result byte first) to the number-th device request.
    void Deliver(const CKesMsg& request, std::vector<uint8_t> answer, uint32_t number,
                 const std::vector<Fault>& allFaults, AnswerSink& sink);

    // The random source the session shares for its own needs.
    std::minstd_rand& Random() { return m_random; }

private:
    void SendAnswer(const CKesMsg& request, std::vector<uint8_t> answer, const std::vector<Fault>& faults,
                    AnswerSink& sink);

    std::minstd_rand m_random;
    const std::atomic<bool>& m_stop;
    const bool m_verbose;
};

// Sleeps for `duration` unless `stop` is set first; false when it was.
bool SleepUnlessStopped(const std::atomic<bool>& stop, std::chrono::steady_clock::duration duration);

}  // namespace kestrix::gateway
