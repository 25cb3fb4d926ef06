#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrix {

// What a waiting thread sleeps on. The room owns it and lends it to one
// waiter at a time, so that whoever wakes a waiter can do so after letting
// go of the room's mutex (the woken thread then finds the mutex free instead
// of sleeping on it once more) without ever touching freed memory: a late
// wake-up at worst ends the next borrower's wait early, and it looks again.
struct WakeSignal {
    std::condition_variable cv;
};

// A thread waiting for one telegram that the receive path delivers: a
// device confirmation by its telegram ID, or a handshake confirmation. It
// lives on the waiting thread's stack and is known to the room only while
// registered there.
struct Waiter {
    explicit Waiter(uint32_t key, bool mayRead = true, const std::atomic<bool>* abandon = nullptr)
        : key(key), mayRead(mayRead), abandon(abandon) {}
    virtual ~Waiter() = default;
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Offered the telegram it waits for, in the reader's buffer and under
    // the room's mutex: true when it has taken what it needs from it. The
    // waiter leaves the room, under that mutex, before its memory goes, so
    // nothing is ever written into a waiter that has given up.
    virtual bool Accept(const uint8_t* telegram, uint16_t length) {
        (void)telegram;
        (void)length;
        return false;
    }

    const uint32_t key;
    // False for a thread that must never read the socket itself.
    const bool mayRead;
    // When set (and the room woken), the wait ends at once.
    const std::atomic<bool>* abandon;
    // Guarded by the room's mutex. A waiter is registered before its request
    // leaves, so that an answer that overtakes the end of the send is
    // delivered to it; it waits only once the request is out.
    bool waiting = false;
    bool delivered = false;
    // Lent by the room while the waiter is registered.
    WakeSignal* wake = nullptr;
};

// The read side of one connection: who reads the socket now, and who reads
// next. At any time the socket is read by the receive thread, by one caller
// that waits for its answer, or for a moment by nobody. The role passes
// only here, by one rule: a caller takes it, or is handed it, only while it
// waits for its answer after its request is fully sent and undelivered; the
// receive thread takes it when no caller has for a grace period, or when
// nobody else may. Nobody waiting wakes on a timer: each sleeps until it is
// delivered, handed the socket, the room shuts or its deadline passes.
class WaitRoom {
public:
    using Clock = std::chrono::steady_clock;
    // Sleep is never returned by NextTurn; TryTurn reports it instead of
    // sleeping.
    enum class Turn { Delivered, Read, Shut, TimedOut, Sleep };
    enum class Reader { Nobody, ReceiveThread, Caller };

    // Registers a waiter for the life of the object.
    class Stay {
    public:
        Stay(WaitRoom& room, Waiter& waiter);
        ~Stay();
        Stay(const Stay&) = delete;
        Stay& operator=(const Stay&) = delete;

    private:
        WaitRoom& m_room;
        Waiter& m_waiter;
    };

    // Opens the room for a new connection; nobody holds the reader role.
    void Open();
    // Ends every wait and the receive thread's turns.
    void Shut();
    // Wakes every waiter to look at its abandon flag.
    void WakeAll();
    // Marks the waiters for `key` delivered and wakes them.
    void Deliver(uint32_t key);
    // Offers a telegram to the first waiter for `key` not yet delivered;
    // true (and that waiter delivered and woken) when it accepted it.
    bool Offer(uint32_t key, const uint8_t* telegram, uint16_t length);
    // Ends the offers to the waiter, from its own thread: true when it had
    // been delivered before.
    bool Withdraw(Waiter& waiter);

    // The waiter's request is out: it sleeps until it is delivered, may read
    // (Read: read the socket once, then ask again), the room shuts or the
    // deadline passes.
    Turn NextTurn(Waiter& waiter, Clock::time_point deadline);
    // The same decision without sleeping: Sleep where NextTurn would sleep.
    Turn TryTurn(Waiter& waiter);

    // The receive thread's side: blocks until it holds the reader role,
    // false once the room is shut. It takes the role only when no caller
    // has taken it for `graceMs`: a caller that comes back at once reads its
    // own answer, which is cheaper than a hand-over between threads. While
    // callers keep reading, this thread looks every `graceMs` and costs them
    // nothing; it is woken only when a caller that held the role longer
    // than that lets go.
    bool ReceiveThreadTurn(int64_t graceMs);
    // Takes the role for the receive thread if nobody holds it; true when
    // the receive thread holds it.
    bool TryReceiveThreadTurn();
    // After each read of the receive thread: it gives the role to a caller
    // that waits, so that callers read their own answers.
    void ReceiveThreadRead();

    // Who holds the role, and whether `waiter` does.
    Reader WhoReads();
    bool Reads(const Waiter& waiter);

private:
    // May this waiter be given the socket?
    static bool MayTakeRole(const Waiter& waiter) {
        return waiter.mayRead && waiter.waiting && !waiter.delivered;
    }
    // Gives the role to a caller that may take it, or frees it; returns
    // what to wake once the mutex is let go.
    WakeSignal* HandOnLocked(bool& wakeReceiveThread);
    Turn TurnLocked(Waiter& waiter);
    void TakeRoleLocked(const Waiter& waiter);
    bool ReceiveThreadHolds() const { return m_reader == &m_receiveThreadMark; }

    std::mutex m_mutex;
    // All guarded by m_mutex.
    std::vector<Waiter*> m_waiters;
    // Every signal the room made, kept until it goes, and those not lent out.
    std::vector<std::unique_ptr<WakeSignal>> m_signals;
    std::vector<WakeSignal*> m_idleSignals;
    // The waiter that reads, &m_receiveThreadMark for the receive thread, or none.
    const void* m_reader = nullptr;
    // Counts the times a caller took the reader role.
    uint64_t m_callerTurns = 0;
    bool m_open = false;
    bool m_receiveThreadSleeps = false;
    std::condition_variable m_receiveThreadWake;
    char m_receiveThreadMark = 0;
};

}  // namespace kestrix
