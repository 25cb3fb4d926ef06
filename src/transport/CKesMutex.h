#pragma once

#include <mutex>

namespace kestrix {

// Plain mutual exclusion. Also BasicLockable, so std::lock_guard and
// std::unique_lock can hold it as the scope guard.
class CKesMutex {
public:
    CKesMutex() = default;
    virtual ~CKesMutex() = default;
    CKesMutex(const CKesMutex&) = delete;
    CKesMutex& operator=(const CKesMutex&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    bool try_lock() { return m_mutex.try_lock(); }

    std::mutex& Native() { return m_mutex; }

private:
    std::mutex m_mutex;
};

}  // namespace kestrix
