#pragma once

#include <thread>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

namespace kestrix {

// One step of a short busy wait: tells the processor that this thread only
// looks at memory another thread is about to change.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#endif
}

// Whether a busy wait can ever end before the thread is preempted: with one
// processor, the thread it waits for cannot run meanwhile.
inline bool SpinningHelps() {
    static const bool helps = std::thread::hardware_concurrency() > 1;
    return helps;
}

}  // namespace kestrix
