#include "capture/service_browser.h"

#include <thread>

namespace corvanlet {

namespace {

class Guard {
  public:
    explicit Guard(std::atomic<bool>& lock) : lock_(lock) {
        // Held for one copy of the list; a holder preempted gets the
        // processor back at once.
        while (lock_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    }
    ~Guard() { lock_.store(false, std::memory_order_release); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    std::atomic<bool>& lock_;
};

}  // namespace

bool ServiceBrowser::Open(const ts::TextOptions& text) {
    list_.Reset(text);
    {
        Guard guard(lock_);
        shown_ = list_.View();
    }
    return Init(kCapacity, kMaxBlock);
}

void ServiceBrowser::ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    list_.Feed(data, length);
}

void ServiceBrowser::EndBatch() {
    const ts::ServiceListView& now = list_.View();
    Guard guard(lock_);
    if (shown_.changes != now.changes) shown_ = now;
}

bool ServiceBrowser::Read(ts::ServiceListView& out) const {
    Guard guard(lock_);
    if (out.changes == shown_.changes) return false;
    out = shown_;
    return true;
}

}  // namespace corvanlet
