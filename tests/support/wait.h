// Bounded waits, so that a broken test fails instead of hanging.
#pragma once

#include <cstdint>
#include <thread>

#include "platform/platform.h"

namespace corvanlet::testing {

// Polls `done` every millisecond for at most `ms`; true when it became true.
template <class F>
[[nodiscard]] bool WaitFor(F done, std::uint32_t ms = 10000) {
    const std::uint32_t start = platform::TickCountMs();
    while (!done()) {
        if (platform::TickCountMs() - start >= ms) return false;
        platform::SleepMs(1);
    }
    return true;
}

// Tries `done` again and again, yielding between tries, for at most `ms`; true
// when it became true. For waits too short, or too frequent, for a sleep.
template <class F>
[[nodiscard]] bool SpinFor(F done, std::uint32_t ms = 10000) {
    if (done()) return true;  // the usual case reads no clock
    const std::uint32_t start = platform::TickCountMs();
    do {
        if (platform::TickCountMs() - start >= ms) return false;
        std::this_thread::yield();
    } while (!done());
    return true;
}

}  // namespace corvanlet::testing
