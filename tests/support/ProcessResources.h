#pragma once

// What the process holds right now, for tests that check that nothing is
// left behind.

#include <cstddef>

namespace kestrix::test {

struct ProcessResources {
    int descriptors = 0;
    int threads = 0;
    // Bytes the program has allocated and not yet freed.
    size_t heapBytes = 0;
};

// False where the platform offers no way to count them.
bool ReadProcessResources(ProcessResources& out);

// What the process has used so far, all threads together.
struct ProcessUsage {
    long long cpuMicroseconds = 0;  // user and system
    long long contextSwitches = 0;  // voluntary and involuntary
};

bool ReadProcessUsage(ProcessUsage& out);

}  // namespace kestrix::test
