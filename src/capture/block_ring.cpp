#include "capture/block_ring.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace corvanlet {

namespace {
constexpr std::uint32_t AlignUp4(std::uint32_t n) {
    return (n + 3u) & ~3u;
}
}  // namespace

std::atomic<bool> BlockRing::writersTerminated_{false};

void BlockRing::WritersTerminated() {
    writersTerminated_.store(true, std::memory_order_release);
}

BlockRing::~BlockRing() {
    Close();
}

void BlockRing::ProcessBlock(const std::uint8_t*, std::int32_t, std::uint8_t) {}

std::atomic_ref<std::int32_t> BlockRing::LengthAt(std::uint32_t offset) const {
    return std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(storage + offset / 4));
}

std::uint32_t BlockRing::NextPosition(std::uint32_t p, std::int32_t length) const {
    const std::uint32_t next = p + kHeaderSize + AlignUp4(static_cast<std::uint32_t>(length));
    return next > lastStart_ ? 0 : next;
}

bool BlockRing::Init(std::int32_t ringCapacity, std::int32_t blockLimit,
                     std::uint32_t startOffset) {
    Close();
    if (blockLimit < 1 || blockLimit > 0x10000000 || ringCapacity < 1) return false;
    const std::uint32_t size = static_cast<std::uint32_t>(ringCapacity) & ~3u;
    const std::uint32_t slot = kHeaderSize + AlignUp4(static_cast<std::uint32_t>(blockLimit));
    // Room for two largest records keeps a record's successor off its own start.
    if (size / 2 < slot) return false;

    storage = new (std::nothrow) std::uint32_t[size / 4];
    if (storage == nullptr) return false;
    capacity = size;
    maxBlock = blockLimit;
    lastStart_ = size - slot;
    wakeThreshold_ = size / 2;

    std::uint32_t start = startOffset & ~3u;
    if (start > lastStart_) start = 0;
    writePos = start;
    cachedReadPos_ = start;
    readPos.store(start, std::memory_order_relaxed);
    LengthAt(start).store(0, std::memory_order_relaxed);
    droppedBlocks_.store(0, std::memory_order_relaxed);
    wakeCalls_.store(0, std::memory_order_relaxed);
    lateWakeups_.store(0, std::memory_order_relaxed);
    writerMode_.store(kRunning, std::memory_order_relaxed);
    stopRequested.store(false, std::memory_order_relaxed);
    writerDone_.store(false, std::memory_order_relaxed);

    // Thread creation orders everything above before the writer's first step.
    if (!platform::StartDetachedThread(&BlockRing::WriterEntry, this)) {
        writerDone_.store(true, std::memory_order_relaxed);
        delete[] storage;
        storage = nullptr;
        return false;
    }
    // Opens the ring to pushes; release pairs with the acquire in Push, which
    // then sees the storage and positions set above. Clearing only the bit
    // keeps the count of a push that is bouncing off the closed gate right now.
    gate_.fetch_and(~kGateClosed, std::memory_order_release);
    return true;
}

void BlockRing::Close() {
    if (storage == nullptr) return;
    // Keep new pushes off, then wait for one under way to leave the storage.
    // acq_rel/acquire pair with the release decrement at the end of Push.
    gate_.fetch_or(kGateClosed, std::memory_order_acq_rel);
    while ((gate_.load(std::memory_order_acquire) & ~kGateClosed) != 0) platform::SleepMs(0);

    // Release pairs with the writer's acquire: every accepted record is
    // visible to its final drain.
    stopRequested.store(true, std::memory_order_release);
    writerMode_.store(kRunning, std::memory_order_relaxed);
    wake_.Notify();
    // Acquire pairs with the writer's last store: after it the writer no
    // longer touches the ring, although its thread may not have exited yet.
    while (!writerDone_.load(std::memory_order_acquire)) {
        if (writersTerminated_.load(std::memory_order_acquire)) {
            Drain();  // the writer is gone: write what it left behind
            break;
        }
        platform::SleepMs(1);
    }

    delete[] storage;
    storage = nullptr;
}

bool BlockRing::Push(const void* data, std::int32_t length, std::uint8_t tag) {
    if (length < 1) return true;
    // Acquire pairs with the release in Init; the increment tells Close that a
    // push is under way.
    if (gate_.fetch_add(1, std::memory_order_acquire) & kGateClosed) {
        gate_.fetch_sub(1, std::memory_order_relaxed);
        return true;
    }
    const bool accepted = Enqueue(data, length, tag);
    if (!accepted) droppedBlocks_.fetch_add(1, std::memory_order_relaxed);
    // Release pairs with Close's acquire: after this the storage may be freed.
    gate_.fetch_sub(1, std::memory_order_release);
    return accepted;
}

bool BlockRing::HasRoom(std::uint32_t w, std::uint32_t size, std::uint32_t next,
                        std::uint32_t r) const {
    if (r == w) return next != w;              // empty
    if (r < w) return !(next == 0 && r == 0);  // the terminator must not land on an unread record
    return w + size < r;                       // record and terminator end before r
}

std::uint32_t BlockRing::QueuedBytes(std::uint32_t r) const {
    return writePos >= r ? writePos - r : capacity - r + writePos;
}

bool BlockRing::Enqueue(const void* data, std::int32_t length, std::uint8_t tag) {
    if (data == nullptr || length > maxBlock) return false;
    const std::uint32_t w = writePos;
    const std::uint32_t size = kHeaderSize + AlignUp4(static_cast<std::uint32_t>(length));
    const std::uint32_t next = NextPosition(w, length);
    if (!HasRoom(w, size, next, cachedReadPos_)) {
        // Acquire pairs with the writer's release after it finished with a record.
        cachedReadPos_ = readPos.load(std::memory_order_acquire);
        if (!HasRoom(w, size, next, cachedReadPos_)) {
            // Full: a napping writer must not wait out its nap. Nothing new
            // was published, so a plain look at its mode is enough here.
            if (writerMode_.load(std::memory_order_relaxed) != kRunning &&
                writerMode_.exchange(kRunning, std::memory_order_relaxed) != kRunning) {
                wakeCalls_.fetch_add(1, std::memory_order_relaxed);
                wake_.Notify();
            }
            return false;
        }
    }
    LengthAt(next).store(0, std::memory_order_relaxed);
    auto* bytes = reinterpret_cast<std::uint8_t*>(storage);
    std::memcpy(bytes + w + kHeaderSize, data, static_cast<std::size_t>(length));
    bytes[w + kTagOffset] = tag;
    writePos = next;
    // Release publishes data, tag and the terminator behind them; pairs with
    // the acquire in the writer's Drain.
    LengthAt(w).store(length, std::memory_order_release);
    WakeWriterIfNeeded();
    return true;
}

void BlockRing::WakeWriterIfNeeded() {
    // Dekker with the writer: we publish, then look at its mode; it announces
    // its mode, then looks at the ring. Both sides do it with a read-modify-
    // write of writerMode_, and such operations on one variable are totally
    // ordered: either ours comes later and reads the writer's announcement, or
    // the writer's comes later, acquires from our release and sees the record.
    // So no wake-up is lost.
    const std::uint32_t mode = writerMode_.fetch_or(0, std::memory_order_acq_rel);
    if (mode == kRunning) return;
    if (mode == kNapping) {
        if (QueuedBytes(cachedReadPos_) < wakeThreshold_) return;
        cachedReadPos_ = readPos.load(std::memory_order_acquire);  // same pairing as in Enqueue
        if (QueuedBytes(cachedReadPos_) < wakeThreshold_) return;
    }
    // Relaxed: the signal's own lock orders the hand-over; the exchange only
    // keeps us from signalling twice for one sleep.
    if (writerMode_.exchange(kRunning, std::memory_order_relaxed) == kRunning) return;
    wakeCalls_.fetch_add(1, std::memory_order_relaxed);
    wake_.Notify();
}

void BlockRing::WriterEntry(void* self) {
    static_cast<BlockRing*>(self)->WriterLoop();
}

bool BlockRing::HasQueued() const {
    const std::uint32_t r = readPos.load(std::memory_order_relaxed);  // our own position
    return LengthAt(r).load(std::memory_order_acquire) != 0;          // pairs with Push's release
}

std::uint32_t BlockRing::Drain() {
    auto* bytes = reinterpret_cast<const std::uint8_t*>(storage);
    std::uint32_t r = readPos.load(std::memory_order_relaxed);  // only this thread stores it
    std::uint32_t drained = 0;
    for (;;) {
        // Acquire pairs with the release in Enqueue: the record is complete.
        const std::int32_t length = LengthAt(r).load(std::memory_order_acquire);
        if (length == 0) break;
        ProcessBlock(bytes + r + kHeaderSize, length, bytes[r + kTagOffset]);
        r = NextPosition(r, length);
        // Release pairs with the producer's acquire: we are done with the record.
        readPos.store(r, std::memory_order_release);
        drained += kHeaderSize + AlignUp4(static_cast<std::uint32_t>(length));
    }
    if (drained != 0) OnDrained();
    return drained;
}

void BlockRing::WriterLoop() {
    std::uint32_t idleNaps = 0;
    std::uint32_t napMs = timing_.napMs;
    for (;;) {
        // Acquire pairs with Close's release: a drain after seeing the stop
        // request finds every block that Push accepted.
        const bool stopping = stopRequested.load(std::memory_order_acquire);
        const std::uint32_t drained = Drain();
        if (stopping) break;

        if (drained != 0) {
            // Nap about as long as the producer takes to fill an eighth of the
            // ring at the rate just seen, so that fast streams rarely need the
            // producer's wake-up.
            idleNaps = 0;
            const std::uint64_t scaled = std::uint64_t{napMs} * (capacity / 8) / drained;
            // Shorter at once, longer only step by step: a drain that found
            // little (after an early wake-up) says little about the rate.
            const std::uint64_t longest = std::min<std::uint64_t>(timing_.napMs, napMs * 2u);
            napMs = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(scaled, 1, longest));
        } else {
            ++idleNaps;
            napMs = timing_.napMs;
        }
        const WriterMode mode = idleNaps >= timing_.idleNapsBeforeSleep ? kSleeping : kNapping;
        writerMode_.exchange(mode, std::memory_order_acq_rel);  // Dekker: see WakeWriterIfNeeded
        if (HasQueued() || stopRequested.load(std::memory_order_relaxed)) {
            writerMode_.store(kRunning, std::memory_order_relaxed);
            continue;
        }
        const bool woken = wake_.Wait(mode == kSleeping ? timing_.safetyTimeoutMs : napMs);
        // If the producer already took us out of the sleep, it has signalled too.
        const bool signalled = writerMode_.exchange(kRunning, std::memory_order_relaxed) != mode;
        if (!woken && !signalled && mode == kSleeping && HasQueued()) {
            lateWakeups_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // Release pairs with Close's acquire. This is the writer's last touch of
    // the ring: Close may free it right after.
    writerDone_.store(true, std::memory_order_release);
}

}  // namespace corvanlet
