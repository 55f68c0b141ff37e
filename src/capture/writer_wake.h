// WriterWake: how a ring's writer waits for data and its producer wakes it,
// without the producer paying for a wake-up it does not need.
//
// The guarantee: a producer that publishes a record and then calls
// LookAfterPublish cannot miss a writer that announced a wait and then found
// no record. Either its look sees the announcement (and it can wake the
// writer), or the writer's look after announcing sees the record.
//
// Both sides do their part with a read-modify-write of one atomic word.
// Such operations on one variable are totally ordered: either the producer's
// comes later and reads the writer's announcement, or the writer's comes
// later, acquires from the producer's release and sees the record.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace corvanlet {

class WriterWake {
  public:
    enum Mode : std::uint32_t {
        kRunning,   // draining; needs no signal
        kNapping,   // waiting a short, bounded time; signalled only when it matters
        kSleeping,  // waiting until signalled
    };

    // Writer, before it waits: announces the mode, then looks at the ring
    // once more (`hasWork`). When that finds data, it takes the announcement
    // back and returns false: no waiting. True: go on to Wait.
    template <typename Look>
    bool PrepareWait(Mode mode, Look hasWork) {
        Announce(mode);
        if (!hasWork()) return true;
        Resume();
        return false;
    }
    // Writer: waits up to `timeoutMs` in the announced mode, then runs again.
    // True when a producer woke it; false when the time ran out.
    bool Wait(Mode mode, std::uint32_t timeoutMs);

    // Producer, after publishing a record: the writer's mode.
    Mode LookAfterPublish();
    // Producer or control: takes the writer out of a nap or sleep and
    // signals it. False (no signal) when it was running already.
    bool Wake();
    // A plain look, for callers that published nothing new.
    Mode Peek() const { return static_cast<Mode>(mode_.load(std::memory_order_relaxed)); }
    // Before the writer starts.
    void Reset() { mode_.store(kRunning, std::memory_order_relaxed); }

  private:
    void Announce(Mode mode);
    void Resume();

    alignas(64) std::atomic<std::uint32_t> mode_{kRunning};
    platform::WakeSignal signal_;
};

}  // namespace corvanlet
