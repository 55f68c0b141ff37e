// BlockRing: a single-producer, single-consumer queue of data blocks in one
// fixed byte ring, drained by a writer thread that the ring owns.
//
// Threads:
//   producer - calls Push (the host's delivery thread); never blocks or allocates.
//   writer   - the ring's own thread; calls ProcessBlock for each block, in order.
//   control  - calls Init and Close (the host's calling thread).
//
// Record layout (every record starts on a 4-byte boundary):
//
//    offset p                p+4   p+5     p+8                  p+8+length
//   +-----------------------+-----+-------+--------------------+---------+
//   | length (int32, atomic)| tag | pad   | data (length bytes) | pad to 4|
//   +-----------------------+-----+-------+--------------------+---------+
//
// A length word of 0 is the terminator: nothing has been published there yet.
// Push copies data and tag, writes a terminator where the next record will
// start, and only then stores the length (release); the writer reads the
// length with acquire, so a nonzero length means the whole record is there.
//
// Wrap rule, the same for both sides: the next record starts at
// p + 8 + align4(length); if a record of maxBlock bytes would not fit there,
// it starts at 0 instead. Records never run past the end of the storage.
//
// Push never overwrites a record the writer has not finished with: a block
// that does not fit is refused and counted in DroppedBlocks().
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace corvanlet {

class BlockRing {
  public:
    BlockRing() = default;
    virtual ~BlockRing();
    BlockRing(const BlockRing&) = delete;
    BlockRing& operator=(const BlockRing&) = delete;

    // Control thread. Closes an open ring first, then allocates `ringCapacity`
    // bytes (rounded down to a multiple of 4) for blocks of up to
    // `blockLimit` bytes and starts the writer thread. False, with the ring
    // closed and no thread, when the sizes are unusable (the storage must hold
    // two of the largest records), the storage cannot be allocated or the
    // thread cannot start. `startOffset` places the first record (tests use it to land next
    // to the end of the storage); it is aligned down and wrapped by the rule.
    bool Init(std::int32_t ringCapacity, std::int32_t blockLimit, std::uint32_t startOffset = 0);

    // Control thread. Waits for a Push under way to finish, lets the writer
    // hand every accepted block to ProcessBlock, then frees the storage. It
    // never waits for the writer thread to exit, only for it to be done with
    // the ring, so it is safe at library unload. No-op on a closed ring.
    void Close();

    // Producer thread. Blocks of length < 1 and pushes on a closed ring are
    // ignored (true). False, counted in DroppedBlocks(), when the block is
    // longer than maxBlock, `data` is null, or the ring has no room for it.
    bool Push(const void* data, std::int32_t length, std::uint8_t tag);

    // Called when the process is ending and its other threads, the writers
    // among them, are already gone: from then on Close writes what is still
    // queued on its own thread instead of waiting for a writer.
    static void WritersTerminated();

    // Any thread. Counters of the current (or last) ring; Init resets them.
    std::uint64_t DroppedBlocks() const { return droppedBlocks_.load(std::memory_order_relaxed); }
    // Wake-ups the producer had to signal.
    std::uint64_t WakeCalls() const { return wakeCalls_.load(std::memory_order_relaxed); }
    // Safety-net timeouts that found data queued (a lost wake-up; should stay 0).
    std::uint64_t LateWakeups() const { return lateWakeups_.load(std::memory_order_relaxed); }

    // How the writer waits. While data flows it naps between drains, at most
    // `napMs` and less when the stream is fast (about the time the producer
    // takes to fill an eighth of the ring); the producer wakes it early only
    // once the ring is half full or a block finds it full, so the host's
    // thread rarely pays for a wake-up. After `idleNapsBeforeSleep` naps that
    // found nothing it sleeps until the next push wakes it; `safetyTimeoutMs`
    // bounds that sleep in case a wake-up were ever lost (counted in
    // LateWakeups).
    struct Timing {
        std::uint32_t napMs = 10;
        std::uint32_t idleNapsBeforeSleep = 5;
        std::uint32_t safetyTimeoutMs = 100;
    };
    // Control thread, while the ring is closed.
    void SetTiming(const Timing& timing) { timing_ = timing; }

  protected:
    // Writer thread: one block, in push order. The base version does nothing.
    virtual void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag);
    // Writer thread: the ring has just been emptied (also before it closes).
    // The base version does nothing.
    virtual void OnDrained() {}

  private:
    friend struct BlockRingTestAccess;

    static constexpr std::uint32_t kHeaderSize = 8;
    static constexpr std::uint32_t kTagOffset = 4;

    enum WriterMode : std::uint32_t { kRunning, kNapping, kSleeping };
    // Bit set in gate_ while the ring is closed or closing.
    static constexpr std::uint32_t kGateClosed = 0x80000000u;

    static void WriterEntry(void* self);
    void WriterLoop();
    std::uint32_t Drain();  // bytes of ring space freed
    bool HasQueued() const;
    bool Enqueue(const void* data, std::int32_t length, std::uint8_t tag);
    bool HasRoom(std::uint32_t w, std::uint32_t size, std::uint32_t next, std::uint32_t r) const;
    std::uint32_t QueuedBytes(std::uint32_t r) const;
    void WakeWriterIfNeeded();
    std::uint32_t NextPosition(std::uint32_t p, std::int32_t length) const;
    std::atomic_ref<std::int32_t> LengthAt(std::uint32_t offset) const;

    // Set by Init on the control thread before the ring opens; read-only after.
    std::uint32_t* storage = nullptr;
    std::uint32_t capacity = 0;
    std::int32_t maxBlock = 0;
    std::uint32_t lastStart_ = 0;  // the largest offset at which a record may start
    std::uint32_t wakeThreshold_ = 0;
    Timing timing_;

    // Producer only.
    alignas(64) std::uint32_t writePos = 0;
    std::uint32_t cachedReadPos_ = 0;  // the writer's position when last looked at
    std::atomic<std::uint64_t> droppedBlocks_{0};
    std::atomic<std::uint64_t> wakeCalls_{0};

    // Written by the writer, read by the producer.
    alignas(64) std::atomic<std::uint32_t> readPos{0};
    std::atomic<std::uint64_t> lateWakeups_{0};

    // Announced by the writer, looked at (and reset) by the producer; on a
    // line of its own so that the producer's look does not slow readPos.
    alignas(64) std::atomic<std::uint32_t> writerMode_{kRunning};

    // Control thread against the others.
    alignas(64) std::atomic<std::uint32_t> gate_{kGateClosed};  // closed bit + pushes under way
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> writerDone_{true};
    platform::WakeSignal wake_;

    static std::atomic<bool> writersTerminated_;
};

}  // namespace corvanlet
