#include "host/service_browse.h"

#include "platform/platform.h"
#include "ts/packet.h"
#include "ts/si_tables.h"

namespace corvanlet {

ServiceBrowse::State ServiceBrowse::Start(const HostLink& link, const ts::TextOptions& text) {
    Stop(platform::Teardown::kNone);
    startedAt_ = platform::TickCountMs();
    if (!browser_->Open(text)) {
        state_ = State::kNoRing;
        return state_;
    }
    route_.emplace(*browser_);
    pat_.emplace(link, ts::kPatPid);
    sdt_.emplace(link, ts::kSdtPid);
    state_ = State::kBrowsing;
    if (!pat_->Accepted() || !sdt_->Accepted()) {
        Stop(platform::Teardown::kNone);
        state_ = State::kRefused;  // until the next Stop or Start
    }
    return state_;
}

void ServiceBrowse::Stop(platform::Teardown how) {
    if (!route_) {
        state_ = State::kOff;
        return;
    }
    // The host delivers until each removal returns; then nothing reaches the
    // ring once the route has ended.
    if (pat_) pat_->Remove(how);
    if (sdt_) sdt_->Remove(how);
    route_->End(how);
    route_.reset();
    pat_.reset();
    sdt_.reset();
    (void)browser_->Close(how);
    state_ = State::kOff;
}

bool ServiceBrowse::Read(ts::ServiceListView& out) const {
    return browser_->Read(out);
}

}  // namespace corvanlet
