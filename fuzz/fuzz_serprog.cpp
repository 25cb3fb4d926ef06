// The serprog bridge's protocol state machine fed an arbitrary client
// stream, once whole and once in chunks of a size the input chooses: every
// chunking gives the same answers and the same SPI frames, no frame exceeds
// the gateway's limit, and every answer starts with ACK or NAK.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Check.h"
#include "SerprogSession.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Bus : public kestrix::cli::SerprogBus {
public:
    explicit Bus(uint32_t limit) : m_limit(limit) {}

    int32_t Transfer(const Bytes& write, uint32_t readLength, Bytes& read) override {
        Check(write.size() + readLength <= m_limit);
        frames.push_back(write);
        // Some frames fail, as a gateway that went away does.
        if (!write.empty() && write[0] == 0xEE) return 0x030000;
        read.assign(readLength, static_cast<uint8_t>(write.size()));
        return 0;
    }
    int32_t SetClock(uint32_t hz, uint32_t& set) override {
        set = hz / 2 + 1;
        return hz == 12345 ? 0x000320 : 0;
    }
    std::string Describe(int32_t code) override { return std::to_string(code); }

    std::vector<Bytes> frames;

private:
    uint32_t m_limit;
};

struct Run {
    Bytes reply;
    std::vector<Bytes> frames;
};

Run Feed(const uint8_t* data, size_t size, size_t chunk, uint32_t limit) {
    Bus bus(limit);
    kestrix::cli::SerprogSession session(bus, limit, nullptr);
    Run run;
    for (size_t at = 0; at < size; at += chunk) {
        const size_t n = size - at < chunk ? size - at : chunk;
        session.Feed(data + at, n, run.reply);
    }
    run.frames = std::move(bus.frames);
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t chunk = 1 + data[0] % 16;
    const uint32_t limit = (data[1] & 1) != 0 ? 65527 : 300;
    data += 2;
    size -= 2;
    const Run whole = Feed(data, size, size == 0 ? 1 : size, limit);
    const Run pieces = Feed(data, size, chunk, limit);
    Check(whole.reply == pieces.reply);
    Check(whole.frames == pieces.frames);
    Check(whole.reply.empty() || whole.reply[0] == 0x06 || whole.reply[0] == 0x15);
    return 0;
}
