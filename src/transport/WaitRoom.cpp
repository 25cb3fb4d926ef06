#include "transport/WaitRoom.h"

#include <algorithm>

namespace kestrix {

WaitRoom::Stay::Stay(WaitRoom& room, Waiter& waiter) : m_room(room), m_waiter(waiter) {
    std::lock_guard<std::mutex> lock(m_room.m_mutex);
    auto& idle = m_room.m_idleSignals;
    if (idle.empty()) {
        m_room.m_signals.push_back(std::make_unique<WakeSignal>());
        idle.push_back(m_room.m_signals.back().get());
    }
    m_waiter.wake = idle.back();
    idle.pop_back();
    m_room.m_waiters.push_back(&m_waiter);
}

WaitRoom::Stay::~Stay() {
    WakeSignal* next = nullptr;
    bool wakeReceiveThread = false;
    {
        std::lock_guard<std::mutex> lock(m_room.m_mutex);
        auto& waiters = m_room.m_waiters;
        waiters.erase(std::find(waiters.begin(), waiters.end(), &m_waiter));
        m_room.m_idleSignals.push_back(m_waiter.wake);
        m_waiter.wake = nullptr;
        if (m_room.m_reader == &m_waiter) next = m_room.HandOnLocked(wakeReceiveThread);
    }
    if (next) next->cv.notify_one();
    if (wakeReceiveThread) m_room.m_receiveThreadWake.notify_one();
}

void WaitRoom::Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_reader = nullptr;
}

void WaitRoom::Shut() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    for (Waiter* waiter : m_waiters) waiter->wake->cv.notify_one();
    m_receiveThreadWake.notify_one();
}

void WaitRoom::WakeAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Waiter* waiter : m_waiters) waiter->wake->cv.notify_one();
}

void WaitRoom::Deliver(uint32_t key) {
    WakeSignal* first = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Waiter* waiter : m_waiters) {
            if (waiter->key != key) continue;
            waiter->delivered = true;
            // More than one waiter per key is rare (handshakes): those are
            // woken here.
            if (first) {
                waiter->wake->cv.notify_one();
            } else {
                first = waiter->wake;
            }
        }
    }
    if (first) first->cv.notify_one();
}

bool WaitRoom::Offer(uint32_t key, const uint8_t* telegram, uint16_t length) {
    WakeSignal* wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Waiter* waiter : m_waiters) {
            if (waiter->key != key || waiter->delivered) continue;
            if (!waiter->Accept(telegram, length)) return false;
            waiter->delivered = true;
            wake = waiter->wake;
            break;
        }
    }
    if (!wake) return false;
    wake->cv.notify_one();
    return true;
}

bool WaitRoom::Withdraw(Waiter& waiter) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Marked delivered, it is offered nothing more and handed no reads.
    const bool delivered = waiter.delivered;
    waiter.delivered = true;
    return delivered;
}

void WaitRoom::TakeRoleLocked(const Waiter& waiter) {
    m_reader = &waiter;
    ++m_callerTurns;
}

WaitRoom::Turn WaitRoom::TurnLocked(Waiter& waiter) {
    waiter.waiting = true;
    if (waiter.delivered) return Turn::Delivered;
    if (!m_open || (waiter.abandon != nullptr && waiter.abandon->load())) return Turn::Shut;
    if (m_reader == nullptr && MayTakeRole(waiter)) TakeRoleLocked(waiter);
    return m_reader == &waiter ? Turn::Read : Turn::Sleep;
}

WaitRoom::Turn WaitRoom::TryTurn(Waiter& waiter) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return TurnLocked(waiter);
}

WaitRoom::Turn WaitRoom::NextTurn(Waiter& waiter, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const Turn turn = TurnLocked(waiter);
        if (turn == Turn::Read) return Clock::now() < deadline ? Turn::Read : Turn::TimedOut;
        if (turn != Turn::Sleep) return turn;
        if (waiter.wake->cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            return waiter.delivered ? Turn::Delivered : Turn::TimedOut;
        }
    }
}

bool WaitRoom::ReceiveThreadTurn(int64_t graceMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto grace = std::chrono::milliseconds(graceMs);
    for (;;) {
        if (!m_open) return false;
        if (ReceiveThreadHolds()) return true;
        const uint64_t turns = m_callerTurns;
        // Not woken when callers take the role meanwhile, so that they need
        // not pay for a wake-up: the count of their turns tells afterwards.
        m_receiveThreadWake.wait_for(lock, grace, [this] { return !m_open || ReceiveThreadHolds(); });
        if (!m_open) return false;
        if (ReceiveThreadHolds() || m_callerTurns != turns) continue;
        if (m_reader == nullptr) {
            m_reader = &m_receiveThreadMark;
            return true;
        }
        // One caller has held the role all along, waiting for a slow
        // answer: sleep until it lets go, then leave the callers a grace.
        m_receiveThreadSleeps = true;
        m_receiveThreadWake.wait(lock,
                                 [this] { return !m_open || m_reader == nullptr || ReceiveThreadHolds(); });
        m_receiveThreadSleeps = false;
    }
}

bool WaitRoom::TryReceiveThreadTurn() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_open && m_reader == nullptr) m_reader = &m_receiveThreadMark;
    return m_open && ReceiveThreadHolds();
}

void WaitRoom::ReceiveThreadRead() {
    WakeSignal* next = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ReceiveThreadHolds()) return;
        bool sending = false;
        bool served = false;
        for (Waiter* waiter : m_waiters) {
            if (MayTakeRole(*waiter)) {
                TakeRoleLocked(*waiter);
                next = waiter->wake;
                break;
            }
            sending = sending || (waiter->mayRead && !waiter->waiting);
            served = served || waiter->mayRead;
        }
        // A caller still sending may need this thread's reads to finish;
        // callers that were served come back for more soon.
        if (next == nullptr && !sending && served) m_reader = nullptr;
    }
    if (next) next->cv.notify_one();
}

WakeSignal* WaitRoom::HandOnLocked(bool& wakeReceiveThread) {
    bool sending = false;
    for (Waiter* waiter : m_waiters) {
        if (MayTakeRole(*waiter)) {
            TakeRoleLocked(*waiter);
            return waiter->wake;
        }
        sending = sending || (waiter->mayRead && !waiter->waiting);
    }
    // A caller still sending cannot read; it may need reads to finish its
    // send, so the receive thread reads at once instead of after its grace.
    m_reader = sending ? &m_receiveThreadMark : nullptr;
    wakeReceiveThread = sending || m_receiveThreadSleeps;
    return nullptr;
}

WaitRoom::Reader WaitRoom::WhoReads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reader == nullptr) return Reader::Nobody;
    return ReceiveThreadHolds() ? Reader::ReceiveThread : Reader::Caller;
}

bool WaitRoom::Reads(const Waiter& waiter) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reader == &waiter;
}

}  // namespace kestrix
