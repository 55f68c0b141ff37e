#include "host/stream_filter.h"

#include <atomic>
#include <cstring>

#include "capture/file_sink.h"
#include "platform/platform.h"

namespace corvanlet {

namespace {

// Where DataCallback puts the blocks: the ring of the one route in place.
std::atomic<BlockRing*> route{nullptr};

// Deliveries currently inside DataCallback. DeliveryRoute::End waits for
// it to reach zero after clearing the route, so no delivery that read the old
// route is still using it once the route has ended.
std::atomic<std::uint32_t> deliveriesInFlight{0};

// The one delivery that may push into the ring right now: the ring has one
// producer. A host that breaks the one-thread-at-a-time rule has its second
// caller wait, a bounded time, for the first to leave, so nothing is lost;
// past the bound the block is refused and counted. A push takes well under a
// microsecond, but on a busy machine the first caller can be preempted
// inside its turn for a scheduler's time slice or more (4 ms was seen under
// wine with both processors busy): the bound is well beyond that.
std::atomic<bool> pushing{false};
constexpr std::uint64_t kTurnWaitUs = 50000;

// Relaxed: figures for tests and benchmarks, written by second callers only.
std::atomic<std::uint64_t> turnWaits{0};
std::atomic<std::uint64_t> turnRefusals{0};
std::atomic<std::uint64_t> longestTurnWaitUs{0};

void NoteTurnWait(std::uint64_t us) {
    turnWaits.fetch_add(1, std::memory_order_relaxed);
    std::uint64_t longest = longestTurnWaitUs.load(std::memory_order_relaxed);
    while (us > longest &&
           !longestTurnWaitUs.compare_exchange_weak(longest, us, std::memory_order_relaxed)) {
    }
}

bool TakePushTurn() {
    // Acquire pairs with the release in GivePushTurn: the last push is done.
    if (!pushing.exchange(true, std::memory_order_acquire)) return true;
    const std::uint64_t start = platform::MicrosecondsNow();
    do {
        while (pushing.load(std::memory_order_relaxed)) {
            if (platform::MicrosecondsNow() - start > kTurnWaitUs) {
                NoteTurnWait(platform::MicrosecondsNow() - start);
                turnRefusals.fetch_add(1, std::memory_order_relaxed);
                return false;
            }
            platform::SleepMs(0);
        }
    } while (pushing.exchange(true, std::memory_order_acquire));
    NoteTurnWait(platform::MicrosecondsNow() - start);
    return true;
}

void GivePushTurn() {
    // Release pairs with the acquire in TakePushTurn.
    pushing.store(false, std::memory_order_release);
}

}  // namespace

TurnFigures ReadTurnFigures() {
    return {turnWaits.load(std::memory_order_relaxed), turnRefusals.load(std::memory_order_relaxed),
            longestTurnWaitUs.load(std::memory_order_relaxed)};
}

void CORVANLET_CALL DataCallback(std::uint32_t, std::int32_t length, const std::uint8_t* data) {
    // seq_cst on both sides (here and in DeliveryRoute::End): either the
    // route's End sees this delivery counted, or this delivery sees the route
    // cleared.
    deliveriesInFlight.fetch_add(1, std::memory_order_seq_cst);
    BlockRing* target = route.load(std::memory_order_seq_cst);
    if (target != nullptr) {
        // One producer at a time: a second delivery would race the first on
        // the ring's write position.
        if (TakePushTurn()) {
            target->Push(data, length, 0);
            GivePushTurn();
        } else {
            target->Refuse(length);
        }
    }
    // Release pairs with End's load: the ring is no longer touched.
    deliveriesInFlight.fetch_sub(1, std::memory_order_release);
}

DeliveryRoute::DeliveryRoute(BlockRing& ring) : ring_(ring) {
    // seq_cst: ordered with the callback's loads, like every routing change.
    route.store(&ring_, std::memory_order_seq_cst);
}

void DeliveryRoute::End(platform::Teardown how) {
    if (ended_) return;
    ended_ = true;
    // seq_cst: ordered with the callback's loads, like every routing change.
    BlockRing* target = &ring_;
    route.compare_exchange_strong(target, nullptr, std::memory_order_seq_cst);
    // A delivery thread killed inside the callback left its count behind:
    // at process exit waiting for it would never end.
    if (how == platform::Teardown::kProcessExit) return;
    // seq_cst: the other half of the pairing with the callback's increment.
    while (deliveriesInFlight.load(std::memory_order_seq_cst) != 0) platform::SleepMs(0);
}

StreamFilter::StreamFilter(const HostLink& link, std::int32_t pid)
    : window_(link.window), pid_(pid) {
    registration_.ownerId = static_cast<std::uint16_t>(link.ownerId & 0xFFFF);
    registration_.pid = static_cast<std::uint16_t>(static_cast<std::uint32_t>(pid) & 0xFFFF);
    std::memcpy(registration_.moduleName, link.moduleName, sizeof registration_.moduleName);
    registration_.callback =
        static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(&DataCallback));
    registration_.hostHandle = 0;
    accepted_ = SendMessageA(window_, CORVANLET_WM_FILTER, CORVANLET_ADD_FILTER,
                             reinterpret_cast<LPARAM>(&registration_)) != 0;
}

StreamFilter::~StreamFilter() {
    Remove(platform::Teardown::kNone);
}

void StreamFilter::Remove(platform::Teardown how) {
    if (removed_) return;
    removed_ = true;
    // The host delivers until the removal returns; the route stays in place
    // until then so those blocks are recorded rather than silently ignored.
    if (accepted_ && how != platform::Teardown::kProcessExit) {
        SendMessageA(window_, CORVANLET_WM_FILTER, CORVANLET_REMOVE_FILTER,
                     static_cast<LPARAM>(registration_.hostHandle));
    }
}

}  // namespace corvanlet
