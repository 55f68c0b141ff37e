// ServiceBrowse: a look at the transponder's services while the options
// dialog is open and nothing records: PID 0 and PID 0x11 registered with the
// host and delivered into a ServiceBrowser, which lists the services by
// name. Only one route may be in place at a time: a recording ends the
// browse before it registers anything of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "capture/service_browser.h"
#include "host/host_link.h"
#include "host/stream_filter.h"

namespace corvanlet {

class ServiceBrowse {
  public:
    enum class State {
        kOff,       // not browsing
        kBrowsing,  // both registrations accepted
        kRefused,   // the host refused one (nothing stays registered)
        kNoRing,    // the ring could not be had
    };

    ServiceBrowse() = default;
    ~ServiceBrowse() { Stop(platform::Teardown::kNone); }
    ServiceBrowse(const ServiceBrowse&) = delete;
    ServiceBrowse& operator=(const ServiceBrowse&) = delete;

    // Control thread: ends any browse under way, then registers the two
    // PIDs; the state says how that went.
    State Start(const HostLink& link, const ts::TextOptions& text);
    // Control thread: removes the registrations, ends the route, closes the
    // ring. At process exit (`how`) the host is gone: nothing is sent.
    void Stop(platform::Teardown how);
    State Current() const { return state_; }
    // The tick count at the last Start.
    std::uint32_t StartedAt() const { return startedAt_; }
    // What the list says now; false while it is what `out` holds.
    bool Read(ts::ServiceListView& out) const;
    // The list's name for service `id`, as ServiceBrowser::NameOf.
    bool NameOf(std::uint16_t id, char* out, std::size_t size) const {
        return browser_->NameOf(id, out, size);
    }

  private:
    std::unique_ptr<ServiceBrowser> browser_ = std::make_unique<ServiceBrowser>();
    std::optional<DeliveryRoute> route_;
    std::optional<StreamFilter> pat_;
    std::optional<StreamFilter> sdt_;
    State state_ = State::kOff;
    std::uint32_t startedAt_ = 0;
};

}  // namespace corvanlet
