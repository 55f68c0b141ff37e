// The host's callback, uncontended: what one delivery costs on the host's
// thread through DataCallback (with its one-producer turn), for each form of
// the PID field (one PID, a list, a service), side by side with the same
// push without the turn, the baseline. The blocks are one packet each of a
// made service stream, cycling. Prints "name value unit" lines; each figure
// is the median over rounds that alternate the four, each round the mean
// over a batch of calls.
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
#include "transport_stream.h"

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

// The forms of the PID field, as the recording filter is given them.
struct Mode {
    const char* name;
    corvanlet::RecordingFilter::Selection selection;
};

std::vector<Mode> Modes() {
    using Selection = corvanlet::RecordingFilter::Selection;
    Selection list;
    list.pids[0] = 0x101;
    list.pids[1] = 0x102;
    list.count = 2;
    Selection service;
    service.service = true;
    service.serviceId = 1;
    return {{"pid", Selection::Pid(0x101)}, {"list", list}, {"service", service}};
}

// One round of `calls` deliveries of the stream's packets through the callback.
double TimeCallback(const std::vector<std::uint8_t>& stream, std::size_t& at, int calls) {
    const double start = NowNs();
    for (int i = 0; i < calls; ++i) {
        corvanlet::DataCallback(0, 188, stream.data() + at);
        at = at + 376 <= stream.size() ? at + 188 : 0;
    }
    return (NowNs() - start) / calls;
}

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
    const std::vector<std::uint8_t> stream = corvanlet::hostsim::MakeServiceStream(20000);
    const std::vector<Mode> modes = Modes();
    std::vector<std::vector<double>> figures(modes.size() + 1);
    std::uint64_t dropped = 0;
    // Named after this process: two runs at once never share the file.
    const std::string path =
        dir + "\\corvanlet-callback-bench-" + std::to_string(GetCurrentProcessId()) + ".dat";
    std::size_t at = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t m = 0; m < modes.size(); ++m) {
            corvanlet::RecordingFilter filter;
            if (!filter.Start(link, modes[m].selection, path.c_str())) {
                std::fprintf(stderr, "callback_bench: cannot create %s\n", path.c_str());
                return 2;
            }
            figures[m].push_back(TimeCallback(stream, at, kCallsPerRound));
            if (m == 0) {  // the baseline, into the same ring
                BlockRing& ring = const_cast<corvanlet::FileSink&>(filter.Sink());
                const double start = NowNs();
                for (int i = 0; i < kCallsPerRound; ++i) PlainDelivery(ring, stream.data(), 188);
                figures.back().push_back((NowNs() - start) / kCallsPerRound);
            }
            dropped += filter.Sink().DroppedBlocks();
            filter.Stop();
        }
    }
    DeleteFileA(path.c_str());
    for (std::size_t m = 0; m < modes.size(); ++m) {
        std::printf("%s_callback_188B_%s_mean %.1f ns\n", kBuild, modes[m].name,
                    Median(figures[m]));
    }
    std::printf("%s_callback_188B_without_turn_mean %.1f ns\n", kBuild, Median(figures.back()));
    std::printf("%s_callback_bench_dropped %llu blocks\n", kBuild,
                static_cast<unsigned long long>(dropped));
    return 0;
}
