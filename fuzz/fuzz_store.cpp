// Filing of confirmations: a client fed arbitrary telegrams, and a bounded
// store driven by arbitrary file, take, wait and age-out operations. The
// bound holds, a taken confirmation is always the newest one filed under
// its ID, and the byte count returns to zero once everything is taken.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "Check.h"
#include "client/CKestrixClient.h"
#include "client/ConfirmationStore.h"

using namespace kestrix;

namespace {

using Bytes = std::vector<uint8_t>;

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_size == 0; }
    uint8_t Byte() {
        if (m_size == 0) return 0;
        --m_size;
        return *m_data++;
    }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    Bytes Take(size_t n) {
        if (n > m_size) n = m_size;
        Bytes out(m_data, m_data + n);
        m_data += n;
        m_size -= n;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
};

constexpr size_t kLimit = 4096;

void DriveStore(Reader& in) {
    ConfirmationStore store(kLimit);
    // The newest data filed under each ID and not taken since.
    std::map<uint16_t, Bytes> newest;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        // Few IDs, so that replacements and repeated takes happen.
        const uint16_t id = static_cast<uint16_t>(in.Byte() % 16);
        switch (op % 5) {
            case 0:
            case 1: {
                const size_t length = static_cast<size_t>(in.Byte()) * (op >= 128 ? 16 : 1);
                const Bytes data = in.Take(length);
                store.File(std::make_unique<CKestrixMsg>(data.data(), data.size(), 0x8303, id), std::chrono::steady_clock::now());
                newest[id] = data;
                break;
            }
            case 2: {
                const std::unique_ptr<CKestrixMsg> taken = store.Take(id);
                if (taken) {
                    auto it = newest.find(id);
                    Check(it != newest.end() && taken->TelegramId() == id && taken->Data() == it->second);
                }
                newest.erase(id);
                break;
            }
            case 3: {
                // An awaited entry is taken like any other.
                const ConfirmationStore::Awaiting awaiting(store, id);
                const std::unique_ptr<CKestrixMsg> taken = store.Take(id);
                if (taken) Check(newest.count(id) != 0 && taken->Data() == newest[id]);
                newest.erase(id);
                break;
            }
            default: {
                store.RemoveReceivedBefore(std::chrono::steady_clock::now() - std::chrono::seconds(in.Byte() % 2));
                break;
            }
        }
        Check(store.Bytes() <= kLimit);
        Check(store.Count() <= newest.size());
    }
    for (uint16_t id = 0; id < 16; ++id) store.Take(id);
    Check(store.Count() == 0 && store.Bytes() == 0);
}

void DriveClient(Reader& in) {
    CKestrixClientSPI client(3, -1);
    std::map<uint16_t, Bytes> filed;
    while (!in.Empty()) {
        const Bytes telegram = in.Take(in.Byte());
        client.OnTelegram(telegram.data(), static_cast<uint16_t>(telegram.size()));
        CKestrixMsg parsed;
        if (parsed.Parse(telegram.data(), telegram.size()) && (parsed.CommandCode() & 0x8000) != 0) {
            filed[parsed.TelegramId()] = telegram;
        }
    }
    for (const auto& [id, bytes] : filed) {
        const std::unique_ptr<CKestrixMsg> taken = client.Store().Take(id);
        Check(taken != nullptr && taken->Serialize() == bytes);
    }
    Check(client.Store().Count() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Reader in(data + 1, size - 1);
    if (data[0] & 1) {
        DriveClient(in);
    } else {
        DriveStore(in);
    }
    return 0;
}
