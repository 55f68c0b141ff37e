// ContinuityCheck: counts what the received stream says was lost, on the
// writer's thread. The blocks, joined in delivery order, are read as 188-byte
// transport packets (each starting with 0x47), so a host may cut packets
// across blocks. Each packet is checked, per PID, by the continuity counter
// rules of ISO/IEC 13818-1, 2.4.3.3:
//   - a packet that carries payload has the previous counter plus one (mod 16);
//   - a packet without payload repeats the previous counter;
//   - a duplicate (the same counter and the same payload) may come only as the
//     very next packet of its PID after a packet with payload, and only once;
//   - a discontinuity indicator in the adaptation field starts afresh;
//   - a packet with the transport-error indicator set is counted once, as a
//     transport error; its header cannot be trusted, so its PID starts afresh;
//   - a packet whose adaptation_field_control is 00 (reserved) is discarded
//     unchecked, as a decoder discards it;
//   - the null PID 0x1FFF is not checked.
// Where the bytes stop being packets (a sync byte missing where one is due),
// nothing is checked and every PID starts afresh once the packets come back,
// so a stream that was never packets, or a cut in it, counts no error.
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
    // Writer thread: blocks were lost here before they could be checked (the
    // module refused them): a gap that says nothing of the stream. Every PID
    // starts afresh and a packet begun is dropped, as where sync is lost.
    void Restart() { LoseSync(); }

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
    // Packets so far, and those whose transport_scrambling_control is not 00
    // (no player can decode them without the keys).
    std::uint64_t Packets() const { return packets_.load(std::memory_order_relaxed); }
    std::uint64_t Scrambled() const { return scrambled_.load(std::memory_order_relaxed); }
    // Whether the latest packet (other than stuffing) was scrambled.
    bool LatestScrambled() const { return latestScrambled_.load(std::memory_order_relaxed); }
    // Packets, scrambled packets and continuity errors of one PID (13 bits).
    std::uint32_t PidPackets(std::uint16_t pid) const { return Get(pidPackets_, pid); }
    std::uint32_t PidScrambled(std::uint16_t pid) const { return Get(pidScrambled_, pid); }
    std::uint32_t PidErrors(std::uint16_t pid) const { return Get(pidErrors_, pid); }

  private:
    struct PidState {
        std::uint64_t payloadHash;
        std::uint32_t epoch;  // the state is known only while this is epoch_
        std::int8_t counter;
        bool duplicateAllowed;  // the last packet carried payload and was no duplicate
    };

    // Where the block's packets start (past the rest of a packet begun in an
    // earlier block), or -1 when a sync byte is missing where one is due.
    std::int32_t FirstPacket(const std::uint8_t* data, std::int32_t length) const;
    void CheckPackets(const std::uint8_t* data, std::int32_t length, std::int32_t first);
    // The bytes are not packets here: drop the packet begun and forget every PID.
    void LoseSync();
    void CheckPacket(const std::uint8_t* packet);

    PidState pids_[8192];
    // Written by the writer thread only, read by others. Relaxed: counters.
    static std::uint32_t Get(const std::atomic<std::uint32_t> (&counts)[8192], std::uint16_t pid) {
        return counts[pid & 0x1FFF].load(std::memory_order_relaxed);
    }
    std::atomic<std::uint32_t> pidPackets_[8192];
    std::atomic<std::uint32_t> pidScrambled_[8192];
    std::atomic<std::uint32_t> pidErrors_[8192];
    std::uint32_t epoch_ = 1;
    std::uint8_t partial_[kPacketSize];  // a packet begun in an earlier block
    std::int32_t partialBytes_ = 0;
    // Written by the writer thread only; read by others for display and logs.
    // Relaxed: plain counters.
    std::atomic<std::uint64_t> continuityErrors_{0};
    std::atomic<std::uint64_t> transportErrors_{0};
    std::atomic<std::uint64_t> packets_{0};
    std::atomic<std::uint64_t> scrambled_{0};
    std::atomic<bool> latestScrambled_{false};
    std::atomic<bool> sawPackets_{false};
};

}  // namespace corvanlet
