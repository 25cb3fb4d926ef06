#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrix::gateway {

// A device on the simulated SPI bus. One chip-select frame is Select(),
// any number of Transfer() calls, then Deselect(); a frame never spans two
// telegrams. The simulator serialises all access.
class SpiDevice {
public:
    virtual ~SpiDevice() = default;
    virtual void Select() = 0;
    // Clocks `count` bytes out of `out` and the device's answer into `in`.
    virtual void Transfer(const uint8_t* out, uint8_t* in, size_t count) = 0;
    virtual void Deselect() = 0;
    // Short description for the status text.
    virtual const char* Describe() const = 0;
    // Why the frame's last Transfer failed, reported once; empty when it
    // went well. Only devices outside the simulator can fail.
    virtual std::string TakeFailure() { return {}; }
};

// MISO wired to MOSI: every byte read is the byte written.
class LoopbackDevice : public SpiDevice {
public:
    void Select() override {}
    void Transfer(const uint8_t* out, uint8_t* in, size_t count) override {
        for (size_t i = 0; i < count; ++i) in[i] = out[i];
    }
    void Deselect() override {}
    const char* Describe() const override { return "loopback"; }
};

}  // namespace kestrix::gateway
