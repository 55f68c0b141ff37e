// The parts of a Thread and a CallWatch that are the same on every system;
// each system's file adds its own Launch, ThreadMain, the waiting and the
// suspension.
#include <algorithm>
#include <new>

#include "platform/platform.h"

namespace corvanlet::platform {

bool Thread::Start(void (*entry)(void*), void* argument) {
    Forget();
    entry_ = entry;
    argument_ = argument;
    // Relaxed: the thread that reads it is not created yet.
    started_.store(false, std::memory_order_relaxed);
    return Launch();
}

void Thread::Run(Thread* thread) {
    // Release pairs with the acquire in CancelIfNotStarted.
    thread->started_.store(true, std::memory_order_release);
    thread->entry_(thread->argument_);
}

// A thread given up on inside a call: its state moves once, from kInside to
// kOut (it came out; Leave) or to kStopped (the unload stopped it there),
// and from kOut to kGone (its last step). kFree: the slot is unused.
struct CallWatch::GivenUp {
    static constexpr std::uint32_t kFree = 0, kInside = 1, kOut = 2, kGone = 3, kStopped = 4;
    std::atomic<std::uint32_t> state{kFree};
    std::uintptr_t thread = 0;
};

namespace {

// The threads given up on while this library is loaded. Slots live in the
// library's own data: once it is unmapped, no thread given up on touches
// them any more (each was stopped, or had left).
constexpr int kGivenUpSlots = 64;
CallWatch::GivenUp givenUp[kGivenUpSlots];

// Owner thread: a free slot, or one whose thread has ended since.
CallWatch::GivenUp* FreeSlot() {
    using G = CallWatch::GivenUp;
    for (G& slot : givenUp) {
        // Acquire pairs with the release in Gone.
        const std::uint32_t state = slot.state.load(std::memory_order_acquire);
        if (state == G::kFree) return &slot;
        if (state == G::kGone && threads::Ended(slot.thread)) {
            threads::CloseHandleOf(slot.thread);
            return &slot;
        }
    }
    return nullptr;
}

// Unload: lets a thread that came out of its call finish, a bounded time,
// then makes sure it runs none of this library's code; false when it is
// still running it (it is then suspended like the rest).
bool LetFinish(CallWatch::GivenUp& slot) {
    using G = CallWatch::GivenUp;
    constexpr std::uint32_t kFinishMs = 2000;
    const std::uint32_t start = TickCountMs();
    // Acquire pairs with the release in Gone.
    while (slot.state.load(std::memory_order_acquire) != G::kGone) {
        if (TickCountMs() - start >= kFinishMs) return false;
        SleepMs(1);
    }
    return threads::WaitOutsideLibrary(slot.thread, kFinishMs);
}

}  // namespace

void CallWatch::Enter() {
    // Relaxed: the owner only compares ticks, and GiveUp's compare-and-swap
    // decides the rest.
    since_.store(TickCountMs() | 1u, std::memory_order_relaxed);
}

bool CallWatch::Leave() {
    // acq_rel pairs with GiveUp's compare-and-swap: either the owner gave up
    // before this (and its record is seen), or it sees the thread out.
    if (since_.exchange(0, std::memory_order_acq_rel) != kGivenUpMark) return true;
    std::uint32_t inside = GivenUp::kInside;
    // acq_rel pairs with the unload's compare-and-swap in StopGivenUpThreads.
    if (given_->state.compare_exchange_strong(inside, GivenUp::kOut, std::memory_order_acq_rel)) {
        return false;
    }
    // The unload has claimed this thread and suspends it at once: wait here,
    // holding nothing, and never come back into the library's code.
    for (;;) SleepMs(0xFFFFFFFFu);
}

bool CallWatch::InsideFor(std::uint32_t ms) const {
    const std::uint32_t since = since_.load(std::memory_order_relaxed);
    // Signed: the low bit set on `since` may put it a millisecond ahead.
    const auto elapsed = static_cast<std::int32_t>(TickCountMs() - since);
    return (since & 1u) != 0 && elapsed >= static_cast<std::int32_t>(ms);
}

void CallWatch::GiveUp(Thread& thread) {
    GivenUp* slot = FreeSlot();
    if (slot == nullptr) {
        // Sixty-four writers stuck at once: keep the library for them instead.
        threads::PinLibrary();
        return;
    }
    slot->thread = thread.Duplicate();
    if (slot->thread == 0) {
        // A thread the unload could not stop: keep the library for it.
        threads::PinLibrary();
        return;
    }
    slot->state.store(GivenUp::kInside, std::memory_order_relaxed);
    given_ = slot;
    std::uint32_t since = since_.load(std::memory_order_relaxed);
    // acq_rel pairs with Leave's exchange: the record and slot are seen by a
    // thread that finds the mark. A thread already out, or in a later call,
    // finishes on its own.
    if ((since & 1u) == 0 ||
        !since_.compare_exchange_strong(since, kGivenUpMark, std::memory_order_acq_rel)) {
        slot->state.store(GivenUp::kOut, std::memory_order_release);
    }
}

void CallWatch::Gone(GivenUp* given) {
    // Release pairs with the acquire in LetFinish and FreeSlot.
    if (given != nullptr) given->state.store(GivenUp::kGone, std::memory_order_release);
}

std::uint32_t StopGivenUpThreads() {
    std::uint32_t stopped = 0;
    for (CallWatch::GivenUp& slot : givenUp) {
        std::uint32_t state = CallWatch::GivenUp::kInside;
        // acq_rel pairs with Leave's compare-and-swap: the thread either came
        // out first, or finds itself claimed.
        if (slot.state.compare_exchange_strong(state, CallWatch::GivenUp::kStopped,
                                               std::memory_order_acq_rel)) {
            stopped += threads::SuspendForGood(slot.thread) ? 1 : 0;
        } else if ((state == CallWatch::GivenUp::kOut || state == CallWatch::GivenUp::kGone) &&
                   !LetFinish(slot)) {
            stopped += threads::SuspendForGood(slot.thread) ? 1 : 0;
        }
    }
    return stopped;
}

namespace {

// One CallWithin: owned by the caller until it gives the call up, by the
// call's thread after that.
struct Bounded {
    static constexpr std::uint32_t kRunning = 0, kDone = 1, kGivenUp = 2;
    struct Work {
        void (*call)(void*);
        void (*release)(void*);
        void* argument;
    } work{};
    std::atomic<std::uint32_t> state{kRunning};
    WakeSignal done;
    CallWatch watch;
    Thread thread;
};

void BoundedEntry(void* self) {
    auto* bounded = static_cast<Bounded*>(self);
    bounded->watch.Enter();
    bounded->work.call(bounded->work.argument);
    std::uint32_t running = Bounded::kRunning;
    if (bounded->watch.Leave()) {
        // acq_rel pairs with the caller's compare-and-swap: one of the two wins.
        if (bounded->state.compare_exchange_strong(running, Bounded::kDone,
                                                   std::memory_order_acq_rel)) {
            bounded->done.Notify();
            return;
        }
    } else {
        // Given up inside the call: the caller marks it at once, then is done.
        // Acquire pairs with the caller's compare-and-swap.
        while (bounded->state.load(std::memory_order_acquire) != Bounded::kGivenUp) SleepMs(1);
    }
    bounded->work.release(bounded->work.argument);
    CallWatch::GivenUp* const given = bounded->watch.GiveUpRecord();
    bounded->thread.Forget();
    delete bounded;
    CallWatch::Gone(given);  // nothing of the call is touched after this
}

}  // namespace

bool CallWithin(std::uint32_t ms, void (*call)(void*), void (*release)(void*), void* argument) {
    auto* bounded = new (std::nothrow) Bounded;
    if (bounded != nullptr) bounded->work = {call, release, argument};
    if (bounded == nullptr || !bounded->thread.Start(&BoundedEntry, bounded)) {
        delete bounded;
        call(argument);
        return true;
    }
    const std::uint32_t start = TickCountMs();
    // Acquire pairs with the call's compare-and-swap: its results are in place.
    while (bounded->state.load(std::memory_order_acquire) != Bounded::kDone) {
        const std::uint32_t waited = TickCountMs() - start;
        if (waited >= ms) break;
        (void)bounded->done.Wait(ms - waited);
    }
    if (bounded->state.load(std::memory_order_acquire) != Bounded::kDone) {
        bounded->watch.GiveUp(bounded->thread);
        std::uint32_t running = Bounded::kRunning;
        // acq_rel pairs with the call's compare-and-swap.
        if (bounded->state.compare_exchange_strong(running, Bounded::kGivenUp,
                                                   std::memory_order_acq_rel)) {
            return false;  // the call's thread has it now
        }
        CallWatch::Gone(bounded->watch.GiveUpRecord());  // it finished after all
    }
    bounded->thread.Finish();
    delete bounded;
    return true;
}

}  // namespace corvanlet::platform
