// The receive path: an arbitrary byte stream in arbitrary chunks goes
// through the framer and the connection's dispatch into the client's store.
// However the stream is cut, the same telegrams come out, and every device
// confirmation in it is filed under its ID.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "Check.h"
#include "client/CKestrixClient.h"
#include "telegram/Pack.h"
#include "telegram/TelegramFramer.h"

using namespace kestrix;

namespace {

using Bytes = std::vector<uint8_t>;

// Chunk sizes drawn from a seed, from single bytes to whole receives.
class Chunker {
public:
    explicit Chunker(uint32_t seed) : m_state(seed | 1) {
        static constexpr std::array<size_t, 6> kLargest = {1, 2, 7, 64, 1500, 70000};
        m_largest = kLargest[seed % kLargest.size()];
    }
    size_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return 1 + m_state % m_largest;
    }

private:
    uint32_t m_state;
    size_t m_largest;
};

struct Outcome {
    std::vector<Bytes> telegrams;
    bool broken = false;
};

// Feeds the stream in the chunks the chunker picks; `commit` frames them.
template <typename Commit>
bool FeedInChunks(TelegramFramer& framer, const uint8_t* data, size_t size, Chunker& chunker, Commit&& commit) {
    while (size > 0) {
        const size_t chunk = std::min<size_t>({chunker.Next(), framer.ReceiveSize(), size});
        Check(chunk > 0);
        std::memcpy(framer.ReceiveSpace(), data, chunk);
        if (!commit(chunk)) return false;
        data += chunk;
        size -= chunk;
    }
    return true;
}

Outcome FrameInChunks(const uint8_t* data, size_t size, uint32_t seed) {
    Outcome outcome;
    TelegramFramer framer;
    Chunker chunker(seed);
    auto collect = [&outcome](const uint8_t* telegram, uint16_t length) {
        Check(length == static_cast<size_t>(ReadU16(telegram)) + 2);
        outcome.telegrams.emplace_back(telegram, telegram + length);
    };
    size_t fed = 0;
    outcome.broken = !FeedInChunks(framer, data, size, chunker, [&](size_t chunk) {
        fed += chunk;
        return framer.Commit(chunk, collect) == TelegramFramer::Status::Ok;
    });
    if (!outcome.broken) {
        // Nothing is lost: what was not handed on is still held back.
        size_t handed = 0;
        for (const Bytes& t : outcome.telegrams) handed += t.size();
        Check(handed + framer.Buffered() == fed);
    }
    return outcome;
}

// As many bytes per receive as the framer takes.
Outcome FrameAtOnce(const uint8_t* data, size_t size) {
    Outcome outcome;
    TelegramFramer framer;
    outcome.broken = framer.Feed(data, size, [&outcome](const uint8_t* telegram, uint16_t length) {
        outcome.telegrams.emplace_back(telegram, telegram + length);
    }) != TelegramFramer::Status::Ok;
    return outcome;
}

bool IsConnectionLevel(uint16_t code) {
    return code == 0x8301 || code == 0x8302 || code == 0x830D;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint32_t seed = ReadU32(data);
    data += 4;
    size -= 4;

    const Outcome chunked = FrameInChunks(data, size, seed);
    const Outcome whole = FrameAtOnce(data, size);
    Check(chunked.broken == whole.broken);
    Check(chunked.telegrams == whole.telegrams);

    // The same stream through a real connection's dispatch into its client.
    // The connect fails (nothing listens there) but leaves the connection
    // with the SPI gateway's command codes. A negative time-out keeps the
    // store from ageing anything out.
    CKestrixClientSPI client(3, -1);
    client.Connection().Connect(3, std::string(), "127.77.0.1", 1, 200);
    TelegramFramer framer;
    Chunker chunker(seed ^ 0x5A5A5A5A);
    const bool intact = FeedInChunks(framer, data, size, chunker, [&](size_t chunk) {
        return client.Connection().FrameReceived(framer, chunk);
    });
    Check(intact == !whole.broken);

    std::map<uint16_t, Bytes> expected;
    for (const Bytes& t : whole.telegrams) {
        if (t.size() < 7) continue;
        const uint16_t code = ReadU16(t.data() + 2);
        if ((code & 0x8000) == 0 || IsConnectionLevel(code)) continue;
        expected[ReadU16(t.data() + 4)] = t;
    }
    for (const auto& [id, bytes] : expected) {
        const std::unique_ptr<CKestrixMsg> filed = client.Store().Take(id);
        Check(filed != nullptr && filed->Serialize() == bytes);
    }
    Check(client.Store().Count() == 0);
    return 0;
}
