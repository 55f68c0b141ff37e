// PushGate: the control thread's gate against the producer. One atomic word
// holds a closed bit and the count of pushes inside, so the producer pays one
// read-modify-write to enter and one to leave, and the control thread can
// shut the gate and wait until the last push is out before it frees storage.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace corvanlet {

class PushGate {
  public:
    // Producer. True when the gate is open: the push may touch the ring, and
    // Leave must follow. False: the ring is closed; nothing to undo.
    bool Enter() {
        // Acquire pairs with the release in Open: the storage is set up.
        if (word_.fetch_add(1, std::memory_order_acquire) & kClosed) {
            word_.fetch_sub(1, std::memory_order_relaxed);
            return false;
        }
        return true;
    }
    // Producer: the push no longer touches the ring. Release pairs with the
    // acquire in Shut.
    void Leave() { word_.fetch_sub(1, std::memory_order_release); }

    // Control: lets pushes in. Clearing only the bit keeps the count of a
    // push that is bouncing off the closed gate right now. Release pairs with
    // the acquire in Enter.
    void Open() { word_.fetch_and(~kClosed, std::memory_order_release); }
    // Control: keeps new pushes out. acq_rel pairs with Enter's increment.
    void Close() { word_.fetch_or(kClosed, std::memory_order_acq_rel); }
    // Control: no push is inside. Acquire pairs with the release in Leave.
    bool Empty() const { return (word_.load(std::memory_order_acquire) & ~kClosed) == 0; }
    // Control: Close, then waits until every push inside has left.
    void Shut() {
        Close();
        while (!Empty()) platform::SleepMs(0);
    }

  private:
    friend struct PushGateTestPeer;  // plays a bouncing push in two halves
    static constexpr std::uint32_t kClosed = 0x80000000u;
    std::atomic<std::uint32_t> word_{kClosed};
};

}  // namespace corvanlet
