// BlockRing: a single-producer, single-consumer queue of data blocks in one
// fixed byte ring (a BlockQueue), drained by a writer thread the ring owns.
//
// Threads:
//   producer - calls Push (the host's delivery thread); never blocks or allocates.
//   writer   - the ring's own thread; hands the blocks, in order and in
//              batches, to ProcessBlock and EndBatch.
//   control  - calls Init and Close (the host's calling thread).
//
// The writer gives a batch's space back to the producer only after EndBatch
// has returned, and it records each finished batch as a commit point: the
// ring position after it and the derived class's Mark of its output. If the
// process ends under the writer, Close goes back to the last commit point
// and writes from there, so every block reaches the output once and whole.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/block_queue.h"
#include "capture/push_gate.h"
#include "capture/writer_wake.h"
#include "platform/platform.h"

namespace corvanlet {

class BlockRing {
  public:
    enum class PushResult {
        kQueued,   // in the ring; the writer will hand it over
        kIgnored,  // nothing to queue: no bytes, or the ring is closed
        kRefused,  // dropped and counted: too long, no data, or no room
    };

    // The writer hands blocks over in batches of up to `batchLimit` bytes (at
    // most a quarter of the ring) and kMaxBatchBlocks blocks. 0: every block
    // is a batch of its own.
    explicit BlockRing(std::uint32_t batchLimit = 0) : batchLimit_(batchLimit) {}
    virtual ~BlockRing();
    BlockRing(const BlockRing&) = delete;
    BlockRing& operator=(const BlockRing&) = delete;

    // Control thread. Closes an open ring first, then allocates `ringCapacity`
    // bytes (rounded down to a multiple of 4) for blocks of up to
    // `blockLimit` bytes and starts the writer thread. False, with the ring
    // closed and no thread, when the sizes are unusable (the storage must hold
    // two of the largest records), the storage cannot be allocated or the
    // thread cannot start.
    [[nodiscard]] bool Init(std::int32_t ringCapacity, std::int32_t blockLimit);

    // Control thread. Waits for a Push under way to finish, lets the writer
    // hand every accepted block over, then frees the storage. Safe during an
    // unload (it waits for nothing that needs the loader lock) and at process
    // exit (it waits for nothing a killed thread owned, and writes what the
    // killed writer left); `how` says which of those it is. No-op on a
    // closed ring.
    //
    // While the writer makes progress Close waits for it, however long the
    // ring takes to drain. One output call that has not returned for
    // kStuckMs is another matter (a network share gone, a disk pulled): where
    // the owner allowed it (AllowLeavingBehind), Close returns false at once
    // and leaves the writer behind. The owner may then read the counters,
    // and must give this object up with LetGo, never destroy it: the writer
    // keeps its storage, output and counters, and, if its call ever returns,
    // gives up on the rest and frees it all, this object included. If the
    // library is freed while the call is still stuck, the writer is stopped
    // there for good (platform::StopGivenUpThreads). True in every other
    // case.
    bool Close(platform::Teardown how = platform::Teardown::kNone);
    static constexpr std::uint32_t kStuckMs = 2000;
    // Control thread: this object is on the heap, and its owner will give it
    // up when Close returns false.
    void AllowLeavingBehind() { leavingBehindAllowed_ = true; }
    // Control thread: a destructor's Close must wait, however long.
    void ForbidLeavingBehind() { leavingBehindAllowed_ = false; }
    // Control thread, after a Close that returned false: the owner is done
    // with this object; from now on it belongs to its writer.
    void LetGo() { letGo_.store(true, std::memory_order_release); }  // pairs with EndWriter
    // After a Close that left the writer behind: the blocks and bytes that
    // were accepted but not confirmed written. Zero otherwise.
    std::uint64_t UnconfirmedBlocks() const { return unconfirmedBlocks_; }
    std::uint64_t UnconfirmedBytes() const { return unconfirmedBytes_; }

    // Producer thread.
    PushResult Push(const void* data, std::int32_t length, std::uint8_t tag);
    // Any thread: counts a block of `length` bytes that was refused before it
    // reached Push (one delivered while another was under way). Lengths
    // below 1 are nothing to count.
    void Refuse(std::int32_t length);

    // Any thread. Counters of the current (or last) ring; Init resets them.
    std::uint64_t DroppedBlocks() const {
        return counters_.droppedBlocks.load(std::memory_order_relaxed);
    }
    std::uint64_t DroppedBytes() const {
        return counters_.droppedBytes.load(std::memory_order_relaxed);
    }
    // Wake-ups the producer had to signal.
    std::uint64_t WakeCalls() const { return counters_.wakeCalls.load(std::memory_order_relaxed); }
    // Safety-net timeouts that found data queued (a lost wake-up; should stay 0).
    std::uint64_t LateWakeups() const {
        return counters_.lateWakeups.load(std::memory_order_relaxed);
    }
    // The most the writer found queued at once, in percent of the ring: how
    // close the ring came to refusing blocks.
    std::uint32_t PeakFillPercent() const { return peakFill_.load(std::memory_order_relaxed); }
    // The bytes of storage the open (or last) ring has.
    std::uint32_t Capacity() const { return queue_.Capacity(); }

    // How the writer waits. While data flows it naps between drains, at most
    // `napMs` and less when the stream is fast (about the time the producer
    // takes to fill an eighth of the ring); the producer wakes it early only
    // once the ring is `wakeAtPercent` full or a block finds it full, so the
    // host's thread rarely pays for a wake-up. After `idleNapsBeforeSleep` naps that
    // found nothing it sleeps until the next push wakes it; `safetyTimeoutMs`
    // bounds that sleep in case a wake-up were ever lost (counted in
    // LateWakeups).
    struct Timing {
        std::uint32_t napMs = 10;
        std::uint32_t wakeAtPercent = 50;
        std::uint32_t idleNapsBeforeSleep = 5;
        std::uint32_t safetyTimeoutMs = 100;
    };
    // Control thread, while the ring is closed.
    void SetTiming(const Timing& timing) { timing_ = timing; }

  protected:
    static constexpr std::uint32_t kMaxBatchBlocks = 1024;

    // Control thread: the ring's storage, `words` 32-bit words, or null when
    // it cannot be had. A derived class may stand in for the allocator.
    virtual std::uint32_t* AllocateStorage(std::uint32_t words);

    // Writer thread: one block, in push order. The base version does nothing.
    virtual void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag);
    // Writer thread, right before the block that follows blocks the ring
    // refused (no room, too long, a second caller): what comes next is not
    // what the host delivered right before it.
    virtual void AfterGap() {}
    // Writer thread: the blocks handed over since the last call are a batch;
    // finish it. Called whenever the ring has been emptied, too.
    virtual void EndBatch() {}
    // Writer thread, after EndBatch: how far the output has got, for the
    // commit point. Whatever the derived class can go back to.
    virtual std::uint64_t Mark() { return 0; }
    // At process exit, before Close writes what the killed writer left: put
    // the output back to `mark` (a Mark of a finished batch). The blocks from
    // there on come to ProcessBlockAtExit, on the exiting thread, while a
    // writer not yet ended may still finish a call it had begun: neither may
    // use what the other does.
    virtual void RecoverTo(std::uint64_t) {}
    virtual void ProcessBlockAtExit(const std::uint8_t*, std::int32_t, std::uint8_t) {}
    // At process exit, before the block that follows refused ones (AfterGap).
    virtual void AfterGapAtExit() {}
    // At process exit, after the last ProcessBlockAtExit.
    virtual void EndAtExit() {}
    // Writer thread: a batch's commit point is published and its ring space
    // not yet given back. Nothing to do but in tests that stop a writer there.
    virtual void AfterCommit() {}
    // Writer thread, around each call to the output that may block (a write,
    // a cut): Close tells a stuck writer by them.
    void BeginOutputCall();
    void EndOutputCall();
    // Writer thread: Close left the writer behind; stop at once, writing
    // nothing more.
    bool LeftBehind() const;
    // Writer thread: left behind, or the process is exiting under it.
    bool GivingUp() const;
    // Writer thread, the last step of a writer left behind: release the
    // output (the ring's storage and the object itself go right after).
    virtual void ReleaseLeftBehind() {}
    // Writer thread, once each time round its loop (at least every
    // Timing::safetyTimeoutMs): for checks that do not wait for data.
    virtual void Tick() {}
    // Writer thread, once, when Close asked it to stop and every block is
    // written: the last step before it ends (not for a writer left behind).
    virtual void LastTick() {}
    // Writer thread: pushes from now on are ignored, not counted (the
    // recording has ended by itself). The control thread's Close still
    // waits for a push under way.
    void RefuseFurtherBlocks();

  private:
    static void WriterEntry(void* self);
    void WriterLoop();
    // Bytes of ring space freed. The writer's drain (`byWriter`) stops at
    // once when the process is exiting; the exit path's does not.
    std::uint32_t Drain(bool byWriter);
    void Commit(std::uint32_t position, bool byWriter);
    bool Exiting() const;
    // Control thread: the writer has been in one output call for kStuckMs.
    bool OutputStuck() const;
    // Control thread: takes the writer's ring from it if it is still
    // running; false when it has just finished after all.
    bool LeaveWriterBehind();
    // Writer thread, its last step: says it is done, or, when it was left
    // behind, frees everything itself.
    void EndWriter();
    bool HasQueued() const;
    void WakeWriterIfNeeded();
    void CloseAtProcessExit();
    void FreeStorage();
    struct CommitPoint;
    CommitPoint LastCommit() const;

    const std::uint32_t batchLimit_;

    // Set by Init on the control thread before the ring opens; read-only after.
    std::uint32_t* storage_ = nullptr;
    std::uint32_t batchBytes_ = 0;
    std::uint32_t wakeThreshold_ = 0;
    Timing timing_;

    BlockQueue queue_;  // its producer and consumer positions have lines of their own
    WriterWake wake_;   // so has the writer's mode

    // Touched by every push, so on a line of its own (the counters after it
    // start a line of their own).
    alignas(64) PushGate gate_;
    // A block was refused since the last one queued: the next one queued
    // says so (AfterGap). Set by Refuse (any thread), taken by Push; relaxed:
    // the record's publication carries the tag to the writer.
    std::atomic<bool> gap_{false};

    // Counted off the fast path: on refusals, wake-ups and late wake-ups.
    struct alignas(64) Counters {
        std::atomic<std::uint64_t> droppedBlocks{0};
        std::atomic<std::uint64_t> droppedBytes{0};
        std::atomic<std::uint64_t> wakeCalls{0};
        std::atomic<std::uint64_t> lateWakeups{0};
    } counters_;

    // The writer's commit points: it fills the slot not in use, then
    // publishes its index, so the one in use is always whole.
    struct CommitPoint {
        std::uint32_t readPos;
        std::uint64_t mark;
    };
    CommitPoint commits_[2] = {};
    std::atomic<std::uint32_t> commitIndex_{0};
    // Written by the writer only; relaxed: a figure for reports.
    std::atomic<std::uint32_t> peakFill_{0};

    // Control thread against the writer.
    std::atomic<bool> stopRequested_{false};
    // The writer's RefuseFurtherBlocks against Init's opening of the gate.
    std::atomic<bool> refusing_{false};
    // The exit path against a writer the system has not yet ended.
    std::atomic<bool> exiting_{false};
    // Storage a process exit left to a writer that may not have ended yet.
    std::uint32_t* abandoned_ = nullptr;
    // kWriterRunning until the writer's last step, which makes it kWriterDone;
    // Close makes it kWriterLeftBehind instead when the writer is stuck.
    // The one compare-and-swap on each side decides who frees the ring.
    static constexpr std::uint32_t kWriterRunning = 0;
    static constexpr std::uint32_t kWriterDone = 1;
    static constexpr std::uint32_t kWriterLeftBehind = 2;
    std::atomic<std::uint32_t> writerState_{kWriterDone};
    // The writer's output calls, which Close watches for one that is stuck.
    platform::CallWatch watch_;
    bool leavingBehindAllowed_ = false;
    std::atomic<bool> letGo_{false};       // the owner's LetGo, for a writer left behind
    std::uint64_t unconfirmedBlocks_ = 0;  // control thread
    std::uint64_t unconfirmedBytes_ = 0;
    platform::Thread thread_;
};

}  // namespace corvanlet
