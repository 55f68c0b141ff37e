// StreamFilter: one registration with the host. Creating it asks the host to
// deliver one PID's data blocks (a FilterRegistration sent to the host's
// window) and routes what the host then delivers through DataCallback to a
// ring; destroying it sends the removal and waits out deliveries still under
// way, so the ring may be closed right after.
//
// Only one filter routes at a time: the routing pointer is the one global
// the callback forces on the module, and it is private to stream_filter.cpp.
#pragma once

#include <cstdint>

#include "capture/block_ring.h"
#include "corvanlet/host_api.h"
#include "host/host_link.h"

namespace corvanlet {

class StreamFilter {
  public:
    // Fills the registration, routes deliveries to `target`, and sends the
    // add message to `link.window`. Routing starts before the message, so
    // blocks the host delivers while still handling it are not lost; a host
    // that refuses (or no window at all) leaves nothing routed.
    StreamFilter(const HostLink& link, std::int32_t pid, BlockRing& target);
    // Removes the registration as Remove does, unless that was done.
    ~StreamFilter();
    StreamFilter(const StreamFilter&) = delete;
    StreamFilter& operator=(const StreamFilter&) = delete;

    // For an accepted registration: sends the removal with the host's
    // handle; then routes nothing and waits until no delivery is still inside
    // the callback. At process exit (`how`) the host and its threads are
    // gone: neither. Once only.
    void Remove(platform::Teardown how);

    bool Accepted() const { return accepted_; }
    std::int32_t Pid() const { return pid_; }
    // The record the host was given; it stays here, at this address, until
    // the removal (the host may keep its address and writes its handle).
    const FilterRegistration& Registration() const { return registration_; }

  private:
    HWND window_;
    std::int32_t pid_;
    BlockRing& target_;
    FilterRegistration registration_{};
    bool accepted_ = false;
    bool removed_ = false;
};

// The entry the host calls with each block (cdecl, see host_api.h). Pushes it
// into the routed ring; ignores it when nothing is routed. A block delivered
// while another delivery is still under way (a host that breaks the
// one-thread-at-a-time rule) waits up to half a millisecond for it to end;
// only past that is it refused and counted. It is never raced.
void CORVANLET_CALL DataCallback(std::uint32_t context, std::int32_t length,
                                 const std::uint8_t* data);

}  // namespace corvanlet
