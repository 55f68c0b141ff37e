// The host's side of the module contract, for tests and for hostsim: a real
// top-level window that answers the filter messages, and a delivery thread
// that calls the registered callback with the PID's blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <windows.h>

#include "corvanlet/host_api.h"

namespace corvanlet::hostsim {

class SimulatedHost {
  public:
    struct Delivery {
        std::uint64_t blocks = 0;
        std::uint64_t bytes = 0;
        std::uint64_t checksum = 0;  // FNV-1a over the delivered bytes
    };

    SimulatedHost() = default;
    ~SimulatedHost();
    SimulatedHost(const SimulatedHost&) = delete;
    SimulatedHost& operator=(const SimulatedHost&) = delete;

    // Creates the host's window on the calling thread (which then handles the
    // filter messages the module sends from that thread).
    bool Create();
    HWND Window() const { return window_; }

    // Settings, taken at the next accepted registration.
    void SetAccept(bool accept) { accept_ = accept; }
    void SetStream(std::vector<std::uint8_t> stream) { stream_ = std::move(stream); }
    void SetRateMBps(double mbps) { rateMBps_ = mbps; }
    void SetLoop(bool loop) { loop_ = loop; }
    // 1 to 5 packets of 188 bytes per block (default 5: 940 bytes).
    void SetPacketsPerBlock(std::size_t packets) { packetsPerBlock_ = packets; }
    // Measure how long each callback takes on the delivery thread.
    void SetTiming(bool timing) { timing_ = timing; }
    // A faulty host: goes on calling the callback for `ms` after removal.
    void SetCallAfterRemovalMs(std::uint32_t ms) { callAfterRemovalMs_ = ms; }

    // What the module asked for.
    std::uint32_t AddMessages() const { return addMessages_; }
    std::uint32_t RemoveMessages() const { return removeMessages_; }
    CorvanletAddress LastRemovedHandle() const { return lastRemovedHandle_; }
    CorvanletAddress LastGivenHandle() const { return nextHandle_ - 1; }
    const FilterRegistration& LastRegistration() const { return lastRegistration_; }
    // The address the module passed with the add message.
    const FilterRegistration* LastRegistrationAddress() const { return registration_; }

    // Waits until the current delivery has sent its blocks once (or was
    // removed). False on timeout.
    bool WaitForDeliveryEnd(std::uint32_t timeoutMs) const;
    // What was delivered to the last registration before its removal. Stable
    // once the delivery ended or the registration was removed.
    Delivery Delivered() const;
    std::uint64_t CallsAfterRemoval() const { return callsAfterRemoval_.load(); }
    // Nanoseconds per callback (with SetTiming), and the delivery's duration;
    // stable once the delivery ended.
    const std::vector<std::uint32_t>& CallbackNs() const { return callbackNs_; }
    double DeliverySeconds() const { return deliverySeconds_; }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnAdd(FilterRegistration* registration);
    void OnRemove(CorvanletAddress handle);
    void StopDelivery();
    void DeliveryLoop(::DataCallback callback, std::int32_t pid);

    HWND window_ = nullptr;
    bool accept_ = true;
    std::vector<std::uint8_t> stream_;
    double rateMBps_ = 0;
    bool loop_ = false;
    std::uint32_t callAfterRemovalMs_ = 0;
    std::size_t packetsPerBlock_ = 5;
    bool timing_ = false;
    std::vector<std::uint32_t> callbackNs_;
    double deliverySeconds_ = 0;

    std::uint32_t addMessages_ = 0;
    std::uint32_t removeMessages_ = 0;
    CorvanletAddress lastRemovedHandle_ = 0;
    CorvanletAddress nextHandle_ = 0x5A01;
    FilterRegistration lastRegistration_{};
    FilterRegistration* registration_ = nullptr;

    std::thread delivery_;
    std::atomic<bool> removed_{false};
    std::atomic<bool> inCallback_{false};
    std::atomic<bool> deliveryEnded_{true};
    // Written by the delivery thread; read after it ended or was joined.
    std::atomic<std::uint64_t> blocks_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::uint64_t checksum_ = 0;
    std::atomic<std::uint64_t> callsAfterRemoval_{0};
};

}  // namespace corvanlet::hostsim
