#include "capture/writer_wake.h"

namespace corvanlet {

void WriterWake::Announce(Mode mode) {
    // acq_rel: the writer's half of the ordering described in the header.
    mode_.exchange(mode, std::memory_order_acq_rel);
}

void WriterWake::Resume() {
    // A read-modify-write, like Announce: it stays in the one total order of
    // the word, so a producer's later look reads "running" or its own wake.
    mode_.exchange(kRunning, std::memory_order_acq_rel);
}

bool WriterWake::Wait(Mode mode, std::uint32_t timeoutMs) {
    const bool woken = signal_.Wait(timeoutMs);
    // If the producer already took us out of that mode, it has signalled too
    // (or is about to: the signal is remembered for the next wait).
    const bool taken = mode_.exchange(kRunning, std::memory_order_acq_rel) != mode;
    return woken || taken;
}

WriterWake::Mode WriterWake::LookAfterPublish() {
    // acq_rel: the producer's half of the ordering described in the header.
    return static_cast<Mode>(mode_.fetch_or(0, std::memory_order_acq_rel));
}

bool WriterWake::Wake() {
    // Relaxed: the signal's own lock orders the hand-over; the exchange only
    // keeps two wakers from signalling twice for one wait.
    if (mode_.exchange(kRunning, std::memory_order_relaxed) == kRunning) return false;
    signal_.Notify();
    return true;
}

}  // namespace corvanlet
