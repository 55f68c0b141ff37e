#include "capture/block_ring.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace corvanlet {

void BlockRing::ProcessBlock(const std::uint8_t*, std::int32_t, std::uint8_t) {}

std::uint32_t* BlockRing::AllocateStorage(std::uint32_t words) {
    return new (std::nothrow) std::uint32_t[words];
}

bool BlockRing::Init(std::int32_t ringCapacity, std::int32_t blockLimit) {
    Close();
    if (ringCapacity < 1 ||
        !BlockQueue::Usable(static_cast<std::uint32_t>(ringCapacity), blockLimit)) {
        return false;
    }
    const std::uint32_t size = static_cast<std::uint32_t>(ringCapacity) & ~3u;
    std::uint32_t* storage = AllocateStorage(size / 4);
    if (storage == nullptr) return false;
    // Touch every page now, on the control thread: otherwise the host's
    // thread would take the first fault of each page of a large ring, which
    // costs tens of microseconds under some systems.
    std::memset(storage, 0, size);
    queue_.Reset(storage, size, blockLimit);
    batchBytes_ = batchLimit_ == 0 ? 0 : std::min(batchLimit_, size / 4);
    wakeThreshold_ = static_cast<std::uint32_t>(std::uint64_t{size} *
                                                std::min(timing_.wakeAtPercent, 100u) / 100);

    counters_.droppedBlocks.store(0, std::memory_order_relaxed);
    counters_.droppedBytes.store(0, std::memory_order_relaxed);
    counters_.wakeCalls.store(0, std::memory_order_relaxed);
    counters_.lateWakeups.store(0, std::memory_order_relaxed);
    peakFill_.store(0, std::memory_order_relaxed);
    commits_[0] = {queue_.ReadPosition(), 0};
    commitIndex_.store(0, std::memory_order_relaxed);
    wake_.Reset();
    stopRequested_.store(false, std::memory_order_relaxed);
    exiting_.store(false, std::memory_order_relaxed);
    refusing_.store(false, std::memory_order_relaxed);
    letGo_.store(false, std::memory_order_relaxed);
    writerState_.store(kWriterRunning, std::memory_order_relaxed);
    unconfirmedBlocks_ = 0;
    unconfirmedBytes_ = 0;
    // Only now is the ring open as far as Close is concerned: a process exit
    // before this point finds nothing to write, not a queue half reset.
    storage_ = storage;

    // Thread creation orders everything above before the writer's first step.
    if (!thread_.Start(&BlockRing::WriterEntry, this)) {
        writerState_.store(kWriterDone, std::memory_order_relaxed);
        FreeStorage();
        return false;
    }
    // Opens the ring to pushes, which then see the storage and positions set above.
    gate_.Open();
    // A writer that ended the recording before the gate opened (a limit
    // already reached) has it closed again. seq_cst pairs with the store in
    // RefuseFurtherBlocks: either this load sees it, or that close follows
    // this open.
    if (refusing_.load(std::memory_order_seq_cst)) gate_.Close();
    return true;
}

void BlockRing::FreeStorage() {
    delete[] storage_;
    storage_ = nullptr;
}

BlockRing::~BlockRing() {
    ForbidLeavingBehind();
    Close();
}

bool BlockRing::Close(platform::Teardown how) {
    if (storage_ == nullptr) return true;
    if (how == platform::Teardown::kProcessExit) {
        CloseAtProcessExit();
        return true;
    }
    // Keep new pushes off, then wait for one under way to leave the storage.
    gate_.Shut();

    // Release pairs with the writer's acquire: every accepted record is
    // visible to its final drain.
    stopRequested_.store(true, std::memory_order_release);
    wake_.Wake();
    if (writerState_.load(std::memory_order_acquire) == kWriterRunning &&
        thread_.CancelIfNotStarted(how)) {
        Drain(false);  // the writer never ran (an unload stopped it): write what is queued here
    } else {
        // Acquire pairs with the writer's last step: after it the writer no
        // longer touches the ring. Finish then waits until it has left our
        // code, which is what lets a host free the library right after.
        while (writerState_.load(std::memory_order_acquire) == kWriterRunning) {
            if (leavingBehindAllowed_ && OutputStuck() && LeaveWriterBehind()) return false;
            platform::SleepMs(1);
        }
        thread_.Finish(how);
    }
    FreeStorage();
    return true;
}

void BlockRing::BeginOutputCall() {
    watch_.Enter();
}

void BlockRing::EndOutputCall() {
    // A writer given up on inside the call sees LeftBehind from here on.
    (void)watch_.Leave();
}

bool BlockRing::OutputStuck() const {
    return watch_.InsideFor(kStuckMs);
}

void BlockRing::RefuseFurtherBlocks() {
    refusing_.store(true, std::memory_order_seq_cst);  // pairs with the load in Init
    gate_.Close();
}

bool BlockRing::LeftBehind() const {
    // Relaxed: a writer that misses it writes one call more, no harm.
    return writerState_.load(std::memory_order_relaxed) == kWriterLeftBehind;
}

bool BlockRing::GivingUp() const {
    return Exiting() || LeftBehind();
}

bool BlockRing::LeaveWriterBehind() {
    // What was accepted and is not confirmed written: everything from the
    // read position on, the stuck batch among it. The producer is shut out
    // and the writer only reads the records, so they hold still.
    BlockQueue::Record record;
    for (std::uint32_t r = queue_.ReadPosition(); queue_.Peek(r, record); r = record.next) {
        ++unconfirmedBlocks_;
        unconfirmedBytes_ += static_cast<std::uint32_t>(record.length);
    }
    // Registered before the writer can learn it was left behind: the unload
    // must find it, and the writer reads the record at its end. No pin: a
    // library freed while the writer is still inside its call stops the
    // writer there for good (platform::StopGivenUpThreads).
    watch_.GiveUp(thread_);
    std::uint32_t expected = kWriterRunning;
    // acq_rel pairs with the writer's own compare-and-swap in EndWriter.
    if (!writerState_.compare_exchange_strong(expected, kWriterLeftBehind,
                                              std::memory_order_acq_rel)) {
        unconfirmedBlocks_ = 0;  // it finished after all: everything was written
        unconfirmedBytes_ = 0;
        platform::CallWatch::Gone(watch_.GiveUpRecord());
        return false;
    }
    return true;
}

void BlockRing::EndWriter() {
    std::uint32_t expected = kWriterRunning;
    // acq_rel pairs with Close's compare-and-swap (and its acquire loads):
    // after kWriterDone the writer no longer touches the ring.
    if (writerState_.compare_exchange_strong(expected, kWriterDone, std::memory_order_acq_rel)) {
        return;
    }
    // Left behind: nobody else will free what this writer holds, once its
    // owner has read what it needed (it does so at once).
    // Acquire pairs with the release in LetGo.
    while (!letGo_.load(std::memory_order_acquire)) platform::SleepMs(1);
    platform::CallWatch::GivenUp* const given = watch_.GiveUpRecord();
    ReleaseLeftBehind();
    FreeStorage();
    delete this;
    platform::CallWatch::Gone(given);  // the unload may go on: nothing here is touched again
}

void BlockRing::CloseAtProcessExit() {
    // Every other thread is gone, wherever it stood: a push half done (it
    // published nothing), the writer in the middle of a batch or inside the
    // wake-up's lock. Wait for none of it and signal nothing. Go back to the
    // last batch the writer finished, put the output back to it, and write
    // from there everything that was published.
    //
    // Some systems end the other threads only soon after this begins. A
    // writer still running sees `exiting_` at its next block or batch and
    // stops; a write it has already begun lands at the offset the blocks
    // have here too (the output is positional), with the same bytes.
    // seq_cst: ordered before the reads of the commit point below.
    exiting_.store(true, std::memory_order_seq_cst);
    const CommitPoint point = LastCommit();
    RecoverTo(point.mark);
    BlockQueue::Record record;
    for (std::uint32_t r = point.readPos; queue_.Peek(r, record); r = record.next) {
        if (record.afterGap) AfterGapAtExit();
        ProcessBlockAtExit(record.data, record.length, record.tag);
    }
    EndAtExit();
    thread_.Finish(platform::Teardown::kProcessExit);
    // The storage is never freed: the process ends and takes it, and a
    // writer not yet ended may still look at it.
    abandoned_ = storage_;
    storage_ = nullptr;
}

BlockRing::CommitPoint BlockRing::LastCommit() const {
    // A whole slot: read again if the writer published another meanwhile.
    // Acquire pairs with the release in Commit.
    std::uint32_t index = commitIndex_.load(std::memory_order_acquire);
    for (;;) {
        const CommitPoint point = commits_[index];
        const std::uint32_t again = commitIndex_.load(std::memory_order_acquire);
        if (again == index) return point;
        index = again;
    }
}

BlockRing::PushResult BlockRing::Push(const void* data, std::int32_t length, std::uint8_t tag) {
    if (length < 1) return PushResult::kIgnored;
    if (!gate_.Enter()) return PushResult::kIgnored;
    PushResult result = PushResult::kQueued;
    // The exchange only after a refusal: the plain load keeps the usual push
    // as cheap as before.
    const bool afterGap =
        gap_.load(std::memory_order_relaxed) && gap_.exchange(false, std::memory_order_relaxed);
    if (data != nullptr && queue_.Enqueue(data, length, tag, afterGap)) {
        WakeWriterIfNeeded();
    } else {
        result = PushResult::kRefused;
        Refuse(length);
        // A full ring must not wait out a nap. Nothing new was published, so
        // a plain look at the writer's mode is enough here.
        if (data != nullptr && length <= queue_.MaxBlock() &&
            wake_.Peek() != WriterWake::kRunning && wake_.Wake()) {
            counters_.wakeCalls.fetch_add(1, std::memory_order_relaxed);
        }
    }
    gate_.Leave();  // after this the storage may be freed
    return result;
}

void BlockRing::Refuse(std::int32_t length) {
    if (length < 1) return;
    // Relaxed: counters only, read for display and reports.
    counters_.droppedBlocks.fetch_add(1, std::memory_order_relaxed);
    counters_.droppedBytes.fetch_add(static_cast<std::uint64_t>(length), std::memory_order_relaxed);
    gap_.store(true, std::memory_order_relaxed);
}

void BlockRing::WakeWriterIfNeeded() {
    const WriterWake::Mode mode = wake_.LookAfterPublish();
    if (mode == WriterWake::kRunning) return;
    if (mode == WriterWake::kNapping) {
        // A napping writer comes back on its own; only a ring filling up is
        // worth a wake-up.
        if (queue_.QueuedBytes() < wakeThreshold_) return;
        queue_.RefreshReadPosition();
        if (queue_.QueuedBytes() < wakeThreshold_) return;
    }
    if (wake_.Wake()) counters_.wakeCalls.fetch_add(1, std::memory_order_relaxed);
}

void BlockRing::WriterEntry(void* self) {
    static_cast<BlockRing*>(self)->WriterLoop();
}

bool BlockRing::HasQueued() const {
    BlockQueue::Record record;
    return queue_.Peek(queue_.ReadPosition(), record);
}

bool BlockRing::Exiting() const {  // see also GivingUp
    // Relaxed: a writer that misses the flag writes what the exit path
    // writes, at the same offsets.
    return exiting_.load(std::memory_order_relaxed);
}

void BlockRing::Commit(std::uint32_t position, bool byWriter) {
    if (byWriter && GivingUp()) return;  // the exit path writes this batch, or nobody
    EndBatch();
    // The batch may have taken long (a slow write): if the exit began
    // meanwhile, the writer's place is the exit path's now.
    if (byWriter && GivingUp()) return;
    const std::uint32_t next = 1 - commitIndex_.load(std::memory_order_relaxed);
    commits_[next] = {position, Mark()};
    // Release: the slot's contents before its index (pairs with the exit path).
    commitIndex_.store(next, std::memory_order_release);
    AfterCommit();
    // Only now, with the batch written, may the producer reuse its space.
    queue_.Release(position);
}

std::uint32_t BlockRing::Drain(bool byWriter) {
    std::uint32_t r = queue_.ReadPosition();
    std::uint32_t freed = 0;
    std::uint32_t batchBlocks = 0;
    std::uint32_t batchBytes = 0;
    BlockQueue::Record record;
    while (queue_.Peek(r, record)) {
        if (byWriter && GivingUp()) return freed;
        const auto length = static_cast<std::uint32_t>(record.length);
        if (batchBlocks != 0 &&
            (batchBytes + length > batchBytes_ || batchBlocks == kMaxBatchBlocks)) {
            Commit(r, byWriter);
            batchBlocks = 0;
            batchBytes = 0;
            // A commit may take long (a slow write): the exit may have begun.
            if (byWriter && GivingUp()) return freed;
        }
        if (record.afterGap) AfterGap();
        ProcessBlock(record.data, record.length, record.tag);
        ++batchBlocks;
        batchBytes += length;
        freed += BlockQueue::RecordSize(record.length);
        r = record.next;
    }
    if (batchBlocks != 0) Commit(r, byWriter);
    // What one drain found is (about) what was queued when it began.
    const auto fill = static_cast<std::uint32_t>(std::uint64_t{freed} * 100 / queue_.Capacity());
    if (fill > peakFill_.load(std::memory_order_relaxed)) {
        peakFill_.store(std::min(fill, 100u), std::memory_order_relaxed);
    }
    return freed;
}

void BlockRing::WriterLoop() {
    std::uint32_t idleNaps = 0;
    std::uint32_t napMs = timing_.napMs;
    for (;;) {
        // Acquire pairs with Close's release: a drain after seeing the stop
        // request finds every block that Push accepted.
        const bool stopping = stopRequested_.load(std::memory_order_acquire);
        const std::uint32_t drained = Drain(true);
        if (GivingUp()) break;
        if (stopping) {
            LastTick();
            break;
        }
        Tick();

        if (drained != 0) {
            // Nap about as long as the producer takes to fill an eighth of the
            // ring at the rate just seen, so that fast streams rarely need the
            // producer's wake-up.
            idleNaps = 0;
            const std::uint64_t scaled = std::uint64_t{napMs} * (queue_.Capacity() / 8) / drained;
            // Shorter at once, longer only step by step: a drain that found
            // little (after an early wake-up) says little about the rate.
            const std::uint64_t longest = std::min<std::uint64_t>(timing_.napMs, napMs * 2u);
            napMs = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(scaled, 1, longest));
        } else {
            ++idleNaps;
            napMs = timing_.napMs;
        }
        const WriterWake::Mode mode =
            idleNaps >= timing_.idleNapsBeforeSleep ? WriterWake::kSleeping : WriterWake::kNapping;
        if (!wake_.PrepareWait(mode, [this] {
                return HasQueued() || stopRequested_.load(std::memory_order_relaxed);
            })) {
            continue;
        }
        const bool woken =
            wake_.Wait(mode, mode == WriterWake::kSleeping ? timing_.safetyTimeoutMs : napMs);
        if (!woken && mode == WriterWake::kSleeping && HasQueued()) {
            counters_.lateWakeups.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // The writer's last touch of the ring: Close may free it right after.
    EndWriter();
}

}  // namespace corvanlet
