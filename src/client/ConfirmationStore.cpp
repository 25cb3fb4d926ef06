#include "client/ConfirmationStore.h"

#include <mutex>

namespace kestrix {

namespace {
// Inserts `key` into `map` in a node kept from an earlier entry if there is
// one; the mapped value is then the old one, for the caller to overwrite.
template <typename Map>
typename Map::iterator InsertReusing(Map& map, std::vector<typename Map::node_type>& nodes,
                                     const typename Map::key_type& key) {
    if (nodes.empty()) return map.try_emplace(key).first;
    typename Map::node_type node = std::move(nodes.back());
    nodes.pop_back();
    node.key() = key;
    return map.insert(std::move(node)).position;
}
}  // namespace

void ConfirmationStore::File(std::unique_ptr<CKestrixMsg> telegram, Stamp received) {
    const uint16_t id = telegram->TelegramId();
    const size_t size = telegram->Data().size() + kEntryOverhead;
    {
        std::lock_guard<CKesMutex> lock(m_storeMutex);
        auto it = m_entries.find(id);
        if (it != m_entries.end()) Erase(it);
        Entry& entry = InsertReusing(m_entries, m_freeEntries, id)->second;
        entry.telegram = std::move(telegram);
        entry.received = received;
        entry.cost = size;
        entry.id = id;
        entry.older = m_newest;
        entry.newer = nullptr;
        (m_newest ? m_newest->newer : m_oldest) = &entry;
        m_newest = &entry;
        m_bytes += size;
        EnforceLimit();
        m_count.store(m_entries.size(), std::memory_order_relaxed);
    }
}

std::unique_ptr<CKestrixMsg> ConfirmationStore::Take(uint16_t telegramId) {
    std::lock_guard<CKesMutex> lock(m_storeMutex);
    return TakeLocked(telegramId);
}

bool ConfirmationStore::Has(uint16_t telegramId) {
    std::lock_guard<CKesMutex> lock(m_storeMutex);
    return m_entries.count(telegramId) != 0;
}

std::unique_ptr<CKestrixMsg> ConfirmationStore::TakeLocked(uint16_t telegramId) {
    auto it = m_entries.find(telegramId);
    if (it == m_entries.end()) return nullptr;
    std::unique_ptr<CKestrixMsg> telegram = std::move(it->second.telegram);
    Erase(it);
    return telegram;
}

void ConfirmationStore::Unlink(Entry& entry) {
    (entry.older ? entry.older->newer : m_oldest) = entry.newer;
    (entry.newer ? entry.newer->older : m_newest) = entry.older;
    entry.older = entry.newer = nullptr;
}

void ConfirmationStore::Erase(Entries::iterator it) {
    Unlink(it->second);
    m_bytes -= it->second.cost;
    Entries::node_type entry = m_entries.extract(it);
    RecycleLocked(std::move(entry.mapped().telegram));
    if (m_freeEntries.size() < kMaxSpares) m_freeEntries.push_back(std::move(entry));
    // The bucket table of a flood goes with it.
    if (m_entries.empty() && m_entries.bucket_count() > kMaxBuckets) Entries().swap(m_entries);
    m_count.store(m_entries.size(), std::memory_order_relaxed);
}

void ConfirmationStore::EnforceLimit() {
    for (Entry* oldest = m_oldest; m_bytes > m_byteLimit && oldest != nullptr;) {
        const uint16_t id = oldest->id;
        // Erasing unlinks this entry only; the next one stays where it is.
        oldest = oldest->newer;
        // An entry a caller waits for is kept, over the bound if need be.
        if (m_waiters.count(id) != 0) continue;
        Erase(m_entries.find(id));
    }
}

ConfirmationStore::Awaiting::Awaiting(ConfirmationStore& store, uint16_t telegramId)
    : m_store(store), m_telegramId(telegramId) {
    std::lock_guard<CKesMutex> lock(m_store.m_storeMutex);
    m_store.AddWaiterLocked(m_telegramId);
}

ConfirmationStore::Awaiting::~Awaiting() {
    std::lock_guard<CKesMutex> lock(m_store.m_storeMutex);
    m_store.RemoveWaiterLocked(m_telegramId);
}

void ConfirmationStore::RemoveReceivedBefore(Stamp limit) {
    std::lock_guard<CKesMutex> lock(m_storeMutex);
    // Oldest first, up to the first entry young enough: a caller collecting
    // from a full pipeline pays for what it removes, not for what stays.
    while (m_oldest != nullptr && m_oldest->received < limit) Erase(m_entries.find(m_oldest->id));
}

std::unique_ptr<CKestrixMsg> ConfirmationStore::Spare() {
    {
        std::lock_guard<CKesMutex> lock(m_storeMutex);
        if (!m_spares.empty()) {
            std::unique_ptr<CKestrixMsg> spare = std::move(m_spares.back());
            m_spares.pop_back();
            m_spareBytes -= spare->Data().capacity();
            return spare;
        }
    }
    return std::make_unique<CKestrixMsg>();
}

void ConfirmationStore::RecycleLocked(std::unique_ptr<CKestrixMsg> telegram) {
    if (!telegram || m_spares.size() >= kMaxSpares) return;
    const size_t bytes = telegram->Data().capacity();
    // The first spare is kept whatever its size: it serves a flow of
    // large answers.
    if (!m_spares.empty() && m_spareBytes + bytes > kSpareBytes) return;
    m_spareBytes += bytes;
    m_spares.push_back(std::move(telegram));
}

void ConfirmationStore::Clear() {
    std::lock_guard<CKesMutex> lock(m_storeMutex);
    m_spares.clear();
    m_spareBytes = 0;
    m_freeEntries.clear();
    m_entries.clear();
    m_oldest = m_newest = nullptr;
    m_bytes = 0;
    m_count.store(0, std::memory_order_relaxed);
}

size_t ConfirmationStore::Bytes() {
    std::lock_guard<CKesMutex> lock(m_storeMutex);
    return m_bytes;
}

}  // namespace kestrix
