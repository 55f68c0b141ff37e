// StreamFilter: one registration with the host, asking it to deliver one
// PID's data blocks (a FilterRegistration sent to the host's window);
// removing it sends the removal. DeliveryRoute: where what the host
// delivers through DataCallback goes while it exists, unchanged into a ring
// (in every mode: a service's tables are read by the ring's writer); ending
// it waits out deliveries still under way, so the ring may be closed right
// after. A recording holds one route
// and one registration per PID, all feeding the same ring.
//
// Only one route is in place at a time: the routing pointer is the one global
// the callback forces on the module, and it is private to stream_filter.cpp.
#pragma once

#include <cstdint>

#include "capture/block_ring.h"
#include "corvanlet/host_api.h"
#include "host/host_link.h"

namespace corvanlet {

class DeliveryRoute {
  public:
    // Every block the host delivers goes into `ring` unchanged.
    explicit DeliveryRoute(BlockRing& ring);
    ~DeliveryRoute() { End(platform::Teardown::kNone); }
    DeliveryRoute(const DeliveryRoute&) = delete;
    DeliveryRoute& operator=(const DeliveryRoute&) = delete;

    // Routes nothing more, then waits until no delivery is still inside the
    // callback. At process exit (`how`) the host's threads are gone: no
    // wait. Once.
    void End(platform::Teardown how);

  private:
    BlockRing& ring_;
    bool ended_ = false;
};

class StreamFilter {
  public:
    // Fills the registration and sends the add message to `link.window`.
    // Route the deliveries first, so blocks the host delivers while still
    // handling it are not lost.
    StreamFilter(const HostLink& link, std::int32_t pid);
    // Removes the registration as Remove does, unless that was done.
    ~StreamFilter();
    StreamFilter(const StreamFilter&) = delete;
    StreamFilter& operator=(const StreamFilter&) = delete;

    // For an accepted registration, sends the removal with the host's
    // handle; the host delivers that PID no more once it returns. At process
    // exit (`how`) the host is gone: nothing is sent. Once.
    void Remove(platform::Teardown how);

    bool Accepted() const { return accepted_; }
    std::int32_t Pid() const { return pid_; }
    // The record the host was given; it stays here, at this address, until
    // the removal (the host may keep its address and writes its handle).
    const FilterRegistration& Registration() const { return registration_; }

  private:
    HWND window_;
    std::int32_t pid_;
    FilterRegistration registration_{};
    bool accepted_ = false;
    bool removed_ = false;
};

// The entry the host calls with each block (cdecl, see host_api.h). Pushes it
// into the routed ring; ignores it when nothing is
// routed. A block delivered while another delivery is still under way (a
// host that breaks the one-thread-at-a-time rule) waits up to 50 ms for it
// to end (the first caller may be preempted inside its turn); only past that
// is it refused and counted. It is never raced.
void CORVANLET_CALL DataCallback(std::uint32_t context, std::int32_t length,
                                 const std::uint8_t* data);

// Since the library was loaded: deliveries that met another under way and
// waited for it, those refused when the wait ran out, and the longest wait.
struct TurnFigures {
    std::uint64_t waits = 0;
    std::uint64_t refusals = 0;
    std::uint64_t longestWaitUs = 0;
};
TurnFigures ReadTurnFigures();

}  // namespace corvanlet
