#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "SpiDevice.h"

namespace kestrix::gateway {

// What SPISetGlobals sets.
struct BusSettings {
    uint32_t baudrate = 1000000;
    uint8_t signalLevel = 0;
    uint8_t auxVoltage = 0;
    uint8_t clockMode = 0;
};

// The one SPI bus all connections share: its device, its settings, the
// time its transfers take and their trace.
class VcdTrace;

class SpiBus {
public:
    using Clock = std::chrono::steady_clock;

    // With `speedFactor` above 0 each frame holds its caller for its bus
    // time; `stop` cuts that wait short.
    SpiBus(std::unique_ptr<SpiDevice> device, double speedFactor, const std::atomic<bool>& stop);
    ~SpiBus();

    // One chip-select frame of `count` bytes. False, with the reason, when
    // the device failed it; `in` then holds what the device gave, if anything.
    bool Frame(const uint8_t* out, uint8_t* in, size_t count, std::string& error);

    void SetSettings(const BusSettings& settings);
    BusSettings Settings();
    // Every frame from now on also goes into `trace`; null ends tracing
    // and closes the trace it replaces.
    void SetTrace(std::unique_ptr<VcdTrace> trace);

    // Runs `fn` on the device with the bus to itself.
    template <class Fn>
    auto WithDevice(Fn fn) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return fn(*m_device);
    }

private:
    void SpendBusTime(size_t bytes);

    const double m_speedFactor;
    const std::atomic<bool>& m_stop;
    // Guards everything below; connection threads and API callers take it.
    std::mutex m_mutex;
    std::unique_ptr<SpiDevice> m_device;
    BusSettings m_settings;
    // When the bus has clocked out every frame so far.
    Clock::time_point m_busFree{};
    std::unique_ptr<VcdTrace> m_trace;
};

}  // namespace kestrix::gateway
