// ContinuityCheck: counts what the received stream says was lost, on the
// writer's thread. A block made of whole 188-byte transport packets (each
// starting with 0x47) is checked packet by packet, per PID, by the continuity
// counter rules of ISO/IEC 13818-1, 2.4.3.3:
//   - a packet that carries payload has the previous counter plus one (mod 16);
//   - a packet without payload repeats the previous counter;
//   - one duplicate may follow a packet: the same counter and the same payload
//     (a second duplicate, or the same counter with another payload, is an error);
//   - a discontinuity indicator in the adaptation field starts afresh;
//   - a packet with the transport-error indicator set is counted as a
//     transport error and not checked, as its header cannot be trusted;
//   - the null PID 0x1FFF is not checked.
// A block that is not whole packets is recorded as always and not checked.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvanlet {

class ContinuityCheck {
  public:
    static constexpr std::int32_t kPacketSize = 188;

    // Writer thread: forgets every PID's history and the counts.
    void Reset();
    // Writer thread: one block as the host delivered it.
    void Check(const std::uint8_t* data, std::int32_t length);

    // Any thread.
    std::uint64_t ContinuityErrors() const {
        return continuityErrors_.load(std::memory_order_relaxed);
    }
    std::uint64_t TransportErrors() const {
        return transportErrors_.load(std::memory_order_relaxed);
    }
    // Whether any block so far was whole packets: when none was, the counts
    // say nothing about the stream.
    bool SawPackets() const { return sawPackets_.load(std::memory_order_relaxed); }

  private:
    struct PidState {
        std::uint64_t payloadHash;
        std::int8_t counter;  // -1: no packet of this PID yet
        bool duplicateSeen;
    };

    void CheckPacket(const std::uint8_t* packet);

    PidState pids_[8192];
    // Written by the writer thread only; read by others for display and logs.
    // Relaxed: plain counters.
    std::atomic<std::uint64_t> continuityErrors_{0};
    std::atomic<std::uint64_t> transportErrors_{0};
    std::atomic<bool> sawPackets_{false};
};

}  // namespace corvanlet
