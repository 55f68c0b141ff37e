// hostsim's packet finder on any file a user might give it: nothing may crash,
// and what it finds must be plain packets accounted for by the grid.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transport_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvanlet::hostsim;
    const std::vector<std::uint8_t> capture(data, data + size);
    std::vector<std::uint8_t> packets;
    PacketGrid grid;
    const bool found = FindPackets(capture, packets, grid);
    if (!found && !packets.empty()) std::abort();
    if (packets.size() % kPacketSize != 0) std::abort();
    for (std::size_t at = 0; at < packets.size(); at += kPacketSize) {
        if (packets[at] != 0x47) std::abort();
    }
    if (found) {
        if (grid.packetSize != 188 && grid.packetSize != 192 && grid.packetSize != 204)
            std::abort();
        const std::size_t units = packets.size() / kPacketSize;
        if (grid.leadingBytes + grid.resyncBytes + units * grid.packetSize > size + grid.packetSize)
            std::abort();
    }
    (void)Describe(grid);
    (void)BlocksForPid(packets, static_cast<std::int32_t>(size % 8193));
    return 0;
}
