#include "ts/continuity_check.h"

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

template <typename T>
void Add(std::atomic<T>& counter) {
    // Single writer: a plain load and store; the store is atomic.
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

void ContinuityCheck::Reset() {
    std::memset(pids_, 0, sizeof pids_);
    for (int pid = 0; pid < 8192; ++pid) {
        pidPackets_[pid].store(0, std::memory_order_relaxed);
        pidScrambled_[pid].store(0, std::memory_order_relaxed);
        pidErrors_[pid].store(0, std::memory_order_relaxed);
    }
    packets_.store(0, std::memory_order_relaxed);
    scrambled_.store(0, std::memory_order_relaxed);
    latestScrambled_.store(false, std::memory_order_relaxed);
    epoch_ = 1;
    partialBytes_ = 0;
    continuityErrors_.store(0, std::memory_order_relaxed);
    transportErrors_.store(0, std::memory_order_relaxed);
    sawPackets_.store(false, std::memory_order_relaxed);
}

void ContinuityCheck::LoseSync() {
    partialBytes_ = 0;
    if (++epoch_ == 0) {  // wrapped: clear the states that might match again
        std::memset(pids_, 0, sizeof pids_);
        epoch_ = 1;
    }
}

std::int32_t ContinuityCheck::FirstPacket(const std::uint8_t* data, std::int32_t length) const {
    const std::int32_t first = partialBytes_ == 0 ? 0 : kPacketSize - partialBytes_;
    for (std::int32_t at = first; at < length; at += kPacketSize) {
        if (data[at] != kSync) return -1;
    }
    return first;
}

void ContinuityCheck::Check(const std::uint8_t* data, std::int32_t length) {
    if (data == nullptr || length <= 0) return;
    std::int32_t first = FirstPacket(data, length);
    if (first < 0 && partialBytes_ != 0) {
        // The packet begun earlier was cut short; the block may still start afresh.
        LoseSync();
        first = FirstPacket(data, length);
    }
    if (first < 0) {
        LoseSync();
        return;
    }
    CheckPackets(data, length, first);
}

void ContinuityCheck::CheckPackets(const std::uint8_t* data, std::int32_t length,
                                   std::int32_t first) {
    if (partialBytes_ != 0) {
        const std::int32_t taken = first < length ? first : length;
        std::memcpy(partial_ + partialBytes_, data, static_cast<std::size_t>(taken));
        partialBytes_ += taken;
        if (partialBytes_ < kPacketSize) return;  // the block ended inside the packet
        CheckPacket(partial_);
        partialBytes_ = 0;
    }
    std::int32_t at = first;
    for (; at + kPacketSize <= length; at += kPacketSize) CheckPacket(data + at);
    if (at < length) {
        partialBytes_ = length - at;
        std::memcpy(partial_, data + at, static_cast<std::size_t>(partialBytes_));
    }
}

void ContinuityCheck::CheckPacket(const std::uint8_t* packet) {
    if (!sawPackets_.load(std::memory_order_relaxed))
        sawPackets_.store(true, std::memory_order_relaxed);
    const auto pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
    PidState& state = pids_[pid];
    Add(pidPackets_[pid]);
    Add(packets_);
    if (packet[1] & 0x80) {  // transport-error indicator
        Add(transportErrors_);
        state.epoch = 0;
        return;
    }
    const bool scrambled = (packet[3] & 0xC0) != 0;  // the payload needs keys
    if (scrambled) {
        Add(pidScrambled_[pid]);
        Add(scrambled_);
    }
    if (pid != kNullPid && scrambled != latestScrambled_.load(std::memory_order_relaxed)) {
        latestScrambled_.store(scrambled, std::memory_order_relaxed);  // read by LatestScrambled
    }
    const std::uint8_t control = (packet[3] >> 4) & 0x3;
    if (pid == kNullPid || control == 0) return;
    const bool hasPayload = (control & 0x1) != 0;
    const bool hasAdaptation = (control & 0x2) != 0;
    const auto counter = static_cast<std::int8_t>(packet[3] & 0x0F);
    const bool discontinuity = hasAdaptation && packet[4] > 0 && (packet[5] & 0x80) != 0;
    const int payloadStart = hasAdaptation ? 5 + packet[4] : 4;
    const std::uint64_t hash =
        hasPayload ? PayloadHash(packet, payloadStart < 188 ? payloadStart : 188) : 0;

    bool duplicate = false;
    if (state.epoch == epoch_ && !discontinuity) {
        bool ok;
        if (!hasPayload) {
            ok = counter == state.counter;
        } else if (counter == state.counter) {
            duplicate = true;
            ok = state.duplicateAllowed && hash == state.payloadHash;
        } else {
            ok = counter == ((state.counter + 1) & 0x0F);
        }
        if (!ok) {
            Add(continuityErrors_);
            Add(pidErrors_[pid]);
        }
    }
    state.epoch = epoch_;
    state.counter = counter;
    state.duplicateAllowed = hasPayload && !duplicate;
    if (hasPayload) state.payloadHash = hash;
}

}  // namespace corvanlet
