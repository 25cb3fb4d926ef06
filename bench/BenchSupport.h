#pragma once

// What every group of figures shares: failing loudly, timing, alternating
// library and baseline, and gateways in child processes.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrix::bench {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 5002;

[[noreturn]] void Fail(const std::string& what);
// Fails with the library's message unless `rc` is RC_OK.
void Check(int32_t rc, const char* what);

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Runs library and baseline once per round, alternating which goes first.
// Latency figures use it with short blocks inside each round: whether a
// core has gone idle changes a wake-up by tens of microseconds on this kind
// of machine, and fine turns let both sides see the same state.
void Rounds(int rounds, const std::function<void()>& library, const std::function<void()>& baseline);

// Per-round figures of both sides; the ratio is the median of the ratios.
struct Paired {
    std::vector<double> library;
    std::vector<double> baseline;

    double Ratio() const;
};

// 127.x.y.z at random, so that gateways of parallel runs do not collide.
std::string RandomLoopbackAddress();

struct Gateway {
    std::string address;
    pid_t pid = -1;
};

// Runs a gateway in a child process on a loopback address of its own (port
// kPort); the child dies with us. In the child, `listen` starts listening on
// the address it is given (false: try another) and `serve` never returns.
Gateway StartChildGateway(const std::function<bool(const std::string& address)>& listen,
                          const std::function<void()>& serve);
void StopGateway(const Gateway& gateway);

}  // namespace kestrix::bench
