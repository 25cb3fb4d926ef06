// The store against a plain model of it: random filing, taking, ageing and
// bounding must leave the same entries, in the same order, as the model.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "client/ConfirmationStore.h"
#include "time/CKesLocalTime.h"

using namespace kestrix;

namespace {
struct ModelEntry {
    uint16_t id;
    uint8_t tag;
    size_t size;
    int64_t receivedMs;
};

class Model {
public:
    explicit Model(size_t limit) : m_limit(limit) {}

    void File(const ModelEntry& entry, const std::multiset<uint16_t>& awaited) {
        Take(entry.id);
        m_entries.push_back(entry);
        m_bytes += entry.size + ConfirmationStore::kEntryOverhead;
        for (auto it = m_entries.begin(); m_bytes > m_limit && it != m_entries.end();) {
            if (awaited.count(it->id) != 0) {
                ++it;
                continue;
            }
            m_bytes -= it->size + ConfirmationStore::kEntryOverhead;
            it = m_entries.erase(it);
        }
    }

    bool Take(uint16_t id, ModelEntry* out = nullptr) {
        const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                     [id](const ModelEntry& e) { return e.id == id; });
        if (it == m_entries.end()) return false;
        if (out != nullptr) *out = *it;
        m_bytes -= it->size + ConfirmationStore::kEntryOverhead;
        m_entries.erase(it);
        return true;
    }

    void RemoveReceivedBefore(int64_t limitMs) {
        while (!m_entries.empty() && m_entries.front().receivedMs < limitMs) {
            m_bytes -= m_entries.front().size + ConfirmationStore::kEntryOverhead;
            m_entries.pop_front();
        }
    }

    size_t Count() const { return m_entries.size(); }
    size_t Bytes() const { return m_bytes; }

private:
    std::list<ModelEntry> m_entries;
    size_t m_bytes = 0;
    size_t m_limit;
};

ConfirmationStore::Stamp At(int64_t ms) {
    return ConfirmationStore::Stamp(std::chrono::milliseconds(ms));
}
}  // namespace

TEST(ConfirmationStoreModel, RandomFilingTakingAgeingAndBoundingMatchThePlainModel) {
    constexpr size_t kLimit = 16 * 1024;
    std::mt19937 random(20261209);
    for (int run = 0; run < 20; ++run) {
        ConfirmationStore store(kLimit);
        Model model(kLimit);
        std::multiset<uint16_t> awaitedIds;
        std::vector<std::unique_ptr<ConfirmationStore::Awaiting>> awaiting;
        std::vector<uint16_t> awaitingIds;
        int64_t clockMs = 1000000;
        // Few IDs, so that filing over an entry and taking a filed one are common.
        std::uniform_int_distribution<int> idOf(1, 40 + run * 40);
        for (int step = 0; step < 3000; ++step) {
            const auto id = static_cast<uint16_t>(idOf(random));
            const int what = static_cast<int>(random() % 100);
            if (what < 50) {
                const ModelEntry entry{id, static_cast<uint8_t>(step),
                                       random() % 3 == 0 ? random() % 4000 : random() % 40, clockMs};
                // Now and then the clock goes back a little.
                clockMs += static_cast<int64_t>(random() % 50) - 5;
                std::vector<uint8_t> data(entry.size, entry.tag);
                store.File(std::make_unique<CKestrixMsg>(data.data(), data.size(), 0x8314, id),
                           At(entry.receivedMs));
                model.File(entry, awaitedIds);
            } else if (what < 75) {
                ModelEntry expected{};
                const bool filed = model.Take(id, &expected);
                if (random() % 2 == 0) {
                    const std::unique_ptr<CKestrixMsg> taken = store.Take(id);
                    ASSERT_EQ(taken != nullptr, filed) << "step " << step;
                    if (filed) {
                        ASSERT_EQ(taken->TelegramId(), id);
                        ASSERT_EQ(taken->Data().size(), expected.size);
                        if (expected.size > 0) {
                            ASSERT_EQ(taken->Data().back(), expected.tag);
                        }
                    }
                } else {
                    size_t size = 0;
                    const bool took =
                        store.TakeWith(id, [&](const CKestrixMsg& m) { size = m.Data().size(); });
                    ASSERT_EQ(took, filed) << "step " << step;
                    if (filed) {
                        ASSERT_EQ(size, expected.size);
                    }
                }
            } else if (what < 80) {
                const int64_t limit = clockMs - static_cast<int64_t>(random() % 2000);
                store.RemoveReceivedBefore(At(limit));
                model.RemoveReceivedBefore(limit);
            } else if (what < 90) {
                awaiting.push_back(std::make_unique<ConfirmationStore::Awaiting>(store, id));
                awaitingIds.push_back(id);
                awaitedIds.insert(id);
            } else if (!awaiting.empty()) {
                awaiting.pop_back();
                awaitedIds.erase(awaitedIds.find(awaitingIds.back()));
                awaitingIds.pop_back();
            }
            ASSERT_EQ(store.Count(), model.Count()) << "step " << step;
            ASSERT_EQ(store.Bytes(), model.Bytes()) << "step " << step;
        }
        store.Clear();
        EXPECT_EQ(store.Count(), 0u);
        EXPECT_EQ(store.Bytes(), 0u);
    }
}
