// Synthetic transport streams whose packets carry a running number, so a
// recording can be checked packet by packet.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace corvanlet::testing {

// `count` packets cycling through `pids`; each payload starts with the
// packet's index in the stream.
inline std::vector<std::uint8_t> MakeTransportStream(const std::vector<std::uint16_t>& pids,
                                                     std::uint32_t count) {
    std::vector<std::uint8_t> stream(static_cast<std::size_t>(count) * 188);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t* packet = stream.data() + static_cast<std::size_t>(i) * 188;
        const std::uint16_t pid = pids[i % pids.size()];
        packet[0] = 0x47;
        packet[1] = static_cast<std::uint8_t>((pid >> 8) & 0x1F);
        packet[2] = static_cast<std::uint8_t>(pid & 0xFF);
        packet[3] = static_cast<std::uint8_t>(0x10 | (i & 0x0F));
        std::memcpy(packet + 4, &i, 4);
        std::memset(packet + 8, static_cast<int>(i & 0xFF), 180);
    }
    return stream;
}

}  // namespace corvanlet::testing
