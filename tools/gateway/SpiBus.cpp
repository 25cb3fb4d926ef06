#include "SpiBus.h"

#include <algorithm>

#include "FaultInjector.h"
#include "VcdTrace.h"

namespace kestrix::gateway {

SpiBus::SpiBus(std::unique_ptr<SpiDevice> device, double speedFactor, const std::atomic<bool>& stop)
    : m_speedFactor(speedFactor), m_stop(stop), m_device(std::move(device)) {}

SpiBus::~SpiBus() = default;

void SpiBus::SetTrace(std::unique_ptr<VcdTrace> trace) {
    std::unique_ptr<VcdTrace> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::move(m_trace);
        m_trace = std::move(trace);
    }
    if (old) old->Close();
}

bool SpiBus::Frame(const uint8_t* out, uint8_t* in, size_t count, std::string& error) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_device->Select();
        m_device->Transfer(out, in, count);
        error = m_device->TakeFailure();
        m_device->Deselect();
        if (m_trace) {
            // The frame starts once the frames before it are off the bus.
            const auto start = m_speedFactor > 0 ? std::max(Clock::now(), m_busFree) : Clock::now();
            m_trace->Frame(start, m_settings.baudrate, m_settings.clockMode, out, in, count);
        }
    }
    SpendBusTime(count);
    return error.empty();
}

void SpiBus::SetSettings(const BusSettings& settings) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings = settings;
}

BusSettings SpiBus::Settings() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings;
}

void SpiBus::SpendBusTime(size_t bytes) {
    if (m_speedFactor <= 0 || bytes == 0) return;
    Clock::time_point done;
    {
        // One bus: a frame waits for the ones clocked out before it.
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto busTime =
            std::chrono::duration<double>(static_cast<double>(bytes) * 8.0 / m_settings.baudrate);
        m_busFree = std::max(Clock::now(), m_busFree) + std::chrono::round<Clock::duration>(busTime);
        done = m_busFree;
    }
    SleepUnlessStopped(m_stop, done - Clock::now());
}

}  // namespace kestrix::gateway
