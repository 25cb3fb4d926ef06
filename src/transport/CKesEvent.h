#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kestrix {

// Auto-reset event: a wait that finds it signalled consumes the signal, so
// one waiter is released per Signal(); a signal given while nobody waits is
// kept for the next wait.
class CKesEvent {
public:
    static constexpr int64_t kInfinite = -1;

    CKesEvent() = default;
    virtual ~CKesEvent() = default;
    CKesEvent(const CKesEvent&) = delete;
    CKesEvent& operator=(const CKesEvent&) = delete;

    // Notifies under the lock: a waiter released by this signal may destroy
    // the event as soon as its wait returns.
    void Signal() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
        m_condition.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = false;
    }

    // True when signalled within `milliseconds` (0 polls, kInfinite waits
    // without limit); the signal is consumed.
    bool Wait(int64_t milliseconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (milliseconds == 0) {
            // A poll: a timed wait with nothing left to wait would still
            // cost a system call, and a chance to be scheduled away.
            if (!m_signalled) return false;
        } else if (milliseconds < 0) {
            m_condition.wait(lock, [this] { return m_signalled; });
        } else if (!m_condition.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                         [this] { return m_signalled; })) {
            return false;
        }
        m_signalled = false;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_signalled = false;
};

}  // namespace kestrix
