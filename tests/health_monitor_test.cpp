// The recording's last minute as the dialog and the log see it, with a fake
// clock: bins, rate, gaps, the scrambled share and the error intervals.
#include <gtest/gtest.h>

#include <cstdint>

#include "capture/health_monitor.h"

namespace corvanlet {
namespace {

using Totals = HealthMonitor::Totals;

// A clock that starts just before the 32-bit tick count wraps (49.7 days).
constexpr std::uint32_t kStart = 0xFFFFFFFFu - 2500;

TEST(HealthMonitor, SecondsRateAndGapsFollowTheTotalsAcrossATickWrap) {
    HealthMonitor monitor;
    monitor.Start(kStart);
    Totals totals;
    std::uint32_t now = kStart;
    // 3 s at 100 kbit/s, then 3 s at 80 Mbit/s with a tenth refused.
    for (int s = 0; s < 6; ++s) {
        totals.inBytes += s < 3 ? 12500 : 10000000;
        totals.refusedBytes += s < 3 ? 0 : 1000000;
        now += 1000;
        monitor.Sample(now, totals);
    }
    ASSERT_EQ(monitor.SecondsKept(), 6u);
    EXPECT_EQ(monitor.SecondAgo(0).inBytes, 10000000u);
    EXPECT_EQ(monitor.SecondAgo(0).refusedBytes, 1000000u);
    EXPECT_EQ(monitor.SecondAgo(5).inBytes, 12500u);
    EXPECT_EQ(monitor.RateBitsPerSecond(), 80000000u);
    EXPECT_EQ(monitor.ElapsedMs(), 6000u);

    // Nothing for 7 s, sampled late: the missed seconds are empty bins.
    now += 2500;
    monitor.Sample(now, totals);
    now += 4500;
    monitor.Sample(now, totals);
    EXPECT_EQ(monitor.NoDataSeconds(), 7u);
    EXPECT_EQ(monitor.SecondsKept(), 13u);
    EXPECT_EQ(monitor.SecondAgo(0).inBytes, 0u);
    // Data again: the gap ends; the longest stays.
    totals.inBytes += 500;
    now += 1000;
    monitor.Sample(now, totals);
    EXPECT_EQ(monitor.NoDataSeconds(), 0u);
    EXPECT_EQ(monitor.LongestGapSeconds(), 7u);
    // A sample that missed more than a minute keeps only the last minute.
    now += 90000;
    totals.inBytes += 90 * 1000;
    monitor.Sample(now, totals);
    EXPECT_EQ(monitor.SecondsKept(), HealthMonitor::kSeconds);
    EXPECT_EQ(monitor.SecondAgo(59).inBytes, 1000u);
}

TEST(HealthMonitor, ScrambledIsMostOfTheLastPacketsOrTheLatestOne) {
    HealthMonitor monitor;
    monitor.Start(0);
    Totals totals;
    totals.packets = 100;
    totals.scrambled = 51;
    monitor.Sample(1000, totals);
    EXPECT_TRUE(monitor.Scrambled());
    totals.packets += 100;
    totals.scrambled += 50;  // half is not most
    monitor.Sample(2000, totals);
    EXPECT_FALSE(monitor.Scrambled());
    // A stream that turns scrambled late in a second, then pauses: the
    // latest packets say so, and it holds through the pause.
    totals.packets += 100;
    totals.scrambled += 30;
    totals.latestScrambled = true;
    monitor.Sample(3000, totals);
    EXPECT_TRUE(monitor.Scrambled());
    monitor.Sample(4000, totals);
    EXPECT_TRUE(monitor.Scrambled()) << "a pause is not clear packets";
    totals.packets += 10;
    totals.latestScrambled = false;
    monitor.Sample(5000, totals);
    EXPECT_FALSE(monitor.Scrambled()) << "clear packets came";
}

// At most one line per 10 s, only for intervals with errors, 100 at most and
// then one saying more were left out; the interval under way counts at the stop.
TEST(HealthMonitor, ErrorIntervalsAreGivenOncePerTenSecondsAndBounded) {
    HealthMonitor monitor;
    monitor.Start(kStart);
    Totals totals;
    std::uint32_t now = kStart;
    HealthMonitor::ErrorInterval interval;
    bool leftOut = false;
    std::uint32_t lines = 0;
    for (std::uint32_t s = 1; s <= 1100; ++s) {
        if (s % 10 == 5 && s != 25) ++totals.continuityErrors;  // the third interval is clean
        if (s == 12) totals.lostBytes += 940;
        now += 1000;
        monitor.Sample(now, totals);
        while (monitor.TakeErrorInterval(interval, leftOut)) {
            if (leftOut) {
                EXPECT_EQ(lines, HealthMonitor::kMaxErrorLines);
                continue;
            }
            const std::uint64_t starts[] = {0, 10000, 30000};
            if (lines < 3) {
                EXPECT_EQ(interval.startMs, starts[lines]);
            }
            EXPECT_EQ(interval.lostBytes, lines == 1 ? 940u : 0u);
            EXPECT_EQ(interval.continuityErrors, 1u);
            ++lines;
        }
    }
    EXPECT_EQ(lines, HealthMonitor::kMaxErrorLines);
    EXPECT_EQ(monitor.ErrorsLastMinute(), 6u);
    monitor.Finish();
    EXPECT_FALSE(monitor.TakeErrorInterval(interval, leftOut));  // said once already
}

}  // namespace
}  // namespace corvanlet
