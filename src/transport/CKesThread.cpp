#include "transport/CKesThread.h"

#include <system_error>

namespace kestrix {

CKesThread::~CKesThread() { StopAndJoin(); }

bool CKesThread::Start(bool awaitStart) {
    const int32_t state = m_runState.load();
    if (state == Starting || state == Running) return false;
    // A finished earlier run still holds its OS thread; release it first.
    if (m_thread.joinable()) m_thread.join();
    m_runState = Starting;
    // A start not waited for leaves its signal behind.
    m_startedEvent.Reset();
    try {
        m_thread = std::thread(&CKesThread::ThreadProc, this);
    } catch (const std::system_error&) {
        m_runState = Ended;
        return false;
    }
    if (awaitStart) m_startedEvent.Wait(CKesEvent::kInfinite);
    return true;
}

void CKesThread::ThreadProc() {
    OnThreadStart();
    m_startedEvent.Signal();
    m_runState = Running;
    Run();
    m_runState = Ended;
}

void CKesThread::StopAndJoin() {
    if (!m_thread.joinable()) return;
    m_stopEvent.Signal();
    if (m_thread.get_id() == std::this_thread::get_id()) {
        // A body that destroys its own thread object cannot join itself.
        m_thread.detach();
    } else {
        m_thread.join();
    }
    m_stopEvent.Reset();
}

}  // namespace kestrix
