// Reading MPEG transport streams, making test streams, and cutting one PID's
// packets into the data blocks a host delivers.
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

// What finding the packet grid of a capture did to it.
struct PacketGrid {
    std::size_t packetSize = 0;       // 188, 192 (M2TS: a 4-byte prefix) or 204 (16 parity bytes)
    std::size_t leadingBytes = 0;     // skipped before the first packet
    std::size_t resyncBytes = 0;      // skipped where the sync was lost
    std::size_t resyncs = 0;          // how often
    std::size_t trailingPartial = 0;  // the bytes of a partial packet at the end
};

// Finds the packet grid of a capture as it comes: the first run of sync bytes
// (0x47) at a stride of 188, 192 or 204, skipping leading bytes until one is
// found. Then takes every packet on that grid as a plain 188-byte packet
// (without M2TS prefixes or parity bytes); where the sync is lost it skips to
// the next run on the same stride; a partial packet at the end is left out.
// False when the data has no packet grid at all.
bool FindPackets(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& packets,
                 PacketGrid& grid);

// One line on what FindPackets did, e.g. "packet size 192; skipped 77 leading
// bytes, 0 bytes in 0 resyncs, a 100-byte partial packet at the end".
std::string Describe(const PacketGrid& grid);

// Loads a capture file and finds its packets (FindPackets): `out` holds plain
// 188-byte packets. On failure returns false with `error` set.
bool LoadTransportStream(const std::string& path, std::vector<std::uint8_t>& out, PacketGrid& grid,
                         std::string& error);

std::uint16_t PacketPid(const std::uint8_t* packet);

// A test stream of `count` packets cycling through `pids`: each carries its
// index in the stream (4 bytes, little-endian, after the header), then that
// index's low byte in all 180 remaining bytes, so that a recording can be
// checked packet by packet. Each PID's continuity counter counts up without
// a gap.
std::vector<std::uint8_t> MakeTransportStream(const std::vector<std::uint16_t>& pids,
                                              std::uint32_t count);

// CRC-32/MPEG-2, the CRC_32 of PSI sections: polynomial 0x04C11DB7, initial
// value 0xFFFFFFFF, most significant bit first, no final xor. Over a whole
// section, its CRC_32 included, it comes to 0.
std::uint32_t Crc32Mpeg2(const std::uint8_t* data, std::size_t length);

// The PIDs of MakeServiceStream.
struct ServicePids {
    static constexpr std::uint16_t kPat = 0x0000;
    static constexpr std::uint16_t kPmt1 = 0x0100;     // program 1's PMT
    static constexpr std::uint16_t kVideo1 = 0x0101;   // stream_type 0x1B
    static constexpr std::uint16_t kAudio1 = 0x0102;   // stream_type 0x03, "eng", scrambled
    static constexpr std::uint16_t kData1 = 0x0103;    // stream_type 0x05
    static constexpr std::uint16_t kAudio1b = 0x0104;  // stream_type 0x03, from PMT version 1 on
    static constexpr std::uint16_t kEcm = 0x01F0;      // CA_PID of program 1 (CA_system_id 0x0B00)
    static constexpr std::uint16_t kPcr = 0x01FF;      // PCR_PID of both programs
    static constexpr std::uint16_t kPmt2 = 0x0200;     // program 2's PMT
    static constexpr std::uint16_t kVideo2 = 0x0201;   // stream_type 0x1B
    static constexpr std::uint16_t kPmt3 = 0x0300;     // program 3's, never sent
    static constexpr std::uint16_t kSdt = 0x0011;
    static constexpr std::uint16_t kEit = 0x0012;
    static constexpr std::uint16_t kTdt = 0x0014;
};

// A test stream of `count` packets with two programs and real PSI, at a
// nominal 3.76 Mbit/s (a packet every 0.4 ms). Every 100 packets: the PAT
// (transport_stream_id 0x0101; program 1 -> PMT 0x100, program 2 -> PMT
// 0x200, program 3 -> PMT 0x300, which is never sent and which the SDT does
// not name), both PMTs, an ECM section and, 50 packets later, a PCR packet
// (adaptation field only, PCR = the packet's time); the SDT actual
// (provider "Corvanlet", program 1 "Corvanlet One", scrambled, program 2
// "Corvanlet Two"), the EIT present/following of program 1 (present "Morning
// news", following "The film"; at three quarters through, "The film" is
// present and "Weather" follows) and of program 2 (present only, a Greek
// title in ISO/IEC 8859-7), and a TDT (2026-12-09 20:00:00 UTC at the
// first packet). Program 1's PMT carries a
// CA_descriptor in its program info and in the audio's ES info; halfway
// through the stream it changes from version 0 to 1 and adds kAudio1b, whose
// packets come only after that. The other packets carry the elementary
// streams with MakeTransportStream's payload: the packet's index in the
// stream (4 bytes, little-endian), then its low byte in every byte; every
// eighth packet of each stream says a PES packet starts there. Each PID's
// continuity counter counts up without a gap (PCR packets, having no
// payload, repeat theirs). Sections, CRCs and packets are written here, on
// their own terms, so that the stream checks a reader of them.
std::vector<std::uint8_t> MakeServiceStream(std::uint32_t count);

// The packets of `pid` (13 bits; 8192 for all), grouped into blocks of up to
// `packetsPerBlock` packets, in stream order.
std::vector<std::vector<std::uint8_t>> BlocksForPid(const std::vector<std::uint8_t>& stream,
                                                    std::int32_t pid,
                                                    std::size_t packetsPerBlock = kPacketsPerBlock);

// The rate a capture was broadcast at, in MB/s, from the first and last
// PCR of the first PID that carries one and the bytes between them; 0 when
// it has fewer than two or they make no sense.
double CaptureRateMBps(const std::vector<std::uint8_t>& packets);

// 64-bit FNV-1a, continued from `hash`.
std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t length,
                    std::uint64_t hash = 0xcbf29ce484222325ull);

}  // namespace corvanlet::hostsim
