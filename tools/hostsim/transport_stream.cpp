#include "transport_stream.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace corvanlet::hostsim {

namespace {

constexpr std::uint8_t kSync = 0x47;
// Sync bytes in a row that make a grid: one in 2^40 for random data.
constexpr std::size_t kRunLength = 5;

struct Stride {
    std::size_t size;    // bytes from one packet's sync byte to the next
    std::size_t prefix;  // bytes of its unit before the sync byte
};
constexpr Stride kStrides[] = {{188, 0}, {192, 4}, {204, 0}};

// Whether a packet grid of `stride` has its sync byte at `at`: kRunLength
// sync bytes in a row, or a shorter run that reaches the end of the data and
// holds at least `shortest` of them.
bool RunAt(const std::vector<std::uint8_t>& data, std::size_t at, const Stride& stride,
           std::size_t shortest) {
    std::size_t found = 0;
    for (std::size_t q = at; found < kRunLength; q += stride.size) {
        if (q + kPacketSize > data.size()) return found >= shortest;
        if (data[q] != kSync) return false;
        ++found;
    }
    return true;
}

// The first position at or after `from` where a grid of `stride` starts, or
// data.size() when there is none. A lone packet at the very end is not taken
// for a grid, unless it is the capture's first, clean, packet.
std::size_t NextRun(const std::vector<std::uint8_t>& data, std::size_t from, const Stride& stride) {
    for (std::size_t at = from; at + kPacketSize <= data.size(); ++at) {
        const std::size_t shortest = at == stride.prefix ? 1 : 2;
        if (data[at] == kSync && RunAt(data, at, stride, shortest)) return at;
    }
    return data.size();
}

}  // namespace

bool FindPackets(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& packets,
                 PacketGrid& grid) {
    packets.clear();
    grid = PacketGrid{};
    // The earliest grid wins; at the same position the plain packet size.
    std::size_t first = data.size();
    const Stride* stride = nullptr;
    for (const Stride& candidate : kStrides) {
        const std::size_t at = NextRun(data, 0, candidate);
        if (at < first) {
            first = at;
            stride = &candidate;
        }
    }
    if (stride == nullptr) return false;
    grid.packetSize = stride->size;
    // An M2TS prefix in front of the first packet belongs to it.
    grid.leadingBytes = first >= stride->prefix ? first - stride->prefix : first;

    std::size_t q = first;  // the sync byte of the next packet
    while (q + kPacketSize <= data.size()) {
        if (data[q] == kSync) {
            packets.insert(packets.end(), data.begin() + static_cast<std::ptrdiff_t>(q),
                           data.begin() + static_cast<std::ptrdiff_t>(q + kPacketSize));
            q += stride->size;
            continue;
        }
        const std::size_t next = NextRun(data, q + 1, *stride);
        ++grid.resyncs;
        grid.resyncBytes += next - q;
        if (next == data.size()) return true;  // no packet after the loss
        q = next;
    }
    // What is left of the unit that starts at q (its prefix included).
    const std::size_t unitStart = q >= stride->prefix ? q - stride->prefix : 0;
    if (unitStart < data.size()) grid.trailingPartial = data.size() - unitStart;
    return true;
}

std::string Describe(const PacketGrid& grid) {
    std::string text = "packet size " + std::to_string(grid.packetSize) + "; skipped " +
                       std::to_string(grid.leadingBytes) + " leading bytes, " +
                       std::to_string(grid.resyncBytes) + " bytes in " +
                       std::to_string(grid.resyncs) + " resyncs, ";
    if (grid.trailingPartial == 0) return text + "no partial packet at the end";
    return text + "a " + std::to_string(grid.trailingPartial) + "-byte partial packet at the end";
}

bool LoadTransportStream(const std::string& path, std::vector<std::uint8_t>& out, PacketGrid& grid,
                         std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open transport stream file: " + path;
        return false;
    }
    const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    if (!FindPackets(data, out, grid)) {
        error = path + " is not a transport stream (" + std::to_string(data.size()) +
                " bytes with no run of sync bytes 0x47 at a stride of 188, 192 or 204)";
        return false;
    }
    return true;
}

std::uint16_t PacketPid(const std::uint8_t* packet) {
    return static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

std::vector<std::uint8_t> MakeTransportStream(const std::vector<std::uint16_t>& pids,
                                              std::uint32_t count) {
    std::vector<std::uint8_t> stream(static_cast<std::size_t>(count) * kPacketSize);
    std::vector<std::uint8_t> counters(0x2000, 0);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t* packet = stream.data() + static_cast<std::size_t>(i) * kPacketSize;
        const std::uint16_t pid = pids[i % pids.size()] & 0x1FFF;
        packet[0] = 0x47;
        packet[1] = static_cast<std::uint8_t>((pid >> 8) & 0x1F);
        packet[2] = static_cast<std::uint8_t>(pid & 0xFF);
        packet[3] = static_cast<std::uint8_t>(0x10 | (counters[pid]++ & 0x0F));
        for (int b = 0; b < 4; ++b) packet[4 + b] = static_cast<std::uint8_t>(i >> (8 * b));
        std::memset(packet + 8, static_cast<int>(i & 0xFF), kPacketSize - 8);
    }
    return stream;
}

std::vector<std::vector<std::uint8_t>> BlocksForPid(const std::vector<std::uint8_t>& stream,
                                                    std::int32_t pid, std::size_t packetsPerBlock) {
    std::vector<std::vector<std::uint8_t>> blocks;
    std::vector<std::uint8_t> block;
    for (std::size_t offset = 0; offset + kPacketSize <= stream.size(); offset += kPacketSize) {
        const std::uint8_t* packet = stream.data() + offset;
        if (pid != kWholeStreamPid && PacketPid(packet) != pid) continue;
        block.insert(block.end(), packet, packet + kPacketSize);
        if (block.size() == packetsPerBlock * kPacketSize) {
            blocks.push_back(std::move(block));
            block.clear();
        }
    }
    if (!block.empty()) blocks.push_back(std::move(block));
    return blocks;
}

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t length, std::uint64_t hash) {
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

}  // namespace corvanlet::hostsim
