#include "capture/continuity_check.h"

#include <cstring>

namespace corvanlet {

namespace {

constexpr std::uint8_t kSync = 0x47;
constexpr std::uint16_t kNullPid = 0x1FFF;

// A hash of the packet's payload (after the adaptation field, whose clock
// reference a duplicate may change), to tell a true duplicate from a packet
// that only repeats the counter. Word by word: cheap enough for every packet
// of a whole transponder.
std::uint64_t PayloadHash(const std::uint8_t* packet, int start) {
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(start);
    int at = start;
    for (; at + 8 <= 188; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, packet + at, 8);
        hash = (hash ^ word) * 0x100000001B3ull;
        hash ^= hash >> 29;
    }
    for (; at < 188; ++at) hash = (hash ^ packet[at]) * 0x100000001B3ull;
    return hash;
}

void Add(std::atomic<std::uint64_t>& counter) {
    // Single writer: a plain load and store; the store is atomic.
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

void ContinuityCheck::Reset() {
    for (PidState& state : pids_) state = {0, -1, false};
    continuityErrors_.store(0, std::memory_order_relaxed);
    transportErrors_.store(0, std::memory_order_relaxed);
    sawPackets_.store(false, std::memory_order_relaxed);
}

void ContinuityCheck::Check(const std::uint8_t* data, std::int32_t length) {
    if (length <= 0 || length % kPacketSize != 0) return;
    for (std::int32_t at = 0; at < length; at += kPacketSize) {
        if (data[at] != kSync) return;  // not packets: nothing is checked
    }
    if (!sawPackets_.load(std::memory_order_relaxed))
        sawPackets_.store(true, std::memory_order_relaxed);
    for (std::int32_t at = 0; at < length; at += kPacketSize) CheckPacket(data + at);
}

void ContinuityCheck::CheckPacket(const std::uint8_t* packet) {
    if (packet[1] & 0x80) {  // transport-error indicator
        Add(transportErrors_);
        return;
    }
    const auto pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
    if (pid == kNullPid) return;
    const std::uint8_t control = (packet[3] >> 4) & 0x3;
    const bool hasPayload = (control & 0x1) != 0;
    const bool hasAdaptation = (control & 0x2) != 0;
    const auto counter = static_cast<std::int8_t>(packet[3] & 0x0F);
    const bool discontinuity = hasAdaptation && packet[4] > 0 && (packet[5] & 0x80) != 0;
    const int payloadStart = hasAdaptation ? 5 + packet[4] : 4;
    const std::uint64_t hash =
        hasPayload ? PayloadHash(packet, payloadStart < 188 ? payloadStart : 188) : 0;

    PidState& state = pids_[pid];
    if (state.counter >= 0 && !discontinuity) {
        bool ok;
        bool duplicate = false;
        if (!hasPayload) {
            ok = counter == state.counter;
        } else if (counter == state.counter) {
            duplicate = true;
            ok = !state.duplicateSeen && hash == state.payloadHash;
        } else {
            ok = counter == ((state.counter + 1) & 0x0F);
        }
        if (!ok) Add(continuityErrors_);
        state.duplicateSeen = duplicate;
    } else {
        state.duplicateSeen = false;
    }
    state.counter = counter;
    if (hasPayload) state.payloadHash = hash;
}

}  // namespace corvanlet
