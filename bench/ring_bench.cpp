// Capture-core benchmark: prints one figure per line as "name value unit".
//
//   push_*    cost of Push on the producer (host) thread, paced and flat out
//   flood_*   end-to-end throughput into a real file, checked afterwards
//   plain_*   the same blocks written by plain per-block writes: the limit
//   stall_*   blocks dropped while the writer is held up
//
// Usage: ring_bench [directory for the output files] [--quick]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/file_sink.h"
#include "plain_write.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using corvanlet::FileSink;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Which build a figure came from: the widths behave differently under wine.
#if defined(_WIN64)
constexpr char kBuild[] = "win64";
#elif defined(_WIN32)
constexpr char kBuild[] = "win32";
#else
constexpr char kBuild[] = "native";
#endif

void Print(const std::string& name, double value, const char* unit) {
    std::printf("%s_%s %.6g %s\n", kBuild, name.c_str(), value, unit);
    std::fflush(stdout);
}

std::string RateName(double mbps) {
    if (mbps <= 0) return "flat";
    char text[32];
    std::snprintf(text, sizeof text, "%gMBps", mbps);
    std::string name = text;
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}

// Each block starts with its sequence number; the rest is a byte derived from it.
void FillBlock(std::uint32_t seq, std::vector<std::uint8_t>& block) {
    std::memset(block.data(), static_cast<int>(seq & 0xFF), block.size());
    std::memcpy(block.data(), &seq, 4);
}

// A figure made from a file that could not be created would be meaningless:
// the benchmark stops instead.
[[noreturn]] void CannotCreate(const std::string& path) {
    std::fprintf(stderr, "ring_bench: cannot create %s\n", path.c_str());
    std::exit(2);
}

// Reads a file of fixed-size blocks and checks that their sequence numbers
// increase and that every block is whole. Returns the number of blocks, or -1.
long long CheckFile(const std::string& path, std::size_t blockSize) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> block(blockSize);
    long long count = 0;
    long long previous = -1;
    while (
        in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(blockSize))) {
        std::uint32_t seq = 0;
        std::memcpy(&seq, block.data(), 4);
        if (static_cast<long long>(seq) <= previous) return -1;
        for (std::size_t i = 4; i < blockSize; ++i) {
            if (block[i] != static_cast<std::uint8_t>(seq & 0xFF)) return -1;
        }
        previous = seq;
        ++count;
    }
    if (in.gcount() != 0) return -1;  // a partial block
    return count;
}

// A sink whose writer can be held up once, on request, for a given time.
class StallingSink : public FileSink {
  public:
    using FileSink::FileSink;
    ~StallingSink() override { CloseFile(); }
    std::atomic<std::uint32_t> stallMs{0};

  protected:
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override {
        const std::uint32_t ms = stallMs.exchange(0, std::memory_order_relaxed);
        if (ms != 0) corvanlet::platform::SleepMs(ms);
        FileSink::ProcessBlock(data, length, tag);
    }
};

// A sink whose writes can block until released, or take a fixed time each.
class DiskSink : public FileSink {
  public:
    explicit DiskSink(std::int32_t capacity) : FileSink(capacity) {}
    ~DiskSink() override {
        ForbidLeavingBehind();
        CloseFile();
        if (destroyed != nullptr) destroyed->store(true);
    }
    std::atomic<bool> blockWrites{false};
    std::atomic<bool> inWrite{false};
    std::uint32_t writeMs = 0;
    std::atomic<bool>* destroyed = nullptr;

  protected:
    bool WriteSome(const void* data, std::uint32_t length, std::uint64_t offset,
                   std::uint32_t* written) override {
        inWrite = true;
        while (blockWrites.load()) corvanlet::platform::SleepMs(1);
        if (writeMs != 0) corvanlet::platform::SleepMs(writeMs);
        return FileSink::WriteSome(data, length, offset, written);
    }
};

// Stop while the disk does not answer: the time Close takes to give up on
// the writer, which then frees its sink once the write returns.
void PrintStopWithAStuckWrite(const std::string& path) {
    std::atomic<bool> destroyed{false};
    auto* sink = new DiskSink(1 << 20);  // the writer left behind deletes it
    sink->destroyed = &destroyed;
    sink->AllowLeavingBehind();
    if (!sink->OpenFile(path.c_str())) CannotCreate(path);
    sink->blockWrites = true;
    std::vector<std::uint8_t> block(940);
    for (std::uint32_t seq = 0; seq < 500; ++seq) {
        FillBlock(seq, block);
        (void)sink->Push(block.data(), 940, 0);
    }
    while (!sink->inWrite.load()) corvanlet::platform::SleepMs(1);
    const auto start = Clock::now();
    const bool closed = sink->CloseFile();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    Print("stop_stuck_write", ms, "ms");
    Print("stop_stuck_write_left_behind", closed ? 0 : 1, "bool");
    Print("stop_stuck_write_unconfirmed", static_cast<double>(sink->Read().unconfirmedBytes),
          "bytes");
    if (!closed) sink->LetGo();
    sink->blockWrites = false;
    while (!destroyed.load()) corvanlet::platform::SleepMs(1);
    fs::remove(path);
}

// Stop with a full 1 MiB ring on a disk that takes 180 ms for each 64 KiB
// call: Close waits for all of it, every block in the file.
void PrintStopOnASlowDisk(const std::string& path) {
    DiskSink sink(1 << 20);
    sink.AllowLeavingBehind();
    sink.writeMs = 180;
    if (!sink.OpenFile(path.c_str())) CannotCreate(path);
    std::vector<std::uint8_t> block(1000);
    std::uint64_t pushed = 0;
    for (std::uint32_t seq = 0;; ++seq) {
        FillBlock(seq, block);
        if (sink.Push(block.data(), 1000, 0) != corvanlet::BlockRing::PushResult::kQueued) break;
        ++pushed;
    }
    const auto start = Clock::now();
    const bool closed = sink.CloseFile();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    Print("stop_slow_disk_full_1MiB_ring", ms, "ms");
    Print("stop_slow_disk_file_complete",
          closed && CheckFile(path, 1000) == static_cast<long long>(pushed) ? 1 : 0, "bool");
    fs::remove(path);
}

struct PacedRun {
    std::vector<std::uint32_t> pushNs;
    std::uint64_t pushed = 0;
    std::uint64_t dropped = 0;
    std::uint64_t wakes = 0;
    std::uint64_t lateWakeups = 0;
    std::uint64_t bytesWritten = 0;
    double seconds = 0;
    long long blocksInFile = 0;
};

// Committed private memory of this process (Windows; 0 elsewhere).
std::uint64_t CommittedBytes() {
#ifdef _WIN32
    std::uint64_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* at = nullptr; VirtualQuery(at, &info, sizeof info) == sizeof info;
         at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    }
    return total;
#else
    return 0;
#endif
}

// Pushes blocks of `blockSize` at `mbps` (0: flat out) for `seconds`; when
// `stallAfterMs` is set, holds the writer for `stallMs` at that point.
PacedRun RunPaced(const std::string& path, std::size_t blockSize, double mbps, double seconds,
                  std::uint32_t stallAfterMs = 0, std::uint32_t stallMs = 0,
                  std::int32_t capacity = FileSink::kCapacity) {
    StallingSink sink(capacity);
    PacedRun run;
    if (!sink.OpenFile(path.c_str())) CannotCreate(path);
    std::vector<std::uint8_t> block(blockSize);
    const double interval = mbps > 0 ? blockSize / (mbps * 1e6) : 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    bool stalled = stallMs == 0;
    run.pushNs.reserve(static_cast<std::size_t>(mbps > 0 ? seconds / interval + 16 : 1 << 22));
    for (std::uint32_t seq = 0;; ++seq) {
        auto due = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(seq * interval));
        auto now = Clock::now();
        if (mbps > 0) {
            while (now < due) now = Clock::now();
        }
        if (now >= end) break;
        if (!stalled && now - start >= std::chrono::milliseconds(stallAfterMs)) {
            sink.stallMs.store(stallMs, std::memory_order_relaxed);
            stalled = true;
        }
        FillBlock(seq, block);
        const auto before = Clock::now();
        const bool accepted = sink.Push(block.data(), static_cast<std::int32_t>(blockSize), 0) ==
                              corvanlet::BlockRing::PushResult::kQueued;
        const auto after = Clock::now();
        // Flat out, a refused block gives the core back to the writer and the
        // system's own write-back: on two cores a spinning producer would
        // measure the contention, not the ring.
        if (!accepted && mbps <= 0) std::this_thread::yield();
        if (run.pushNs.size() < run.pushNs.capacity()) {
            run.pushNs.push_back(static_cast<std::uint32_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count()));
        }
        ++run.pushed;
    }
    sink.CloseFile();
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.dropped = sink.DroppedBlocks();
    run.wakes = sink.WakeCalls();
    run.lateWakeups = sink.LateWakeups();
    run.bytesWritten = sink.BytesWritten();
    run.blocksInFile = CheckFile(path, blockSize);
    fs::remove(path);
    return run;
}

double Percentile(std::vector<std::uint32_t> values, double p) {
    if (values.empty()) return 0;
    const auto index = static_cast<std::size_t>(p * (values.size() - 1));
    std::nth_element(values.begin(), values.begin() + index, values.end());
    return values[index];
}

double TimerOverheadNs() {
    std::vector<std::uint32_t> samples;
    for (int i = 0; i < 100000; ++i) {
        const auto a = Clock::now();
        const auto b = Clock::now();
        samples.push_back(static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count()));
    }
    return Percentile(samples, 0.5);
}

// The limit: the same blocks written one write call each from one thread,
// `blocks` of them, or for `seconds` when that is given.
double PlainWrite(const std::string& path, std::size_t blockSize, std::uint64_t blocks,
                  double seconds = 0) {
    std::vector<std::uint8_t> block(blockSize);
    const double mbps = corvanlet::bench::PlainWriteMBps(
        path,
        [&](std::uint64_t seq) {
            FillBlock(static_cast<std::uint32_t>(seq), block);
            return std::pair(block.data(), static_cast<std::uint32_t>(blockSize));
        },
        [&](std::uint64_t seq, double elapsed) {
            return seconds > 0 ? elapsed < seconds : seq < blocks;
        });
    if (mbps < 0) CannotCreate(path);
    fs::remove(path);
    return mbps;
}

void PrintPushTable(const std::string& path, double scale) {
    for (const std::size_t blockSize : {std::size_t{188}, std::size_t{940}}) {
        for (const double mbps : {1.0, 2.5, 10.0, 0.0}) {
            const double seconds = mbps == 0 ? 1.0 : (blockSize == 188 && mbps == 2.5 ? 10.0 : 2.0);
            const PacedRun run = RunPaced(path, blockSize, mbps, seconds * scale);
            const std::string name = "push_" + std::to_string(blockSize) + "B_" + RateName(mbps);
            Print(name + "_median", Percentile(run.pushNs, 0.5), "ns");
            Print(name + "_p99", Percentile(run.pushNs, 0.99), "ns");
            Print(name + "_max", Percentile(run.pushNs, 1.0), "ns");
            Print(name + "_wakes_per_1000", run.pushed ? 1000.0 * run.wakes / run.pushed : 0,
                  "calls");
            Print(name + "_dropped", static_cast<double>(run.dropped), "blocks");
            Print(name + "_late_wakeups", static_cast<double>(run.lateWakeups), "count");
            if (run.blocksInFile != static_cast<long long>(run.pushed - run.dropped)) {
                Print(name + "_FILE_CHECK_FAILED", static_cast<double>(run.blocksInFile), "blocks");
            }
        }
    }
}

// Flat out into a real file, beside plain writes of as many blocks.
void PrintFloodTable(const std::string& path, double scale) {
    for (const std::size_t blockSize : {std::size_t{188}, std::size_t{940}}) {
        const std::string name = std::to_string(blockSize) + "B";
        // Both measured runs should meet the same page cache: each follows
        // the deletion of a file of about the same size.
        PlainWrite(path, blockSize, 0, 2.0 * scale);
        const PacedRun run = RunPaced(path, blockSize, 0, 2.0 * scale);
        const double floodMBps = run.bytesWritten / run.seconds / 1e6;
        const bool fileOk = run.blocksInFile == static_cast<long long>(run.pushed - run.dropped);
        Print("flood_" + name + "_throughput", floodMBps, "MB/s");
        Print("flood_" + name + "_pushed", static_cast<double>(run.pushed), "blocks");
        Print("flood_" + name + "_dropped", static_cast<double>(run.dropped), "blocks");
        Print("flood_" + name + "_file_in_order_and_complete", fileOk ? 1 : 0, "bool");
        const double plainMBps = PlainWrite(path, blockSize, run.pushed - run.dropped);
        Print("plain_" + name + "_throughput", plainMBps, "MB/s");
        Print("flood_" + name + "_ratio_to_plain", plainMBps > 0 ? floodMBps / plainMBps : 0,
              "ratio");
    }
}

// The writer held up once, with the default ring (and a 1 MiB one, where
// the longer stalls go past what it holds). Drops are whole blocks; the
// file holds exactly the accepted ones.
void PrintStallTable(const std::string& path) {
    for (const std::int32_t capacity : {FileSink::kCapacity, 1024 * 1024}) {
        const std::string ring = capacity == FileSink::kCapacity ? "" : "_ring1MiB";
        for (const double mbps : {1.0, 2.5, 10.0}) {
            if (capacity != FileSink::kCapacity && mbps != 10.0) continue;
            const double toleranceMs = 0.9 * capacity / (mbps * 1e6) * 1000;
            Print("stall_tolerance_" + RateName(mbps) + ring, toleranceMs, "ms");
            for (const std::uint32_t stallMs : {100u, 250u, 500u, 1000u}) {
                const PacedRun run =
                    RunPaced(path, 188, mbps, 0.3 + stallMs / 1000.0, 100, stallMs, capacity);
                const std::string name =
                    "stall_" + std::to_string(stallMs) + "ms_" + RateName(mbps) + "_188B" + ring;
                Print(name + "_dropped", static_cast<double>(run.dropped), "blocks");
                const bool fileOk =
                    run.blocksInFile == static_cast<long long>(run.pushed - run.dropped);
                Print(name + "_file_in_order_and_complete", fileOk ? 1 : 0, "bool");
            }
        }
    }
}

// Memory: what a sink holds while idle (its object, with the batch buffer
// and the continuity state), and the ring it adds while recording.
void PrintMemoryTable(const std::string& path) {
    Print("memory_idle", static_cast<double>(sizeof(FileSink)) / 1024, "KiB");
    FileSink sink;
    const std::uint64_t before = CommittedBytes();
    if (sink.OpenFile(path.c_str())) {
        Print("memory_recording", static_cast<double>(sizeof(FileSink) + sink.Capacity()) / 1024,
              "KiB");
        if (before != 0) {
            Print("memory_recording_committed_by_open",
                  static_cast<double>(CommittedBytes() - before) / 1024, "KiB");
        }
        sink.CloseFile();
    }
    fs::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
    fs::path dir = fs::temp_directory_path();
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else {
            dir = argv[i];
        }
    }
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    // Named after this process: two runs at once never share the file.
    const std::string path = (dir / ("corvanlet-bench-" + std::to_string(pid) + ".dat")).string();
    {
        corvanlet::platform::File probe;
        if (!probe.Create(path.c_str())) CannotCreate(path);
    }
    const double scale = quick ? 0.2 : 1.0;

    Print("timer_overhead_median", TimerOverheadNs(), "ns");
    PrintPushTable(path, scale);
    PrintFloodTable(path, scale);
    PrintStallTable(path);
    PrintStopWithAStuckWrite(path);
    PrintStopOnASlowDisk(path);
    PrintMemoryTable(path);
    return 0;
}
