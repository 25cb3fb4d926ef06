#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrix {

// Mutual exclusion that a waiting thread can give up on at its deadline,
// or as soon as a condition says that the wait is pointless.
class TimedLock {
public:
    using Clock = std::chrono::steady_clock;

    // True when the lock is taken. `giveUp` is looked at whenever the
    // waiter wakes; WakeAll makes every waiter look.
    template <typename GiveUp>
    bool LockUntil(Clock::time_point deadline, GiveUp&& giveUp) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_locked) {
            m_locked = true;
            return true;
        }
        ++m_waiting;
        const bool free = m_free.wait_until(lock, deadline, [&] { return !m_locked || giveUp(); }) && !m_locked;
        --m_waiting;
        if (free) m_locked = true;
        return free;
    }

    void Unlock() {
        bool waiting = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_locked = false;
            waiting = m_waiting != 0;
        }
        // After letting go, so that the waiter woken finds the mutex free.
        if (waiting) m_free.notify_one();
    }

    void WakeAll() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    // Guarded by m_mutex.
    bool m_locked = false;
    int m_waiting = 0;
};

}  // namespace kestrix
