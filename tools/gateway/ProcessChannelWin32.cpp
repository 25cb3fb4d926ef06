#include "DeviceChannel.h"

namespace kestrix::gateway {

namespace {

// Device programs on standard input and output need a POSIX shell; on
// Windows the tcp: form serves instead.
class NoProcessChannel : public DeviceChannel {
public:
    bool Open(std::string& error) override {
        error = "exec: devices need a POSIX system; use tcp:HOST:PORT";
        return false;
    }
    bool IsOpen() const override { return false; }
    void Close() override {}
    bool Write(const char*, size_t, int64_t, std::string& error) override {
        error = "no device";
        return false;
    }
    int64_t Read(char*, size_t, int64_t) override { return -1; }
};

}  // namespace

std::unique_ptr<DeviceChannel> MakeProcessChannel(const std::string&) {
    return std::make_unique<NoProcessChannel>();
}

}  // namespace kestrix::gateway
