// Reading MPEG transport streams and cutting one PID's packets into the data
// blocks a host delivers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvanlet::hostsim {

constexpr std::size_t kPacketSize = 188;
// Packets per delivered block: 5 x 188 = 940 bytes, within the 1000-byte limit.
constexpr std::size_t kPacketsPerBlock = 5;
// A requested PID of 8192 selects every packet of the stream.
constexpr std::int32_t kWholeStreamPid = 8192;

// Loads a transport stream file: a whole number of 188-byte packets, each
// starting with the sync byte 0x47. On failure returns false with `error` set.
bool LoadTransportStream(const std::string& path, std::vector<std::uint8_t>& out,
                         std::string& error);

std::uint16_t PacketPid(const std::uint8_t* packet);

// The packets of `pid` (13 bits; 8192 for all), grouped into blocks of up to
// `packetsPerBlock` packets, in stream order.
std::vector<std::vector<std::uint8_t>> BlocksForPid(const std::vector<std::uint8_t>& stream,
                                                    std::int32_t pid,
                                                    std::size_t packetsPerBlock = kPacketsPerBlock);

// 64-bit FNV-1a, continued from `hash`.
std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t length,
                    std::uint64_t hash = 0xcbf29ce484222325ull);

}  // namespace corvanlet::hostsim
