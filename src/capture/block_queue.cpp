#include "capture/block_queue.h"

#include <cstring>

namespace corvanlet {

namespace {
constexpr std::uint32_t kTagOffset = 4;
}

std::atomic_ref<std::int32_t> BlockQueue::LengthAt(std::uint32_t offset) const {
    return std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(storage_ + offset / 4));
}

std::uint32_t BlockQueue::Next(std::uint32_t p, std::int32_t length) const {
    const std::uint32_t next = p + RecordSize(length);
    return next > lastStart_ ? 0 : next;
}

void BlockQueue::Reset(std::uint32_t* storage, std::uint32_t bytes, std::int32_t maxBlock,
                       std::uint32_t start) {
    storage_ = storage;
    capacity_ = bytes & ~3u;
    maxBlock_ = maxBlock;
    lastStart_ = capacity_ - RecordSize(maxBlock);
    start &= ~3u;
    if (start > lastStart_) start = 0;
    producer_.writePos = start;
    producer_.cachedReadPos = start;
    consumer_.readPos.store(start, std::memory_order_relaxed);
    LengthAt(start).store(0, std::memory_order_relaxed);
}

bool BlockQueue::HasRoom(std::uint32_t w, std::uint32_t size, std::uint32_t next,
                         std::uint32_t r) const {
    if (r == w) return next != w;              // empty
    if (r < w) return !(next == 0 && r == 0);  // the terminator must not land on an unread record
    return w + size < r;                       // record and terminator end before r
}

std::uint32_t BlockQueue::QueuedBytes() const {
    const std::uint32_t w = producer_.writePos;
    const std::uint32_t r = producer_.cachedReadPos;
    return w >= r ? w - r : capacity_ - r + w;
}

void BlockQueue::RefreshReadPosition() {
    // Acquire pairs with Release: the consumer is done with what lies before.
    producer_.cachedReadPos = consumer_.readPos.load(std::memory_order_acquire);
}

bool BlockQueue::Enqueue(const void* data, std::int32_t length, std::uint8_t tag, bool afterGap) {
    if (length > maxBlock_ || length < 1) return false;
    const std::uint32_t w = producer_.writePos;
    const std::uint32_t size = RecordSize(length);
    const std::uint32_t next = Next(w, length);
    if (!HasRoom(w, size, next, producer_.cachedReadPos)) {
        RefreshReadPosition();
        if (!HasRoom(w, size, next, producer_.cachedReadPos)) return false;
    }
    LengthAt(next).store(0, std::memory_order_relaxed);
    auto* bytes = reinterpret_cast<std::uint8_t*>(storage_);
    std::memcpy(bytes + w + kHeaderSize, data, static_cast<std::size_t>(length));
    bytes[w + kTagOffset] = tag;
    bytes[w + kTagOffset + 1] = afterGap ? 1 : 0;
    producer_.writePos = next;
    // Release publishes data, tag and the terminator behind them; pairs with
    // the acquire in Peek.
    LengthAt(w).store(length, std::memory_order_release);
    return true;
}

bool BlockQueue::Peek(std::uint32_t at, Record& record) const {
    // Acquire pairs with the release in Enqueue: the record is complete.
    const std::int32_t length = LengthAt(at).load(std::memory_order_acquire);
    if (length == 0) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(storage_);
    record = {bytes + at + kHeaderSize, length, bytes[at + kTagOffset],
              bytes[at + kTagOffset + 1] != 0, Next(at, length)};
    return true;
}

void BlockQueue::Release(std::uint32_t position) {
    // Release pairs with the producer's acquire in RefreshReadPosition.
    consumer_.readPos.store(position, std::memory_order_release);
}

}  // namespace corvanlet
