#pragma once

#include <cstdlib>

// A broken property is a finding: abort, so that libFuzzer keeps the input.
inline void Check(bool condition) {
    if (!condition) std::abort();
}
