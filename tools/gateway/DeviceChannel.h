#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kestrix::gateway {

// A two-way byte stream to a device model outside the simulator: a child
// process's standard input and output, or a TCP connection.
class DeviceChannel {
public:
    static constexpr int64_t kTimedOut = -2;

    virtual ~DeviceChannel() = default;
    // Starts the device, or connects to it; false with why.
    virtual bool Open(std::string& error) = 0;
    virtual bool IsOpen() const = 0;
    // Ends the device (a child process is stopped) until the next Open.
    virtual void Close() = 0;
    // Writes every byte; false (with why) when the device went away or
    // takes nothing for `timeoutMs`.
    virtual bool Write(const char* data, size_t size, int64_t timeoutMs, std::string& error) = 0;
    // Bytes read (> 0), 0 when the device closed its end, -1 on an error,
    // kTimedOut when nothing came within `timeoutMs`.
    virtual int64_t Read(char* data, size_t size, int64_t timeoutMs) = 0;
};

// A child process running `command` with /bin/sh -c, on systems that have
// one; elsewhere Open fails.
std::unique_ptr<DeviceChannel> MakeProcessChannel(const std::string& command);

// A TCP connection to `host`:`port`, made by Open.
std::unique_ptr<DeviceChannel> MakeTcpChannel(const std::string& host, uint16_t port);

}  // namespace kestrix::gateway
