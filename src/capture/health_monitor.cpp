#include "capture/health_monitor.h"

#include <algorithm>
#include <iterator>

namespace corvanlet {

void HealthMonitor::Start(std::uint32_t nowMs) {
    *this = HealthMonitor{};
    lastNow_ = nowMs;
}

void HealthMonitor::Sample(std::uint32_t nowMs, const Totals& totals) {
    // Unsigned: a wrap of the tick count between two samples is harmless.
    const std::uint32_t stepMs = nowMs - lastNow_;
    lastNow_ = nowMs;
    elapsedMs_ += stepMs;
    const std::uint64_t in = totals.inBytes - last_.inBytes;
    const std::uint64_t refused = totals.refusedBytes - last_.refusedBytes;
    const std::uint64_t packets = totals.packets - last_.packets;
    const std::uint64_t scrambled = totals.scrambled - last_.scrambled;
    const std::uint64_t cc = totals.continuityErrors - last_.continuityErrors;
    const std::uint64_t transport = totals.transportErrors - last_.transportErrors;
    const std::uint64_t lost = totals.lostBytes - last_.lostBytes;
    last_ = totals;

    gapMs_ = in + refused != 0 ? 0 : gapMs_ + stepMs;
    longestGapMs_ = std::max(longestGapMs_, gapMs_);
    if (packets != 0) scrambled_ = scrambled * 2 > packets || totals.latestScrambled;

    // The interval the sample's last millisecond lies in takes its errors;
    // the ones before are over.
    if (elapsedMs_ > interval_.startMs + kIntervalMs) {
        CloseInterval();
        interval_ = ErrorInterval{};
        interval_.startMs = (elapsedMs_ - 1) / kIntervalMs * kIntervalMs;
    }
    interval_.continuityErrors += cc;
    interval_.transportErrors += transport;
    interval_.lostBytes += lost;

    // The whole seconds since the last one kept share what came.
    const std::uint64_t whole = (elapsedMs_ - sampledMs_) / 1000;
    pendingIn_ += in;
    pendingRefused_ += refused;
    pendingErrors_ += cc + transport;
    if (whole == 0) return;
    sampledMs_ += whole * 1000;
    const std::uint64_t kept = std::min<std::uint64_t>(whole, kSeconds);
    for (std::uint64_t i = 0; i < kept; ++i) {
        Second second;
        second.inBytes =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(pendingIn_ / whole, UINT32_MAX));
        second.refusedBytes = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(pendingRefused_ / whole, UINT32_MAX));
        CloseSecond(second, i + 1 == kept ? pendingErrors_ : 0);
    }
    pendingIn_ = pendingRefused_ = pendingErrors_ = 0;
}

void HealthMonitor::CloseSecond(const Second& second, std::uint64_t errors) {
    seconds_[next_] = second;
    errors_[next_] = errors;
    next_ = (next_ + 1) % kSeconds;
    filled_ = std::min(filled_ + 1, kSeconds);
}

HealthMonitor::Second HealthMonitor::SecondAgo(std::uint32_t age) const {
    if (age >= filled_) return Second{};
    return seconds_[(next_ + kSeconds - 1 - age) % kSeconds];
}

std::uint64_t HealthMonitor::RateBitsPerSecond() const {
    return std::uint64_t{SecondAgo(0).inBytes} * 8;
}

std::uint64_t HealthMonitor::ErrorsLastMinute() const {
    std::uint64_t sum = pendingErrors_;
    for (std::uint32_t i = 0; i < filled_; ++i) sum += errors_[i];
    return sum;
}

void HealthMonitor::CloseInterval() {
    const ErrorInterval& done = interval_;
    if (done.continuityErrors + done.transportErrors + done.lostBytes == 0) return;
    if (linesGiven_ == kMaxErrorLines || waitingCount_ == std::size(waiting_)) {
        leftOut_ = true;
        return;
    }
    ++linesGiven_;
    waiting_[waitingCount_++] = done;
}

bool HealthMonitor::TakeErrorInterval(ErrorInterval& interval, bool& leftOut) {
    leftOut = false;
    if (waitingCount_ != 0) {
        interval = waiting_[0];
        std::copy(waiting_ + 1, waiting_ + waitingCount_, waiting_);
        --waitingCount_;
        return true;
    }
    if (!leftOut_ || leftOutTold_) return false;
    leftOutTold_ = true;
    leftOut = true;
    return true;
}

void HealthMonitor::Finish() {
    CloseInterval();
    interval_ = ErrorInterval{};
    interval_.startMs = elapsedMs_;
}

}  // namespace corvanlet
