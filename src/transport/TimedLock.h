#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "transport/CpuRelax.h"

namespace kestrix {

// Mutual exclusion that a waiting thread can give up on at its deadline,
// or as soon as a condition says that the wait is pointless.
class TimedLock {
public:
    using Clock = std::chrono::steady_clock;
    // How long a thread that finds the lock taken looks again before it
    // sleeps. The lock is held for one send, mostly shorter than this, and
    // a sleep with its wake-up costs the waiter more than the send.
    static constexpr std::chrono::microseconds kSpin{20};

    // True when the lock is taken. `giveUp` is looked at whenever the
    // waiter wakes; WakeAll makes every waiter look.
    template <typename GiveUp>
    bool LockUntil(Clock::time_point deadline, GiveUp&& giveUp) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (TakeLocked()) return true;
        if (SpinningHelps()) {
            lock.unlock();
            const Clock::time_point end = std::min(deadline, Clock::now() + kSpin);
            while (m_locked.load(std::memory_order_relaxed) && !giveUp() && Clock::now() < end) CpuRelax();
            lock.lock();
            if (TakeLocked()) return true;
        }
        ++m_waiting;
        const bool free = m_free.wait_until(lock, deadline, [&] { return !m_locked || giveUp(); }) && !m_locked;
        --m_waiting;
        return free && TakeLocked();
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
    bool TakeLocked() {
        if (m_locked) return false;
        m_locked = true;
        return true;
    }

    std::mutex m_mutex;
    std::condition_variable m_free;
    // Written under m_mutex; a spinning thread looks at it without.
    std::atomic<bool> m_locked{false};
    // Guarded by m_mutex.
    int m_waiting = 0;
};

}  // namespace kestrix
