#include "simulated_host.h"

#include <algorithm>

#include "transport_stream.h"

namespace corvanlet::hostsim {

namespace {
constexpr char kClassName[] = "CorvanletSimulatedHost";
using Clock = std::chrono::steady_clock;
}  // namespace

SimulatedHost::SimulatedHost()
    : route_(std::make_unique<std::atomic<std::uintptr_t>[]>(kKeys)),
      perKey_(std::make_unique<Counts[]>(kKeys)) {}

SimulatedHost::~SimulatedHost() {
    StopDelivery();
    if (window_ != nullptr) DestroyWindow(window_);
}

bool SimulatedHost::Create() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = &SimulatedHost::WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassA(&windowClass);  // fails harmlessly when already registered
    window_ = CreateWindowExA(0, kClassName, "Siltrocke (simulated)", WS_OVERLAPPEDWINDOW, 0, 0,
                              320, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (window_ == nullptr) return false;
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return true;
}

LRESULT CALLBACK SimulatedHost::WindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    auto* host = reinterpret_cast<SimulatedHost*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (host != nullptr && message == CORVANLET_WM_FILTER) {
        if (wParam == CORVANLET_ADD_FILTER) {
            return host->OnAdd(reinterpret_cast<FilterRegistration*>(lParam));
        }
        if (wParam == CORVANLET_REMOVE_FILTER) {
            host->OnRemove(static_cast<CorvanletAddress>(lParam));
            return 0;
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool SimulatedHost::Refuses() const {
    const std::size_t limit =
        maxFilters_ == 0 ? kMaxRegistrations : std::min(maxFilters_, kMaxRegistrations);
    return !accept_ || live_.size() >= limit;
}

LRESULT SimulatedHost::OnAdd(FilterRegistration* registration) {
    ++addMessages_;
    if (registration == nullptr) return 0;
    lastRegistration_ = *registration;
    registration_ = registration;
    const std::uint16_t pid = registration->pid;
    {
        const std::lock_guard lock(registrationsLock_);
        if (Refuses()) {
            refused_.push_back(pid);
            return 0;
        }
        registration->hostHandle = nextHandle_++;
        live_.push_back(
            {registration->hostHandle, pid, static_cast<std::uintptr_t>(registration->callback)});
        accepted_.push_back(pid);
    }
    // Acquire: pairs with the delivery thread's release when it ended.
    const bool fresh = !delivering_ || deliveryEnded_.load(std::memory_order_acquire);
    if (fresh) StopDelivery();
    Route(pid);
    if (fresh) StartDelivery();
    return 1;
}

// Points the PID's key at the callback of its earliest live registration, or
// at none. Window's thread only: the one that changes live_.
void SimulatedHost::Route(std::uint16_t pid) {
    if (pid >= kKeys) return;  // such a PID matches no packet
    std::uintptr_t callback = 0;
    for (const Registration& registration : live_) {
        if (registration.pid == pid) {
            callback = registration.callback;
            break;
        }
    }
    // seq_cst with Send's inCallback_ store and route_ load (see OnRemove).
    route_[pid].store(callback, std::memory_order_seq_cst);
}

void SimulatedHost::OnRemove(CorvanletAddress handle) {
    ++removeMessages_;
    lastRemovedHandle_ = handle;
    bool last = false;
    {
        const std::lock_guard lock(registrationsLock_);
        const auto found = std::find_if(live_.begin(), live_.end(),
                                        [&](const Registration& r) { return r.handle == handle; });
        if (found == live_.end()) return;  // no live registration has that handle
        const Registration removed = *found;
        live_.erase(found);
        Route(removed.pid);
        last = live_.empty();
        if (last) {
            afterRemovalKey_ = removed.pid;
            afterRemovalCallback_ = removed.callback;
            // Release: pairs with the delivery thread's acquire loads; it
            // also publishes the removed registration to CallAfterRemoval.
            stop_.store(true, std::memory_order_release);
            delivering_ = false;
        }
    }
    // A faulty host does not wait for the call under way, and calls on.
    if (last && callAfterRemovalMs_ != 0) return;
    // Wait for a call under way to return, not for the thread to exit: the
    // module may be removing itself while the library unloads, when a
    // thread's exit would wait for the loader lock that caller holds.
    // seq_cst with Send: either Send's route_ load comes after Route's store
    // and finds no callback, or its inCallback_ store came first and is seen
    // here.
    while (inCallback_.load(std::memory_order_seq_cst)) Sleep(0);
}

void SimulatedHost::StopDelivery() {
    // Release: pairs with the delivery thread's acquire loads.
    stop_.store(true, std::memory_order_release);
    if (delivery_.joinable()) delivery_.join();
    delivering_ = false;
}

// Starts a delivery from the start of the stream, with fresh counts. The
// previous delivery thread, if any, was joined.
void SimulatedHost::StartDelivery() {
    const Delivery last = Delivered();
    earlier_.blocks += last.blocks;
    earlier_.bytes += last.bytes;
    ++deliveries_;
    // Relaxed: no delivery thread runs; starting it publishes these.
    blocks_.store(0, std::memory_order_relaxed);
    bytes_.store(0, std::memory_order_relaxed);
    checksum_ = Fnv1a(nullptr, 0);
    for (std::size_t key = 0; key < kKeys; ++key) {
        perKey_[key].blocks.store(0, std::memory_order_relaxed);
        perKey_[key].bytes.store(0, std::memory_order_relaxed);
    }
    callsAfterRemoval_.store(0, std::memory_order_relaxed);
    afterRemovalCallback_ = 0;
    stop_.store(false, std::memory_order_relaxed);
    // Relaxed: WaitForDeliveryEnd's partner is the store when the delivery ends.
    deliveryEnded_.store(false, std::memory_order_relaxed);
    delivery_ = std::thread(&SimulatedHost::DeliveryLoop, this);
    delivering_ = true;
}

void SimulatedHost::DeliveryLoop() {
    Pacing pacing{Clock::now(), 0, 0, rateMBps_, false};
    callbackNs_.clear();
    Block block;
    block.bytes.reserve(kPacketsPerBlock * kPacketSize);
    // The stream once (or again and again when looping) until stopped.
    bool more = stream_.size() >= kPacketSize;
    while (more && DeliverPass(pacing, block)) more = loop_;
    deliverySeconds_ = std::chrono::duration<double>(Clock::now() - pacing.start).count();
    // Release: pairs with WaitForDeliveryEnd's and OnAdd's acquire.
    deliveryEnded_.store(true, std::memory_order_release);
    if (callAfterRemovalMs_ != 0) CallAfterRemoval();
}

// One pass through the stream, in blocks as the header describes. False
// when stopped on the way.
bool SimulatedHost::DeliverPass(Pacing& pacing, Block& block) {
    const std::size_t full = packetsPerBlock_ * kPacketSize;
    // At a tuner's pace: the stream bytes of 50 ms.
    const auto oldest = static_cast<std::uint64_t>(streamRateMBps_ * 1e6 * 0.05);
    for (std::size_t offset = 0; offset + kPacketSize <= stream_.size(); offset += kPacketSize) {
        // Acquire: pairs with the release in OnRemove and StopDelivery.
        if (stop_.load(std::memory_order_acquire)) return false;
        if (streamRateMBps_ > 0) PaceStream(pacing);
        pacing.walked += kPacketSize;
        const std::uint8_t* packet = stream_.data() + offset;
        const std::size_t key = KeyOf(packet);
        if (key == kKeys) continue;  // nobody takes this packet
        if (!block.bytes.empty() &&
            (key != block.key || (oldest != 0 && pacing.walked - block.walkedAtFirst > oldest))) {
            Send(block, pacing);
        }
        if (block.bytes.empty()) block.walkedAtFirst = pacing.walked;
        block.key = key;
        block.bytes.insert(block.bytes.end(), packet, packet + kPacketSize);
        if (block.bytes.size() >= full) Send(block, pacing);
    }
    if (!block.bytes.empty()) Send(block, pacing);
    return true;
}

// The key whose registration takes the packet: its PID's, else the whole
// stream's; kKeys when none does.
std::size_t SimulatedHost::KeyOf(const std::uint8_t* packet) const {
    const std::uint16_t pid = PacketPid(packet);
    // Acquire: pairs with Route's store; a registration counts from the next packet on.
    if (route_[pid].load(std::memory_order_acquire) != 0) return pid;
    // Acquire: pairs with Route's store, as above.
    if (route_[kWholeStreamPid].load(std::memory_order_acquire) != 0) return kWholeStreamPid;
    return kKeys;
}

// Delivers the block to its key's registration, if it still has one, and
// empties it.
void SimulatedHost::Send(Block& block, Pacing& pacing) {
    if (stepMBps_ > 0 && !pacing.stepped &&
        Clock::now() - pacing.start >= std::chrono::duration<double>(stepAfterSeconds_)) {
        // The rate changes here: paced afresh from now on.
        pacing = Pacing{Clock::now(), 0, pacing.walked, stepMBps_, true};
    }
    if (pacing.rate > 0) Pace(pacing);
    // seq_cst with OnRemove (Route's store, then its inCallback_ load): either
    // the removal sees this call under way, or this sees the removal and
    // makes no call.
    inCallback_.store(true, std::memory_order_seq_cst);
    const std::uintptr_t address = route_[block.key].load(std::memory_order_seq_cst);
    // Acquire: pairs with the release in OnRemove and StopDelivery.
    if (address != 0 && !stop_.load(std::memory_order_acquire)) {
        const auto callback = reinterpret_cast<::DataCallback>(address);
        const auto before = timing_ ? Clock::now() : Clock::time_point{};
        callback(0, static_cast<std::int32_t>(block.bytes.size()), block.bytes.data());
        if (timing_) {
            callbackNs_.push_back(static_cast<std::uint32_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before)
                    .count()));
        }
        // Counted before the call is over: a removal that waited for it then
        // reads the counts with this block in them.
        Count(block);
        pacing.sent += block.bytes.size();
    }
    // seq_cst: the partner of OnRemove's inCallback_ load.
    inCallback_.store(false, std::memory_order_seq_cst);
    block.bytes.clear();
}

// Waits until the bytes sent so far are due at the rate asked for.
void SimulatedHost::Pace(const Pacing& pacing) const {
    const auto due =
        pacing.start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           static_cast<double>(pacing.sent) / (pacing.rate * 1e6)));
    // Acquire: pairs with the release in OnRemove and StopDelivery.
    while (!stop_.load(std::memory_order_acquire) && Clock::now() < due) {
        Sleep(due - Clock::now() > std::chrono::milliseconds(2) ? 1 : 0);
    }
}

// Waits until the stream's bytes looked at so far are due at the stream's
// rate, give or take a millisecond (a wait for every packet would spin).
void SimulatedHost::PaceStream(const Pacing& pacing) const {
    const auto due =
        pacing.start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           static_cast<double>(pacing.walked) / (streamRateMBps_ * 1e6)));
    // Acquire: pairs with the release in OnRemove and StopDelivery.
    while (!stop_.load(std::memory_order_acquire) &&
           due - Clock::now() > std::chrono::milliseconds(1)) {
        Sleep(1);
    }
}

void SimulatedHost::Count(const Block& block) {
    const std::uint64_t size = block.bytes.size();
    checksum_ = Fnv1a(block.bytes.data(), block.bytes.size(), checksum_);
    // Only this thread writes the counts, so a load and a store add up (no
    // locked instruction on the hot path). Relaxed: plain counts, published
    // by the release on blocks_ below.
    Counts& counts = perKey_[block.key];
    counts.blocks.store(counts.blocks.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
    counts.bytes.store(counts.bytes.load(std::memory_order_relaxed) + size,
                       std::memory_order_relaxed);
    bytes_.store(bytes_.load(std::memory_order_relaxed) + size, std::memory_order_relaxed);
    // Release: pairs with the acquire in Delivered and DeliveredPerPid.
    blocks_.store(blocks_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// A faulty host calls on through the last removed registration's callback,
// with its PID's blocks, for callAfterRemovalMs_ after the removal.
void SimulatedHost::CallAfterRemoval() {
    // Acquire: pairs with the release in OnRemove, which wrote the removed
    // registration before it.
    while (!stop_.load(std::memory_order_acquire)) Sleep(1);
    if (afterRemovalCallback_ == 0) return;  // stopped for a new delivery, not removed
    const auto blocks =
        BlocksForPid(stream_, static_cast<std::int32_t>(afterRemovalKey_), packetsPerBlock_);
    if (blocks.empty()) return;
    const auto callback = reinterpret_cast<::DataCallback>(afterRemovalCallback_);
    const auto removedAt = Clock::now();
    while (Clock::now() - removedAt < std::chrono::milliseconds(callAfterRemovalMs_)) {
        for (const auto& block : blocks) {
            callback(0, static_cast<std::int32_t>(block.size()), block.data());
            // Relaxed: a plain count, read by CallsAfterRemoval.
            callsAfterRemoval_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

bool SimulatedHost::WaitForDeliveryEnd(std::uint32_t timeoutMs) const {
    const DWORD start = GetTickCount();
    // Acquire: pairs with the release when the delivery ended.
    while (!deliveryEnded_.load(std::memory_order_acquire)) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(1);
    }
    return true;
}

SimulatedHost::Delivery SimulatedHost::DeliveredInAll() const {
    const Delivery last = Delivered();
    return {earlier_.blocks + last.blocks, earlier_.bytes + last.bytes, 0};
}

SimulatedHost::Delivery SimulatedHost::Delivered() const {
    Delivery delivery;
    // Acquire: pairs with the release in Count.
    delivery.blocks = blocks_.load(std::memory_order_acquire);
    delivery.bytes = bytes_.load(std::memory_order_relaxed);
    delivery.checksum = checksum_;
    return delivery;
}

SimulatedHost::Delivery SimulatedHost::DeliveredPerPid(std::uint16_t pid) const {
    Delivery delivery;
    if (pid >= kKeys) return delivery;
    // Acquire: pairs with the release in Count.
    blocks_.load(std::memory_order_acquire);
    delivery.blocks = perKey_[pid].blocks.load(std::memory_order_relaxed);
    delivery.bytes = perKey_[pid].bytes.load(std::memory_order_relaxed);
    return delivery;
}

std::vector<std::uint16_t> SimulatedHost::RegisteredPids() const {
    const std::lock_guard lock(registrationsLock_);
    std::vector<std::uint16_t> pids;
    for (const Registration& registration : live_) pids.push_back(registration.pid);
    return pids;
}

std::vector<std::uint16_t> SimulatedHost::AcceptedPids() const {
    const std::lock_guard lock(registrationsLock_);
    return accepted_;
}

std::vector<std::uint16_t> SimulatedHost::RefusedPids() const {
    const std::lock_guard lock(registrationsLock_);
    return refused_;
}

}  // namespace corvanlet::hostsim
