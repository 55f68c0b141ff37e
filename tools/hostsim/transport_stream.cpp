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

std::uint32_t Crc32Mpeg2(const std::uint8_t* data, std::size_t length) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<std::uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

namespace {

using Bytes = std::vector<std::uint8_t>;
using P = ServicePids;

// What the SI of MakeServiceStream says.
constexpr std::uint16_t kOriginalNetworkId = 0x013E;
constexpr std::uint16_t kStreamDay = 61383;  // 2026-12-09 as a Modified Julian Date
constexpr const char* kProviderName = "Corvanlet";
constexpr const char* kServiceName1 = "Corvanlet One";
constexpr const char* kServiceName2 = "Corvanlet Two";
constexpr const char* kTitleNews = "Morning news";
constexpr const char* kTitleFilm = "The film";
constexpr const char* kTitleWeather = "Weather";
// "Ειδήσεις" (news) in ISO/IEC 8859-7, behind its selector byte.
constexpr std::uint8_t kTitleGreek[] = {0x03, 0xC5, 0xE9, 0xE4, 0xDE, 0xF3, 0xE5, 0xE9, 0xF2};

// PSI and packets repeat every this many packets (40 ms at the nominal rate).
constexpr std::uint32_t kRepeat = 100;
// 90 kHz clock ticks per packet: 0.4 ms.
constexpr std::uint64_t kTicksPerPacket = 36;

void Put16(Bytes& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void Append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

// A long-form section: table_id, section_length, the table id extension,
// version (current_next_indicator set), section `number` of `last`,
// `body`, CRC_32.
Bytes LongSection(std::uint8_t tableId, std::uint16_t extension, std::uint8_t version,
                  const Bytes& body, std::uint8_t number = 0, std::uint8_t last = 0) {
    Bytes section = {tableId, 0, 0};
    Put16(section, extension);
    section.push_back(static_cast<std::uint8_t>(0xC1 | (version & 0x1F) << 1));
    section.push_back(number);
    section.push_back(last);
    Append(section, body);
    // section_syntax_indicator 1, '0', reserved '11'; the length counts from
    // after the length field up to the CRC's end.
    const std::size_t length = section.size() - 3 + 4;
    section[1] = static_cast<std::uint8_t>(0xB0 | (length >> 8));
    section[2] = static_cast<std::uint8_t>(length);
    const std::uint32_t crc = Crc32Mpeg2(section.data(), section.size());
    Put16(section, crc >> 16);
    Put16(section, crc & 0xFFFF);
    return section;
}

Bytes Pat() {
    Bytes body;
    Put16(body, 1);
    Put16(body, 0xE000 | P::kPmt1);
    Put16(body, 2);
    Put16(body, 0xE000 | P::kPmt2);
    Put16(body, 3);  // announced, with no PMT and no SDT entry
    Put16(body, 0xE000 | P::kPmt3);
    return LongSection(0x00, 0x0101, 0, body);
}

// CA_descriptor: CA_system_id 0x0B00, its ECMs on kEcm.
Bytes CaDescriptor() {
    Bytes descriptor = {0x09, 4};
    Put16(descriptor, 0x0B00);
    Put16(descriptor, 0xE000 | P::kEcm);
    return descriptor;
}

// One entry of a PMT's elementary stream loop.
void PutStream(Bytes& body, std::uint8_t type, std::uint16_t pid, const Bytes& descriptors) {
    body.push_back(type);
    Put16(body, 0xE000 | pid);
    Put16(body, 0xF000 | static_cast<std::uint32_t>(descriptors.size()));
    Append(body, descriptors);
}

Bytes Pmt1(std::uint8_t version) {
    Bytes body;
    Put16(body, 0xE000 | P::kPcr);
    const Bytes ca = CaDescriptor();
    Put16(body, 0xF000 | static_cast<std::uint32_t>(ca.size()));
    Append(body, ca);
    PutStream(body, 0x1B, P::kVideo1, {});
    Bytes audio = {0x0A, 4, 'e', 'n', 'g', 0};  // ISO_639_language_descriptor, audio_type 0
    Append(audio, ca);
    PutStream(body, 0x03, P::kAudio1, audio);
    PutStream(body, 0x05, P::kData1, {});
    if (version == 1) PutStream(body, 0x03, P::kAudio1b, {});
    return LongSection(0x02, 1, version, body);
}

Bytes Pmt2() {
    Bytes body;
    Put16(body, 0xE000 | P::kPcr);
    Put16(body, 0xF000);  // no program info
    PutStream(body, 0x1B, P::kVideo2, {});
    return LongSection(0x02, 2, 0, body);
}

// An ECM: a short-form CA message section (table_id 0x80, no CRC) with 16
// bytes of made-up CA data.
Bytes Ecm(std::uint32_t index) {
    Bytes section = {0x80, 0x70, 16};
    for (std::uint32_t i = 0; i < 16; ++i) section.push_back(static_cast<std::uint8_t>(index + i));
    return section;
}

// The 4-byte header. The PID's continuity counter advances with payload
// only: a packet without payload does not move it.
void PutHeader(std::uint8_t* packet, std::uint16_t pid, bool unitStart, bool payload,
               Bytes& counters) {
    packet[0] = 0x47;
    packet[1] = static_cast<std::uint8_t>((unitStart ? 0x40 : 0) | pid >> 8);
    packet[2] = static_cast<std::uint8_t>(pid);
    const std::uint8_t counter = payload ? counters[pid]++ : counters[pid];
    const std::uint8_t control = payload ? 0x10 : 0x20;  // payload only, or adaptation field only
    packet[3] = static_cast<std::uint8_t>(control | (counter & 0x0F));
}

// A packet holding one whole section: pointer_field 0, the section, stuffing.
void PutSection(std::uint8_t* packet, std::uint16_t pid, const Bytes& section, Bytes& counters) {
    PutHeader(packet, pid, true, true, counters);
    packet[4] = 0;
    std::memcpy(packet + 5, section.data(), section.size());
    std::memset(packet + 5 + section.size(), 0xFF, kPacketSize - 5 - section.size());
}

// An adaptation-field-only packet with the PCR of packet `index`.
void PutPcr(std::uint8_t* packet, std::uint32_t index, Bytes& counters) {
    PutHeader(packet, P::kPcr, false, false, counters);
    const std::uint64_t base = index * kTicksPerPacket;  // 33 bits; the extension stays 0
    packet[4] = 183;                                     // adaptation_field_length
    packet[5] = 0x10;                                    // PCR_flag
    packet[6] = static_cast<std::uint8_t>(base >> 25);
    packet[7] = static_cast<std::uint8_t>(base >> 17);
    packet[8] = static_cast<std::uint8_t>(base >> 9);
    packet[9] = static_cast<std::uint8_t>(base >> 1);
    packet[10] = static_cast<std::uint8_t>((base & 1) << 7 | 0x7E);  // reserved, extension's top
    packet[11] = 0;
    std::memset(packet + 12, 0xFF, kPacketSize - 12);
}

void PutPayload(std::uint8_t* packet, std::uint16_t pid, std::uint32_t index, Bytes& counters) {
    // A PES packet starts in every eighth packet of each stream.
    PutHeader(packet, pid, counters[pid] % 8 == 0, true, counters);
    for (int b = 0; b < 4; ++b) packet[4 + b] = static_cast<std::uint8_t>(index >> (8 * b));
    std::memset(packet + 8, static_cast<int>(index & 0xFF), kPacketSize - 8);
}

// A service_descriptor: digital television, the provider and the name in
// the default table (plain ASCII).
Bytes ServiceDescriptor(const std::string& provider, const std::string& name) {
    Bytes d = {0x48, static_cast<std::uint8_t>(3 + provider.size() + name.size()), 0x01,
               static_cast<std::uint8_t>(provider.size())};
    Append(d, Bytes(provider.begin(), provider.end()));
    d.push_back(static_cast<std::uint8_t>(name.size()));
    Append(d, Bytes(name.begin(), name.end()));
    return d;
}

// The SDT actual: both programs, named; program 1 scrambled (free_CA_mode).
Bytes Sdt() {
    Bytes body;
    Put16(body, kOriginalNetworkId);
    body.push_back(0xFF);
    const std::pair<std::uint16_t, const char*> services[] = {{1, kServiceName1},
                                                              {2, kServiceName2}};
    for (const auto& [id, name] : services) {
        const Bytes d = ServiceDescriptor(kProviderName, name);
        Put16(body, id);
        body.push_back(0xFD);  // EIT present/following here, no schedule
        Put16(body, (4u << 13) | (id == 1 ? 0x1000u : 0u) | static_cast<std::uint32_t>(d.size()));
        Append(body, d);
    }
    return LongSection(0x42, 0x0101, 0, body);
}

// A section of the EIT present/following actual of `service`: number 0 the
// present event, 1 the following, with its start (the stream's day at
// 20:00 UTC plus `minutes`), 30 minutes long, and its title as given
// (selector byte included).
Bytes EitPresentFollowing(std::uint16_t service, std::uint8_t number, std::uint8_t version,
                          std::uint16_t eventId, std::uint32_t minutes, const Bytes& title) {
    Bytes body;
    Put16(body, 0x0101);  // transport_stream_id
    Put16(body, kOriginalNetworkId);
    body.push_back(1);     // segment_last_section_number
    body.push_back(0x4E);  // last_table_id
    Put16(body, eventId);
    Put16(body, kStreamDay);
    const std::uint32_t at = 20 * 60 + minutes;
    auto bcd = [](std::uint32_t v) { return static_cast<std::uint8_t>((v / 10) << 4 | v % 10); };
    Append(body, {bcd(at / 60 % 24), bcd(at % 60), 0x00, 0x00, 0x30, 0x00});
    Bytes d = {0x4D, static_cast<std::uint8_t>(5 + title.size()), 'e', 'n',
               'g',  static_cast<std::uint8_t>(title.size())};
    Append(d, title);
    d.push_back(0);  // no text
    Put16(body, ((number == 0 ? 4u : 1u) << 13) | static_cast<std::uint32_t>(d.size()));
    Append(body, d);
    return LongSection(0x4E, service, version, body, number, 1);
}

// A TDT (table 0x70, short form, no CRC): the stream's day, 20:00 UTC plus
// the packet's time in whole seconds.
Bytes Tdt(std::uint32_t index) {
    const std::uint32_t seconds = 20 * 3600 + index * 4 / 10000;
    auto bcd = [](std::uint32_t v) { return static_cast<std::uint8_t>((v / 10) << 4 | v % 10); };
    Bytes section = {0x70, 0x70, 5};
    Put16(section, kStreamDay);
    Append(section, {bcd(seconds / 3600 % 24), bcd(seconds / 60 % 60), bcd(seconds % 60)});
    return section;
}

// What MakeServiceStream carries along from packet to packet.
struct ServiceWriter {
    Bytes pat = Pat();
    Bytes pmt1[2] = {Pmt1(0), Pmt1(1)};
    Bytes pmt2 = Pmt2();
    Bytes sdt = Sdt();
    Bytes counters = Bytes(0x2000, 0);
    std::uint8_t pmtVersion = 0;       // of the last PMT of program 1 sent
    std::uint32_t payloadPackets = 0;  // elementary stream packets so far

    void Put(std::uint8_t* packet, std::uint32_t index, std::uint32_t count) {
        const std::uint32_t slot = index % kRepeat;
        if (slot == 0) {
            PutSection(packet, P::kPat, pat, counters);
        } else if (slot == 1) {
            if (index >= count / 2) pmtVersion = 1;  // from halfway on
            PutSection(packet, P::kPmt1, pmt1[pmtVersion], counters);
        } else if (slot == 2) {
            PutSection(packet, P::kPmt2, pmt2, counters);
        } else if (slot == 3) {
            PutSection(packet, P::kEcm, Ecm(index), counters);
        } else if (slot == 4) {
            PutSection(packet, P::kSdt, sdt, counters);
        } else if (slot == 5 || slot == 6) {
            PutSection(packet, P::kEit, Programme1(slot - 5, index >= count * 3 / 4), counters);
        } else if (slot == 7) {
            PutSection(packet, P::kEit, Programme2(), counters);
        } else if (slot == 8) {
            PutSection(packet, P::kTdt, Tdt(index), counters);
        } else if (slot == kRepeat / 2) {
            PutPcr(packet, index, counters);
        } else {
            PutPayload(packet, NextPayloadPid(), index, counters);
        }
    }

    // Program 1's present (0) or following (1) event; at three quarters of
    // the stream the following becomes present (a new version).
    static Bytes Programme1(std::uint32_t number, bool changed) {
        const Bytes news = Title(kTitleNews), film = Title(kTitleFilm),
                    weather = Title(kTitleWeather);
        if (!changed) {
            return number == 0 ? EitPresentFollowing(1, 0, 0, 101, 0, news)
                               : EitPresentFollowing(1, 1, 0, 102, 30, film);
        }
        return number == 0 ? EitPresentFollowing(1, 0, 1, 102, 30, film)
                           : EitPresentFollowing(1, 1, 1, 103, 60, weather);
    }
    // Program 2's present event, titled in Greek (ISO/IEC 8859-7).
    static Bytes Programme2() {
        return EitPresentFollowing(2, 0, 0, 201, 0,
                                   Bytes(std::begin(kTitleGreek), std::end(kTitleGreek)));
    }
    static Bytes Title(const char* text) { return Bytes(text, text + std::strlen(text)); }

    // The elementary streams take turns; kAudio1b only once the PMT that
    // lists it was sent.
    std::uint16_t NextPayloadPid() {
        static constexpr std::uint16_t kPids[] = {P::kVideo1, P::kVideo2, P::kVideo1, P::kAudio1,
                                                  P::kVideo2, P::kData1,  P::kAudio1b};
        const std::uint32_t turns = pmtVersion == 1 ? 7 : 6;
        return kPids[payloadPackets++ % turns];
    }
};

}  // namespace

namespace {

// The PCR of a packet in 27 MHz ticks, or -1 when it carries none.
std::int64_t PcrOf(const std::uint8_t* p) {
    if ((p[3] & 0x20) == 0 || p[4] < 7 || (p[5] & 0x10) == 0) return -1;
    const std::uint64_t base = (std::uint64_t{p[6]} << 25) | (std::uint64_t{p[7]} << 17) |
                               (std::uint64_t{p[8]} << 9) | (std::uint64_t{p[9]} << 1) |
                               (p[10] >> 7);
    const std::uint64_t extension = ((p[10] & 0x01u) << 8) | p[11];
    return static_cast<std::int64_t>(base * 300 + extension);
}

}  // namespace

double CaptureRateMBps(const std::vector<std::uint8_t>& packets) {
    int pid = -1;
    std::int64_t firstPcr = -1, lastPcr = -1;
    std::size_t firstAt = 0, lastAt = 0;
    for (std::size_t at = 0; at + kPacketSize <= packets.size(); at += kPacketSize) {
        const std::uint8_t* p = &packets[at];
        const std::int64_t pcr = PcrOf(p);
        if (pcr < 0 || (pid >= 0 && PacketPid(p) != pid)) continue;
        if (pid < 0) {
            pid = PacketPid(p);
            firstPcr = pcr;
            firstAt = at;
        }
        lastPcr = pcr;
        lastAt = at;
    }
    if (lastPcr <= firstPcr || lastAt <= firstAt) return 0;  // one PCR, or a wrap
    const double seconds = static_cast<double>(lastPcr - firstPcr) / 27e6;
    const double rate = static_cast<double>(lastAt - firstAt) / seconds / 1e6;
    return rate > 0.01 && rate < 1000 ? rate : 0;
}

std::vector<std::uint8_t> MakeServiceStream(std::uint32_t count) {
    std::vector<std::uint8_t> stream(static_cast<std::size_t>(count) * kPacketSize);
    ServiceWriter writer;
    for (std::uint32_t i = 0; i < count; ++i) {
        writer.Put(stream.data() + static_cast<std::size_t>(i) * kPacketSize, i, count);
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
