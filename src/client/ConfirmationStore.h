#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "telegram/CKestrixMsg.h"
#include "time/CKesLocalTime.h"
#include "transport/CKesMutex.h"

namespace kestrix {

// Confirmations filed by telegram ID until their caller takes them. The
// store is bounded: when full, the oldest entries that no caller waits for
// are dropped first. Waking the waiting callers is the connection's part.
class ConfirmationStore {
public:
    struct Entry {
        std::unique_ptr<CKestrixMsg> telegram;
        CKesLocalTime received;
        uint64_t sequence = 0;
        size_t cost = 0;
    };

    static constexpr size_t kDefaultByteLimit = 8u << 20;
    // Counted per entry on top of its data, so that empty telegrams count too.
    static constexpr size_t kEntryOverhead = 64;

    explicit ConfirmationStore(size_t byteLimit = kDefaultByteLimit) : m_byteLimit(byteLimit) {}

    // Files a confirmation, replacing an earlier one with the same ID.
    void File(std::unique_ptr<CKestrixMsg> telegram, const CKesLocalTime& received);
    std::unique_ptr<CKestrixMsg> Take(uint16_t telegramId);
    bool Has(uint16_t telegramId);
    // Marks a confirmation as awaited for the life of the object, so that
    // the bound never drops it: taken before the request goes out, it also
    // covers an answer that arrives before its caller has begun to wait.
    class Awaiting {
    public:
        Awaiting(ConfirmationStore& store, uint16_t telegramId);
        ~Awaiting();
        Awaiting(const Awaiting&) = delete;
        Awaiting& operator=(const Awaiting&) = delete;

    private:
        ConfirmationStore& m_store;
        uint16_t m_telegramId;
    };

    // A telegram to file the next confirmation in: the one last handed back
    // with Recycle, whose memory fits the last large answer, so that a
    // steady flow of confirmations allocates nothing the size of its data.
    std::unique_ptr<CKestrixMsg> Spare();
    void Recycle(std::unique_ptr<CKestrixMsg> telegram);

    // Drops entries received before `limit` (compared in whole milliseconds).
    void RemoveReceivedBefore(const CKesLocalTime& limit);
    void Clear();

    size_t Count();
    size_t Bytes();

private:
    std::unique_ptr<CKestrixMsg> TakeLocked(uint16_t telegramId);
    void AddWaiterLocked(uint16_t telegramId) { ++m_waiters[telegramId]; }
    void RemoveWaiterLocked(uint16_t telegramId) {
        if (--m_waiters[telegramId] == 0) m_waiters.erase(telegramId);
    }
    void Erase(std::map<uint16_t, Entry>::iterator it);
    void EnforceLimit();

    CKesMutex m_storeMutex;
    // Guarded by m_storeMutex.
    std::map<uint16_t, Entry> m_entries;
    // The IDs in filing order, so that the oldest entry is found at once.
    std::map<uint64_t, uint16_t> m_byAge;
    std::map<uint16_t, int> m_waiters;
    std::unique_ptr<CKestrixMsg> m_spare;
    size_t m_bytes = 0;
    uint64_t m_nextSequence = 0;
    size_t m_byteLimit;
};

}  // namespace kestrix
