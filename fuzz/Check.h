#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property is a finding: say which, and abort so that libFuzzer
// keeps the input.
inline void CheckAt(bool condition, const char* file, int line) {
    if (condition) return;
    std::fprintf(stderr, "check failed at %s:%d\n", file, line);
    std::abort();
}

#define Check(condition) CheckAt((condition), __FILE__, __LINE__)
