#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DeviceChannel.h"
#include "SpiDevice.h"

namespace kestrix::gateway {

// A device model outside the simulator, in any language, spoken to in
// lines: "S" when chip select falls, "T <hex>" with the bytes clocked out
// (lower-case hex), "D" when it rises. The device answers each T line, and
// only those, with one line of hex of the same length: the bytes clocked
// in. A transfer it answers late, short or with bad hex fails; a device
// that went away, or answered late and so may answer out of turn, is
// started afresh (or connected to again) for the next frame.
class ExternalDevice : public SpiDevice {
public:
    // `deadlineMs` bounds the wait for each answer.
    ExternalDevice(std::unique_ptr<DeviceChannel> channel, std::string description, int64_t deadlineMs);
    ~ExternalDevice() override;

    void Select() override;
    void Transfer(const uint8_t* out, uint8_t* in, size_t count) override;
    void Deselect() override;
    const char* Describe() const override { return m_description.c_str(); }
    std::string TakeFailure() override;

private:
    bool Send(const std::string& line);
    // Reads one answer line into m_line; false with m_failure set.
    bool ReceiveLine(size_t expectedSize);
    void Fail(const std::string& why, bool restart);

    std::unique_ptr<DeviceChannel> m_channel;
    const std::string m_description;
    const int64_t m_deadlineMs;
    std::string m_received;  // bytes read past the last answer line
    std::string m_line;
    std::string m_failure;  // why the frame's last transfer failed
    bool m_fresh = false;   // started since its last answer
};

// Makes the device a --device text names, "exec:COMMAND" or
// "tcp:HOST:PORT"; null with `error` for anything else.
std::unique_ptr<ExternalDevice> MakeExternalDevice(const std::string& text, int64_t deadlineMs,
                                                   std::string& error);

// True when `text` names an external device.
bool IsExternalDevice(const std::string& text);

}  // namespace kestrix::gateway
