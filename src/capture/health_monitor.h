// HealthMonitor: a recording's last minute, second by second, from the
// totals its sink already counts: the bytes that came in and the bytes the
// ring refused (the rate graph), how long nothing came, whether most packets
// were scrambled, and the errors of each 10-second interval (the log's error
// lines). Fixed memory: 60 seconds. Portable and clock-free: the owner
// passes the tick count, whose 32-bit wrap (every 49.7 days) is harmless.
//
// One thread (the owner's timer) calls Start, Sample and Finish and reads
// the results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet {

class HealthMonitor {
  public:
    static constexpr std::uint32_t kSeconds = 60;        // the graph's width
    static constexpr std::uint32_t kNoDataAfterS = 5;    // "No data" from then on
    static constexpr std::uint32_t kIntervalMs = 10000;  // one error line at most per interval
    static constexpr std::uint32_t kMaxErrorLines = 100;

    // Cumulative since the recording started.
    struct Totals {
        std::uint64_t inBytes = 0;       // taken from the ring by the writer
        std::uint64_t refusedBytes = 0;  // delivered and refused by the ring
        std::uint64_t packets = 0;
        std::uint64_t scrambled = 0;  // packets with transport_scrambling_control not 00
        std::uint64_t continuityErrors = 0;
        std::uint64_t transportErrors = 0;
        std::uint64_t lostBytes = 0;   // refused, failed to write, or never confirmed
        bool latestScrambled = false;  // the latest packet was scrambled
    };
    // One second of the graph, in bytes.
    struct Second {
        std::uint32_t inBytes = 0;
        std::uint32_t refusedBytes = 0;
    };
    // An interval with errors, for the log.
    struct ErrorInterval {
        std::uint64_t startMs = 0;  // into the recording
        std::uint64_t continuityErrors = 0;
        std::uint64_t transportErrors = 0;
        std::uint64_t lostBytes = 0;
    };

    void Start(std::uint32_t nowMs);
    // Once a second or so: the totals now. A late call (a busy thread) fills
    // the seconds it missed with their average.
    void Sample(std::uint32_t nowMs, const Totals& totals);

    // The graph: second `age` back (0: the last whole second), while it is
    // within kSeconds and the recording's time.
    Second SecondAgo(std::uint32_t age) const;
    std::uint32_t SecondsKept() const { return filled_; }
    // Bits per second over the last second.
    std::uint64_t RateBitsPerSecond() const;
    // Seconds since data last came in (0 while it comes), and the longest
    // such gap of the recording so far (a gap from the start counts). Data
    // the ring holds while the writer waits on a stalled disk has not come
    // in yet: that shows as a gap too, and Lost soon says why.
    std::uint32_t NoDataSeconds() const { return static_cast<std::uint32_t>(gapMs_ / 1000); }
    std::uint32_t LongestGapSeconds() const {
        return static_cast<std::uint32_t>(longestGapMs_ / 1000);
    }
    // Scrambled packets are coming: most of the last sample's packets, or
    // the latest one, were scrambled. It holds through a pause, until clear
    // packets come (a long pause shows as no data first).
    bool Scrambled() const { return scrambled_; }
    // Continuity and transport errors in the last kSeconds.
    std::uint64_t ErrorsLastMinute() const;
    std::uint64_t ElapsedMs() const { return elapsedMs_; }

    // The next error interval for the log, oldest first; false when none is
    // waiting. After kMaxErrorLines of them, `leftOut` says once that more
    // intervals had errors.
    bool TakeErrorInterval(ErrorInterval& interval, bool& leftOut);
    // At the stop: the interval under way counts too.
    void Finish();

  private:
    void CloseSecond(const Second& second, std::uint64_t errors);
    void CloseInterval();

    std::uint32_t lastNow_ = 0;
    std::uint64_t elapsedMs_ = 0;
    std::uint64_t sampledMs_ = 0;  // elapsed at the last whole second kept
    Totals last_;
    // Since the last whole second kept.
    std::uint64_t pendingIn_ = 0;
    std::uint64_t pendingRefused_ = 0;
    std::uint64_t pendingErrors_ = 0;
    Second seconds_[kSeconds];
    std::uint64_t errors_[kSeconds] = {};
    std::uint32_t next_ = 0;  // the slot the next second goes into
    std::uint32_t filled_ = 0;
    std::uint64_t gapMs_ = 0;
    std::uint64_t longestGapMs_ = 0;
    bool scrambled_ = false;
    ErrorInterval interval_;  // the one under way
    ErrorInterval waiting_[4];
    std::uint32_t waitingCount_ = 0;
    std::uint32_t linesGiven_ = 0;
    bool leftOut_ = false;      // an interval past the last line had errors
    bool leftOutTold_ = false;  // and that was said
};

}  // namespace corvanlet
