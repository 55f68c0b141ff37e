#include "capture/service_browser.h"

#include <cstdio>

#include "ts/spin_guard.h"

namespace corvanlet {

using Guard = ts::SpinGuard;

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

bool ServiceBrowser::NameOf(std::uint16_t id, char* out, std::size_t size) const {
    if (size == 0) return false;
    out[0] = '\0';
    Guard guard(lock_);
    for (std::uint32_t i = 0; i < shown_.count; ++i) {
        const ts::ServiceEntry& entry = shown_.services[i];
        if (entry.id != id || !entry.named || entry.name[0] == '\0') continue;
        std::snprintf(out, size, "%s", entry.name);
        return true;
    }
    return false;
}

}  // namespace corvanlet
