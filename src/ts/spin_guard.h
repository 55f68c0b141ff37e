// SpinGuard: holds a lock of one atomic flag for a scope, for figures that
// one thread publishes and others copy (a few kilobytes at most, rarely).
// Acquire pairs with the release in the destructor of the previous holder.
#pragma once

#include <atomic>
#include <thread>

namespace corvanlet::ts {

class SpinGuard {
  public:
    explicit SpinGuard(std::atomic<bool>& lock) : lock_(lock) {
        // Held for one copy; a holder preempted on one core gets the
        // processor back at once.
        while (lock_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    }
    ~SpinGuard() { lock_.store(false, std::memory_order_release); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

  private:
    std::atomic<bool>& lock_;
};

}  // namespace corvanlet::ts
