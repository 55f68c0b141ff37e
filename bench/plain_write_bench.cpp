// Plain writes of a stream's blocks, the limit for the end-to-end figures:
// the blocks hostsim delivers for a PID (the same cutting), written with one
// write call each, from one thread, again and again for at least `seconds`,
// so that start-up costs do not count. Prints "plain_write_MBps <rate>".
//
// Usage: plain_write_bench TS PID PACKETS_PER_BLOCK OUTPUT [SECONDS]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "plain_write.h"
#include "transport_stream.h"

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fputs("Usage: plain_write_bench TS PID PACKETS_PER_BLOCK OUTPUT [SECONDS]\n", stderr);
        return 1;
    }
    std::vector<std::uint8_t> stream;
    corvanlet::hostsim::PacketGrid grid;
    std::string error;
    if (!corvanlet::hostsim::LoadTransportStream(argv[1], stream, grid, error)) {
        std::fprintf(stderr, "plain_write_bench: %s\n", error.c_str());
        return 2;
    }
    const auto blocks = corvanlet::hostsim::BlocksForPid(
        stream, std::atoi(argv[2]), static_cast<std::size_t>(std::atoi(argv[3])));
    if (blocks.empty()) {
        std::fputs("plain_write_bench: the PID has no packets\n", stderr);
        return 2;
    }
    const double least = argc > 5 ? std::atof(argv[5]) : 2.0;
    const double mbps = corvanlet::bench::PlainWriteMBps(
        argv[4],
        [&](std::uint64_t n) {
            const auto& block = blocks[n % blocks.size()];
            return std::pair(block.data(), static_cast<std::uint32_t>(block.size()));
        },
        // Whole passes over the blocks only, as a recording of them would be.
        [&](std::uint64_t n, double seconds) { return n % blocks.size() != 0 || seconds < least; });
    if (mbps < 0) {
        std::fprintf(stderr, "plain_write_bench: cannot create %s\n", argv[4]);
        return 2;
    }
    std::printf("plain_write_MBps %.3f\n", mbps);
    std::remove(argv[4]);
    return 0;
}
