#include "transport_stream.h"

#include <fstream>
#include <iterator>

namespace corvanlet::hostsim {

bool LoadTransportStream(const std::string& path, std::vector<std::uint8_t>& out,
                         std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open transport stream file: " + path;
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (out.empty() || out.size() % kPacketSize != 0) {
        error = path + " is not a transport stream (size " + std::to_string(out.size()) +
                " is not a positive multiple of 188 bytes)";
        return false;
    }
    for (std::size_t offset = 0; offset < out.size(); offset += kPacketSize) {
        if (out[offset] != 0x47) {
            error = path + " is not a transport stream (no sync byte 0x47 at offset " +
                    std::to_string(offset) + ")";
            return false;
        }
    }
    return true;
}

std::uint16_t PacketPid(const std::uint8_t* packet) {
    return static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
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
