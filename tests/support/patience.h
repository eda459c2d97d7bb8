#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace rivelo::test {

// How long a test waits for something that should follow promptly.
inline constexpr std::chrono::seconds kPatience{10};

// Ends the test program when a wait runs out: a thread is then stuck inside
// the code under test, and nothing could be torn down cleanly. Safe to call
// from any thread.
[[noreturn]] inline void give_up(const char* what) {
    std::fprintf(stderr, "gave up waiting for %s\n", what);
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace rivelo::test
