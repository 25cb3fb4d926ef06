#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "transport/CKesEvent.h"

namespace kestrix {

// A thread object with a start handshake and stop-and-join. Concrete
// threads implement Run(), poll StopRequested() once per pass and return
// after it reported true; their destructor calls StopAndJoin() first, while
// the object is still whole.
class CKesThread {
public:
    enum RunState : int32_t { Created = 0, Starting = 1, Running = 2, Ended = 3 };

    CKesThread() = default;
    virtual ~CKesThread();
    CKesThread(const CKesThread&) = delete;
    CKesThread& operator=(const CKesThread&) = delete;

    // True when a new thread runs the body; returns after OnThreadStart(),
    // or at once when `awaitStart` is false, for a body that needs nothing
    // from its starter.
    bool Start(bool awaitStart = true);
    void StopAndJoin();
    RunState State() const { return static_cast<RunState>(m_runState.load()); }

protected:
    virtual void Run() = 0;
    virtual void OnThreadStart() {}

    // Consumes a pending stop request.
    bool StopRequested() { return m_stopEvent.Wait(0); }
    // Sleeps up to `milliseconds`; true (consumed) when asked to stop meanwhile.
    bool WaitForStop(int64_t milliseconds) { return m_stopEvent.Wait(milliseconds); }

private:
    void ThreadProc();

    std::thread m_thread;
    CKesEvent m_stopEvent;
    CKesEvent m_startedEvent;
    // Written by the starting thread and the new thread, read by anyone.
    std::atomic<int32_t> m_runState{Created};
};

}  // namespace kestrix
