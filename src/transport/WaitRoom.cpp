#include "transport/WaitRoom.h"

#include <algorithm>

namespace kestrix {

WaitRoom::Stay::Stay(WaitRoom& room, Waiter& waiter) : m_room(room), m_waiter(waiter) {
    std::lock_guard<std::mutex> lock(m_room.m_mutex);
    m_room.m_waiters.push_back(&m_waiter);
}

WaitRoom::Stay::~Stay() {
    std::lock_guard<std::mutex> lock(m_room.m_mutex);
    auto& waiters = m_room.m_waiters;
    waiters.erase(std::find(waiters.begin(), waiters.end(), &m_waiter));
    if (m_room.m_reader == &m_waiter) m_room.HandOnLocked();
}

void WaitRoom::Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_reader = nullptr;
}

void WaitRoom::Shut() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    for (Waiter* waiter : m_waiters) waiter->wake.notify_one();
    m_receiveThreadWake.notify_one();
}

void WaitRoom::WakeAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Waiter* waiter : m_waiters) waiter->wake.notify_one();
}

void WaitRoom::Deliver(uint32_t key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Waiter* waiter : m_waiters) {
        if (waiter->key != key) continue;
        waiter->delivered = true;
        waiter->wake.notify_one();
    }
}

bool WaitRoom::Offer(uint32_t key, const uint8_t* telegram, uint16_t length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Waiter* waiter : m_waiters) {
        if (waiter->key != key || waiter->delivered) continue;
        if (!waiter->Accept(telegram, length)) return false;
        waiter->delivered = true;
        waiter->wake.notify_one();
        return true;
    }
    return false;
}

bool WaitRoom::Withdraw(Waiter& waiter) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Marked delivered, it is offered nothing more and handed no reads.
    const bool delivered = waiter.delivered;
    waiter.delivered = true;
    return delivered;
}

WaitRoom::Turn WaitRoom::NextTurn(Waiter& waiter, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (waiter.delivered) return Turn::Delivered;
        if (!m_open || (waiter.abandon != nullptr && waiter.abandon->load())) return Turn::Shut;
        if (m_reader == nullptr && waiter.mayRead) m_reader = &waiter;
        if (m_reader == &waiter) return Clock::now() < deadline ? Turn::Read : Turn::TimedOut;
        if (waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
            return waiter.delivered ? Turn::Delivered : Turn::TimedOut;
        }
    }
}

bool WaitRoom::ReceiveThreadTurn(int64_t graceMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    bool graceServed = false;
    for (;;) {
        if (!m_open) return false;
        if (ReceiveThreadHolds()) return true;
        if (m_reader == nullptr) {
            if (graceServed) {
                m_reader = &m_receiveThreadMark;
                return true;
            }
            // Not woken when a caller takes the role meanwhile: the caller
            // need not pay for a wake-up, and this thread looks again once.
            m_receiveThreadWake.wait_for(lock, std::chrono::milliseconds(graceMs),
                                         [this] { return !m_open || m_reader != nullptr; });
            graceServed = true;
            continue;
        }
        m_receiveThreadSleeps = true;
        m_receiveThreadWake.wait(lock, [this] { return !m_open || m_reader == nullptr || ReceiveThreadHolds(); });
        m_receiveThreadSleeps = false;
        graceServed = false;
    }
}

void WaitRoom::ReceiveThreadRead() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!ReceiveThreadHolds()) return;
    bool callersWait = false;
    for (Waiter* waiter : m_waiters) {
        if (!waiter->mayRead) continue;
        callersWait = true;
        if (!waiter->delivered) {
            m_reader = waiter;
            waiter->wake.notify_one();
            return;
        }
    }
    // The callers that were served come back for more soon.
    if (callersWait) m_reader = nullptr;
}

void WaitRoom::HandOnLocked() {
    for (Waiter* waiter : m_waiters) {
        if (waiter->mayRead && !waiter->delivered) {
            m_reader = waiter;
            waiter->wake.notify_one();
            return;
        }
    }
    m_reader = nullptr;
    if (m_receiveThreadSleeps) m_receiveThreadWake.notify_one();
}

}  // namespace kestrix
