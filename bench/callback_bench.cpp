// The host's callback, uncontended: what one delivery costs on the host's
// thread through DataCallback (with its one-producer turn), side by side with
// the same push without the turn, the baseline. Prints
// "name value unit" lines; each figure is the median over rounds that
// alternate the two, each round the mean over a batch of calls.
//
// Usage: callback_bench [directory for the output file]
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

#include "host/recording_filter.h"
#include "host/stream_filter.h"
#include "platform/platform.h"
#include "simulated_host.h"

namespace {

using corvanlet::BlockRing;

#if defined(_WIN64)
constexpr char kBuild[] = "win64";
#else
constexpr char kBuild[] = "win32";
#endif

constexpr int kRounds = 41;
constexpr int kCallsPerRound = 20000;

double NowNs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e9 / static_cast<double>(frequency.QuadPart);
}

// The baseline: the push without the turn (count the delivery, push, uncount).
std::atomic<std::uint32_t> inFlight{0};
void PlainDelivery(BlockRing& ring, const std::uint8_t* block, std::int32_t length) {
    inFlight.fetch_add(1, std::memory_order_seq_cst);
    ring.Push(block, length, 0);
    inFlight.fetch_sub(1, std::memory_order_release);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    corvanlet::hostsim::SimulatedHost host;
    if (!host.Create()) {
        std::fprintf(stderr, "callback_bench: cannot create the host window\n");
        return 2;
    }
    corvanlet::HostLink link;
    link.window = host.Window();
    link.ownerId = 256;
    corvanlet::RecordingFilter filter;
    // Named after this process: two runs at once never share the file.
    const std::string path =
        dir + "\\corvanlet-callback-bench-" + std::to_string(GetCurrentProcessId()) + ".dat";
    if (!filter.Start(link, 256, path.c_str())) {
        std::fprintf(stderr, "callback_bench: cannot create %s\n", path.c_str());
        return 2;
    }
    BlockRing& ring = const_cast<corvanlet::FileSink&>(filter.Sink());
    std::uint8_t block[188] = {0x47};
    std::vector<double> turn, plain;
    for (int round = 0; round < kRounds; ++round) {
        double start = NowNs();
        for (int i = 0; i < kCallsPerRound; ++i) corvanlet::DataCallback(0, sizeof block, block);
        turn.push_back((NowNs() - start) / kCallsPerRound);
        start = NowNs();
        for (int i = 0; i < kCallsPerRound; ++i) PlainDelivery(ring, block, sizeof block);
        plain.push_back((NowNs() - start) / kCallsPerRound);
        corvanlet::platform::SleepMs(20);  // let the writer drain between rounds
    }
    const std::uint64_t dropped = filter.Sink().DroppedBlocks();
    filter.Stop();
    DeleteFileA(path.c_str());
    std::printf("%s_callback_188B_with_turn_mean %.1f ns\n", kBuild, Median(turn));
    std::printf("%s_callback_188B_without_turn_mean %.1f ns\n", kBuild, Median(plain));
    std::printf("%s_callback_bench_dropped %llu blocks\n", kBuild,
                static_cast<unsigned long long>(dropped));
    return 0;
}
