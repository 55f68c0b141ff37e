#include "simulated_host.h"

#include <chrono>

#include "transport_stream.h"

namespace corvanlet::hostsim {

namespace {
constexpr char kClassName[] = "CorvanletSimulatedHost";
}

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

LRESULT SimulatedHost::OnAdd(FilterRegistration* registration) {
    ++addMessages_;
    if (registration == nullptr) return 0;
    lastRegistration_ = *registration;
    registration_ = registration;
    if (!accept_) return 0;
    StopDelivery();
    registration->hostHandle = nextHandle_++;

    blocks_ = 0;
    bytes_ = 0;
    checksum_ = Fnv1a(nullptr, 0);
    callsAfterRemoval_ = 0;
    removed_ = false;
    deliveryEnded_ = false;
    auto callback =
        reinterpret_cast<::DataCallback>(static_cast<std::uintptr_t>(registration->callback));
    delivery_ = std::thread(&SimulatedHost::DeliveryLoop, this, callback,
                            static_cast<std::int32_t>(registration->pid));
    return 1;
}

void SimulatedHost::OnRemove(CorvanletAddress handle) {
    ++removeMessages_;
    lastRemovedHandle_ = handle;
    // The host makes no further call of the callback once removal returns,
    // unless it plays a faulty host.
    removed_ = true;
    if (callAfterRemovalMs_ != 0) return;
    // Wait for a call under way to return, not for the thread to exit: the
    // module may be removing itself while the library unloads, when a
    // thread's exit would wait for the loader lock that caller holds.
    while (inCallback_.load()) Sleep(0);
}

void SimulatedHost::StopDelivery() {
    removed_ = true;
    if (delivery_.joinable()) delivery_.join();
}

void SimulatedHost::DeliveryLoop(::DataCallback callback, std::int32_t pid) {
    const auto blocks = BlocksForPid(stream_, pid, packetsPerBlock_);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::uint64_t sent = 0;
    callbackNs_.clear();
    // Every block once (or again and again when looping) until removed.
    bool more = !blocks.empty();
    while (more && !removed_) {
        for (const auto& block : blocks) {
            if (rateMBps_ > 0) {
                const auto due =
                    start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(sent / (rateMBps_ * 1e6)));
                while (!removed_ && Clock::now() < due) {
                    Sleep(due - Clock::now() > std::chrono::milliseconds(2) ? 1 : 0);
                }
            }
            // seq_cst with OnRemove: either it sees this call under way, or
            // this sees the removal and makes no call.
            inCallback_.store(true);
            if (removed_.load()) {
                inCallback_.store(false);
                break;
            }
            const auto before = Clock::now();
            callback(0, static_cast<std::int32_t>(block.size()), block.data());
            if (timing_) {
                callbackNs_.push_back(static_cast<std::uint32_t>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before)
                        .count()));
            }
            // Counted before the call is over: a removal that waited for it
            // then reads the counts with this block in them.
            checksum_ = Fnv1a(block.data(), block.size(), checksum_);
            bytes_.fetch_add(block.size());
            blocks_.fetch_add(1, std::memory_order_release);
            inCallback_.store(false);
            sent += block.size();
        }
        more = loop_;
    }
    deliverySeconds_ = std::chrono::duration<double>(Clock::now() - start).count();
    deliveryEnded_.store(true, std::memory_order_release);
    // A faulty host calls on through the old callback after the removal.
    if (callAfterRemovalMs_ == 0 || blocks.empty()) return;
    while (!removed_) Sleep(1);
    const auto removedAt = Clock::now();
    while (Clock::now() - removedAt < std::chrono::milliseconds(callAfterRemovalMs_)) {
        for (const auto& block : blocks) {
            callback(0, static_cast<std::int32_t>(block.size()), block.data());
            callsAfterRemoval_.fetch_add(1);
        }
    }
}

bool SimulatedHost::WaitForDeliveryEnd(std::uint32_t timeoutMs) const {
    const DWORD start = GetTickCount();
    while (!deliveryEnded_.load(std::memory_order_acquire)) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(1);
    }
    return true;
}

SimulatedHost::Delivery SimulatedHost::Delivered() const {
    Delivery delivery;
    delivery.blocks = blocks_.load(std::memory_order_acquire);
    delivery.bytes = bytes_.load();
    delivery.checksum = checksum_;
    return delivery;
}

}  // namespace corvanlet::hostsim
