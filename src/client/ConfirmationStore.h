#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "telegram/CKestrixMsg.h"
#include "transport/CKesMutex.h"

namespace kestrix {

// Confirmations filed by telegram ID until their caller takes them. The
// store is bounded: when full, the oldest entries that no caller waits for
// are dropped first. Waking the waiting callers is the connection's part.
class ConfirmationStore {
public:
    // Ages are measured on a clock that only moves forward at the pace of
    // real time: a change of the wall clock or of the zone ages nothing.
    using Stamp = std::chrono::steady_clock::time_point;

    struct Entry {
        std::unique_ptr<CKestrixMsg> telegram;
        Stamp received;
        size_t cost = 0;
        uint16_t id = 0;
        // Neighbours in filing order; entries never move while filed.
        Entry* older = nullptr;
        Entry* newer = nullptr;
    };

    static constexpr size_t kDefaultByteLimit = 8u << 20;
    // Counted per entry on top of its data, so that empty telegrams count too.
    static constexpr size_t kEntryOverhead = 64;

    explicit ConfirmationStore(size_t byteLimit = kDefaultByteLimit) : m_byteLimit(byteLimit) {}

    // Files a confirmation, replacing an earlier one with the same ID.
    void File(std::unique_ptr<CKestrixMsg> telegram, Stamp received);
    std::unique_ptr<CKestrixMsg> Take(uint16_t telegramId);
    // Lets `use` read the confirmation with this ID, then drops it and keeps
    // its telegram as a spare, all under one lock; false when none is filed.
    template <typename Use>
    bool TakeWith(uint16_t telegramId, Use&& use) {
        std::lock_guard<CKesMutex> lock(m_storeMutex);
        const auto it = m_entries.find(telegramId);
        if (it == m_entries.end()) return false;
        use(static_cast<const CKestrixMsg&>(*it->second.telegram));
        Erase(it);
        return true;
    }
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

    // A telegram to file the next confirmation in: one kept from an entry
    // gone, whose memory fits an earlier answer, so that a steady flow of
    // confirmations, pipelined ones included, allocates nothing per answer.
    std::unique_ptr<CKestrixMsg> Spare();

    // What the spares may hold: enough for a full pipeline of small answers,
    // or one large answer, so that an idle handle keeps little memory.
    static constexpr size_t kMaxSpares = 64;
    static constexpr size_t kSpareBytes = 64u << 10;

    // Drops entries received before `limit`.
    void RemoveReceivedBefore(Stamp limit);
    void Clear();

    // Without the lock: a caller's look that may be out of date at once.
    size_t Count() const { return m_count.load(std::memory_order_relaxed); }
    size_t Bytes();

private:
    std::unique_ptr<CKestrixMsg> TakeLocked(uint16_t telegramId);
    void AddWaiterLocked(uint16_t telegramId) { ++m_waiters[telegramId]; }
    void RemoveWaiterLocked(uint16_t telegramId) {
        if (--m_waiters[telegramId] == 0) m_waiters.erase(telegramId);
    }
    using Entries = std::unordered_map<uint16_t, Entry>;
    static constexpr size_t kMaxBuckets = 1024;
    void Erase(Entries::iterator it);
    void Unlink(Entry& entry);
    void RecycleLocked(std::unique_ptr<CKestrixMsg> telegram);
    void EnforceLimit();

    CKesMutex m_storeMutex;
    // Guarded by m_storeMutex.
    Entries m_entries;
    // Both ends of the entries in filing order, so that the oldest entry is
    // found at once.
    Entry* m_oldest = nullptr;
    Entry* m_newest = nullptr;
    std::map<uint16_t, int> m_waiters;
    std::vector<std::unique_ptr<CKestrixMsg>> m_spares;
    size_t m_spareBytes = 0;
    // Map nodes of entries gone, reused for the next ones instead of
    // allocated anew (at most kMaxSpares).
    std::vector<Entries::node_type> m_freeEntries;
    size_t m_bytes = 0;
    // The number of entries, written under the lock.
    std::atomic<size_t> m_count{0};
    size_t m_byteLimit;
};

}  // namespace kestrix
