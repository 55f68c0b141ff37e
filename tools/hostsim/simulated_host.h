// The host's side of the module contract, for tests and for hostsim: a real
// top-level window that answers the filter messages, and a delivery thread
// that calls the registered callbacks with their PIDs' blocks.
//
// Registrations: up to kMaxRegistrations live at once (fewer with
// SetMaxFilters); an add message past that is refused (result 0). Each
// accepted one gets its own handle, written at 0x2C of the record; the remove
// message with that handle ends it (one with a handle no live registration
// has changes nothing). A registration without a callback address gets no
// calls.
//
// Delivery: one thread walks the stream packet by packet, in order, and
// delivers every packet whose PID is registered at that moment; a
// registration of 8192 takes every packet that no registration of its own
// PID takes. The thread reads the registered set at each packet, so a
// registration added or removed while it delivers counts from the next
// packet on.
//
// Blocks: a block holds up to packetsPerBlock packets of one registered PID,
// in stream order (for 8192: of the PIDs it takes, mixed, as the stream has
// them). It is delivered when it is full, when the next delivered packet is
// of another registered PID, or at the end of the stream. Packets nobody
// takes are skipped and do not end a block: with one registration a block is
// the next packetsPerBlock packets of its PID however many others come
// between (as BlocksForPid cuts them); with several, a block also ends where
// a packet of another registered PID comes. At a tuner's pace
// (SetStreamRateMBps) a block is also delivered once its first packet is
// 50 ms of stream old, as a host's buffer would, so a sparse PID (a PAT ten
// times a second) is not held back for half a second. Each block goes, in
// one call, to the callback of the earliest live registration of its PID.
//
// The delivery starts with the first accepted registration and goes on until
// the stream was delivered (once, or again and again with SetLoop) or every
// registration was removed. A registration accepted after that starts a new
// delivery from the start of the stream, which also serves every
// registration still live.
//
// Removal: once the remove message returns, no call of the removed
// registration's callback is under way or made later. Unless
// SetCallAfterRemovalMs plays a faulty host: then the removal of the last
// live registration returns at once, and the delivery thread goes on calling
// that registration's callback with its PID's blocks for the time given.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <windows.h>

#include "corvanlet/host_api.h"

namespace corvanlet::hostsim {

class SimulatedHost {
  public:
    // At most this many registrations are live at once.
    static constexpr std::size_t kMaxRegistrations = 32;

    struct Delivery {
        std::uint64_t blocks = 0;
        std::uint64_t bytes = 0;
        std::uint64_t checksum = 0;  // FNV-1a over the delivered bytes, in delivery order
    };

    SimulatedHost();
    ~SimulatedHost();
    SimulatedHost(const SimulatedHost&) = delete;
    SimulatedHost& operator=(const SimulatedHost&) = delete;

    // Creates the host's window on the calling thread (which then handles the
    // filter messages the module sends from that thread).
    bool Create();
    HWND Window() const { return window_; }

    // Whether to accept add messages, and how many registrations may be live
    // at once (0: kMaxRegistrations; never more); both count from the next
    // add message. Refused ones are listed by RefusedPids.
    void SetAccept(bool accept) { accept_ = accept; }
    void SetMaxFilters(std::size_t count) { maxFilters_ = count; }
    // The delivery thread reads the settings below: set them before the
    // registration that starts a delivery.
    void SetStream(std::vector<std::uint8_t> stream) { stream_ = std::move(stream); }
    // Paces the delivered bytes: all PIDs together, `mbps` MB/s at most.
    void SetRateMBps(double mbps) { rateMBps_ = mbps; }
    // A step in the delivery rate: `mbps` from `afterSeconds` into the delivery.
    void SetRateStep(double afterSeconds, double mbps) {
        stepAfterSeconds_ = afterSeconds;
        stepMBps_ = mbps;
    }
    // Paces the walk through the stream as a tuner feeds a host: a packet is
    // looked at only once the stream's bytes before it took their time at
    // `mbps`, delivered or not. Without it the walk skips the packets nobody
    // registered at once, so a module that registers PIDs as it reads the
    // tables finds the stream gone by.
    void SetStreamRateMBps(double mbps) { streamRateMBps_ = mbps; }
    void SetLoop(bool loop) { loop_ = loop; }
    // 1 to 5 packets of 188 bytes per block (default 5: 940 bytes).
    void SetPacketsPerBlock(std::size_t packets) { packetsPerBlock_ = packets; }
    // Measure how long each callback takes on the delivery thread.
    void SetTiming(bool timing) { timing_ = timing; }
    // A faulty host: goes on calling the callback for `ms` after the last removal.
    void SetCallAfterRemovalMs(std::uint32_t ms) { callAfterRemovalMs_ = ms; }

    // What the module asked for. Read on the window's thread, or after the
    // messages were answered.
    std::uint32_t AddMessages() const { return addMessages_; }
    std::uint32_t RemoveMessages() const { return removeMessages_; }
    CorvanletAddress LastRemovedHandle() const { return lastRemovedHandle_; }
    CorvanletAddress LastGivenHandle() const { return nextHandle_ - 1; }
    const FilterRegistration& LastRegistration() const { return lastRegistration_; }
    // The address the module passed with the last add message.
    const FilterRegistration* LastRegistrationAddress() const { return registration_; }
    // The PIDs of the live registrations, in the order they were accepted.
    std::vector<std::uint16_t> RegisteredPids() const;
    // Every PID ever accepted, and every PID refused, in the order asked.
    std::vector<std::uint16_t> AcceptedPids() const;
    std::vector<std::uint16_t> RefusedPids() const;

    // Waits until the current delivery has sent the stream once (or every
    // registration was removed). False on timeout.
    bool WaitForDeliveryEnd(std::uint32_t timeoutMs) const;
    // What the current (or last) delivery sent, all PIDs together, from its
    // start. Stable once the delivery ended or the last registration was
    // removed; a removal that returned has its PID's blocks in it.
    Delivery Delivered() const;
    // Every block delivered since the host began, over all its deliveries
    // (a registration after one ended starts the stream again), and how many
    // deliveries there were; the checksum is left 0. Window's thread.
    Delivery DeliveredInAll() const;
    std::uint32_t Deliveries() const { return deliveries_; }
    // The same for one PID (8192: the blocks of a whole-stream registration);
    // the checksum is left 0.
    Delivery DeliveredPerPid(std::uint16_t pid) const;
    std::uint64_t CallsAfterRemoval() const {
        // Relaxed: a plain count, written by the delivery thread.
        return callsAfterRemoval_.load(std::memory_order_relaxed);
    }
    // Nanoseconds per callback (with SetTiming), and the delivery's duration;
    // stable once the delivery ended.
    const std::vector<std::uint32_t>& CallbackNs() const { return callbackNs_; }
    double DeliverySeconds() const { return deliverySeconds_; }

  private:
    // Registration keys: PIDs 0 to 8191, and 8192 for the whole stream.
    static constexpr std::size_t kKeys = 8193;

    struct Registration {
        CorvanletAddress handle;
        std::uint16_t pid;
        std::uintptr_t callback;
    };
    // The block being gathered on the delivery thread.
    struct Block {
        std::size_t key = 0;
        std::vector<std::uint8_t> bytes;
        std::uint64_t walkedAtFirst = 0;  // Pacing::walked at its first packet
    };
    struct Pacing {
        std::chrono::steady_clock::time_point start;
        std::uint64_t sent = 0;    // bytes delivered so far
        std::uint64_t walked = 0;  // bytes of the stream looked at so far
        double rate = 0;           // MB/s now (SetRateMBps, then the step's)
        bool stepped = false;
    };
    struct Counts {
        std::atomic<std::uint64_t> blocks{0};
        std::atomic<std::uint64_t> bytes{0};
    };

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnAdd(FilterRegistration* registration);
    void OnRemove(CorvanletAddress handle);
    bool Refuses() const;
    void Route(std::uint16_t pid);
    void StartDelivery();
    void StopDelivery();
    void DeliveryLoop();
    bool DeliverPass(Pacing& pacing, Block& block);
    std::size_t KeyOf(const std::uint8_t* packet) const;
    void Send(Block& block, Pacing& pacing);
    void Pace(const Pacing& pacing) const;
    void PaceStream(const Pacing& pacing) const;
    void Count(const Block& block);
    void CallAfterRemoval();

    HWND window_ = nullptr;
    bool accept_ = true;
    std::size_t maxFilters_ = 0;
    std::vector<std::uint8_t> stream_;
    double rateMBps_ = 0;
    double stepAfterSeconds_ = 0;
    double stepMBps_ = 0;
    double streamRateMBps_ = 0;
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

    // The registrations; changed on the window's thread, read by tests.
    mutable std::mutex registrationsLock_;
    std::vector<Registration> live_;
    std::vector<std::uint16_t> accepted_;
    std::vector<std::uint16_t> refused_;

    // Per key, the callback address of its earliest live registration, or 0.
    // Stored by OnAdd/OnRemove, loaded by Send and KeyOf.
    std::unique_ptr<std::atomic<std::uintptr_t>[]> route_;
    // The last removed registration, for a faulty host's calls after it;
    // written before stop_ is set, read after it was seen.
    std::size_t afterRemovalKey_ = 0;
    std::uintptr_t afterRemovalCallback_ = 0;

    std::thread delivery_;
    bool delivering_ = false;  // window's thread: a delivery thread was started and not stopped
    // Set by OnRemove (last registration) and StopDelivery; loaded by the
    // delivery thread.
    std::atomic<bool> stop_{false};
    // Stored by Send around each call; loaded by OnRemove.
    std::atomic<bool> inCallback_{false};
    // Stored by the delivery thread when it ended; loaded by WaitForDeliveryEnd and OnAdd.
    std::atomic<bool> deliveryEnded_{true};
    // Written by the delivery thread; blocks_ is stored after the others with
    // release, for Delivered's acquire.
    std::atomic<std::uint64_t> blocks_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::uint64_t checksum_ = 0;
    std::unique_ptr<Counts[]> perKey_;
    std::atomic<std::uint64_t> callsAfterRemoval_{0};
    // The deliveries before the current one; window's thread only.
    Delivery earlier_;
    std::uint32_t deliveries_ = 0;
};

}  // namespace corvanlet::hostsim
