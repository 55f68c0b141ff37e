// The PSI library: the CRC against known values, tables written and read
// against bytes put together by hand, and sections assembled from packets as
// a receiver gets them: in order, lost, repeated, damaged, several to a
// packet.
#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ts/crc32.h"
#include "ts/packet.h"
#include "ts/psi_section.h"
#include "ts/psi_tables.h"
#include "ts/random_access.h"

namespace corvanlet::ts {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Sections = std::vector<Bytes>;

constexpr std::uint16_t kPid = 0x0123;

// Appends the CRC_32 (which Crc32Mpeg.KnownValues checks on its own).
Bytes WithCrc(Bytes section) {
    const std::uint32_t crc = Crc32Mpeg(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<std::uint8_t>(crc >> shift));
    return section;
}

// Sets section_length for the bytes so far and the CRC_32, then appends it.
Bytes Sealed(Bytes section) {
    const std::size_t sectionLength = section.size() + 4 - 3;
    section[1] = static_cast<std::uint8_t>((section[1] & 0xF0) | (sectionLength >> 8));
    section[2] = static_cast<std::uint8_t>(sectionLength & 0xFF);
    return WithCrc(section);
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A payload-only packet of kPid, padded with 0xFF; with start, the payload
// opens with the pointer_field.
Bytes PacketOf(bool start, std::uint8_t counter, const Bytes& payload, std::uint8_t pointer = 0) {
    Bytes packet(kPacketSize, 0xFF);
    packet[0] = kSync;
    packet[1] = static_cast<std::uint8_t>((start ? 0x40 : 0) | (kPid >> 8));
    packet[2] = kPid & 0xFF;
    packet[3] = static_cast<std::uint8_t>(0x10 | counter);
    std::size_t at = 4;
    if (start) packet[at++] = pointer;
    std::memcpy(packet.data() + at, payload.data(), payload.size());
    return packet;
}

// A section cut into payload-only packets from its first byte on.
std::vector<Bytes> Cut(const Bytes& section, std::uint8_t counter) {
    std::vector<Bytes> packets;
    for (std::size_t at = 0; at < section.size(); counter = (counter + 1) & 0x0F) {
        const std::size_t end = std::min(section.size(), at + (at == 0 ? 183 : 184));
        packets.push_back(PacketOf(at == 0, counter, Slice(section, at, end)));
        at = end;
    }
    return packets;
}

void Collect(void* context, const std::uint8_t* section, std::size_t length) {
    static_cast<Sections*>(context)->emplace_back(section, section + length);
}

Sections Assemble(SectionAssembler& assembler, const std::vector<Bytes>& packets) {
    Sections sections;
    for (const Bytes& packet : packets) assembler.Feed(packet.data(), &Collect, &sections);
    return sections;
}

Sections Assemble(const std::vector<Bytes>& packets) {
    SectionAssembler assembler;
    assembler.Reset();
    return Assemble(assembler, packets);
}

// A PAT of stream 0x0441, version 7, current.
Bytes PatSection(std::uint8_t number, std::uint8_t last, const Bytes& programs) {
    return Sealed(Join({0x00, 0xB0, 0x00, 0x04, 0x41, 0xCF, number, last}, programs));
}

TEST(Crc32Mpeg, KnownValues) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32Mpeg(digits, sizeof digits), 0x0376E6E7u);
    const std::uint8_t pat[] = {0x00, 0xB0, 0x09, 0x00, 0x00, 0xC1,
                                0x00, 0x00, 0x33, 0x4F, 0xF8, 0xA0};
    EXPECT_EQ(Crc32Mpeg(pat, 8), 0x334FF8A0u);
    EXPECT_EQ(Crc32Mpeg(pat, sizeof pat), 0u);  // a whole section checks to 0
}

TEST(PsiTables, PatWrittenAndRead) {
    // Stream 0x0441, version 3, current, section 0 of 0, program 0x2B67 on
    // PID 0x0B67; reserved bits ones. The CRC_32 worked out apart.
    const Bytes golden = {0x00, 0xB0, 0x0D, 0x04, 0x41, 0xC7, 0x00, 0x00,
                          0x2B, 0x67, 0xEB, 0x67, 0x96, 0xAB, 0x65, 0xC7};
    std::uint8_t out[16];
    ASSERT_EQ(BuildPat(0x0441, 3, 0x2B67, 0x0B67, out), 16u);
    EXPECT_EQ(Bytes(out, out + 16), golden);

    // A PAT in two sections, the first with the network PID.
    const Bytes first = PatSection(0, 1, {0x00, 0x00, 0xE0, 0x10, 0x01, 0x01, 0xE1, 0x00});
    const Bytes second = PatSection(1, 1, {0x01, 0x02, 0xFF, 0xFF});
    Pat pat;
    ASSERT_TRUE(ParsePat(first.data(), first.size(), pat));
    EXPECT_EQ(std::tie(pat.transportStreamId, pat.version, pat.current, pat.sectionNumber,
                       pat.lastSectionNumber, pat.count),
              std::make_tuple(0x0441, 7, true, 0, 1, 2));
    EXPECT_EQ(std::tie(pat.programs[0].programNumber, pat.programs[0].pid,
                       pat.programs[1].programNumber, pat.programs[1].pid),
              std::make_tuple(0, 0x0010, 0x0101, 0x0100));
    ASSERT_TRUE(ParsePat(second.data(), second.size(), pat));
    EXPECT_EQ(
        std::tie(pat.sectionNumber, pat.count, pat.programs[0].programNumber, pat.programs[0].pid),
        std::make_tuple(1, 1, 0x0102, 0x1FFF));
}

TEST(PsiTables, DamagedSectionsAreRefused) {
    Pat pat;
    Pmt pmt;
    const Bytes good = PatSection(0, 0, {0x01, 0x01, 0xE1, 0x00});
    ASSERT_TRUE(ParsePat(good.data(), good.size(), pat));
    Bytes flipped = good;
    flipped.back() ^= 0x01;
    // section_length one entry short of the bytes, with a CRC_32 that checks.
    const Bytes shortLength = WithCrc({0x00, 0xB0, 0x09, 0x04, 0x41, 0xC1, 0, 0, 1, 1, 0xE1, 0});
    const Bytes ragged = PatSection(0, 0, {0x01, 0x01, 0xE1, 0x00, 0x01, 0x02});
    const Bytes backwards = PatSection(2, 1, {});
    for (const Bytes& section : {flipped, shortLength, ragged, backwards})
        EXPECT_FALSE(ParsePat(section.data(), section.size(), pat));
    EXPECT_FALSE(ParsePmt(good.data(), good.size(), pmt));

    // A PMT header up to program_info_length, then the loops.
    const Bytes head = {0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00};
    const Bytes fine = Sealed(Join(head, {0xF0, 0x02, 0x0E, 0x00, 0x1B, 0xE1, 0x00, 0xF0, 0x00}));
    ASSERT_TRUE(ParsePmt(fine.data(), fine.size(), pmt));
    flipped = fine;
    flipped[flipped.size() - 3] ^= 0x80;
    const Bytes infoPast = Sealed(Join(head, {0xF0, 0x08, 0x0E, 0x00, 0x1B, 0xE1, 0x00, 0xF0, 0}));
    const Bytes esPast = Sealed(Join(head, {0xF0, 0x00, 0x1B, 0xE1, 0x00, 0xF0, 0x03, 0x52, 0x01}));
    const Bytes cutEntry = Sealed(Join(head, {0xF0, 0x00, 0x1B, 0xE1, 0x00, 0xF0, 0, 0x04, 0xE1}));
    for (const Bytes& section : {flipped, infoPast, esPast, cutEntry})
        EXPECT_FALSE(ParsePmt(section.data(), section.size(), pmt));
}

TEST(SectionAssembler, SectionAcrossPackets) {
    // A PMT of 429 bytes, three packets' worth, in four private descriptors.
    Bytes pmt = {0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF1, 0x98};
    for (int i = 0; i < 408; ++i) pmt.push_back(static_cast<std::uint8_t>(i % 102 ? i : 0x80));
    for (int i = 1; i < 408; i += 102) pmt[12 + i] = 100;
    pmt = Sealed(Join(pmt, {0x1B, 0xE1, 0x00, 0xF0, 0x00}));
    const Bytes one = PacketOf(true, 7, Slice(pmt, 0, 183));
    const Bytes two = PacketOf(false, 8, Slice(pmt, 183, 367));
    const Bytes three = PacketOf(false, 9, Slice(pmt, 367, 429));
    EXPECT_EQ(Assemble({one, two, three}), Sections{pmt});
    EXPECT_EQ(Assemble({one, two, two, three}), Sections{pmt});  // a duplicate passed over

    // A packet lost, a damaged packet, the same counter with another
    // payload: nothing comes, and no CRC error.
    SectionAssembler assembler;
    assembler.Reset();
    Bytes damaged = two;
    damaged[1] |= 0x80;
    Bytes otherPayload = two;
    otherPayload[100] ^= 0x01;
    EXPECT_TRUE(Assemble(assembler, {one, three}).empty());
    EXPECT_TRUE(Assemble(assembler, {one, damaged, three}).empty());
    EXPECT_TRUE(Assemble(assembler, {one, two, otherPayload, three}).empty());
    EXPECT_EQ(assembler.CrcErrors(), 0u);

    // The end of one section and the start of the next share a packet: the
    // pointer_field skips the end, which is read only after its start.
    const Bytes pat = PatSection(0, 0, {0x00, 0x01, 0xE1, 0x00});
    const Bytes shared = PacketOf(true, 9, Join(Slice(pmt, 367, 429), pat), 62);
    EXPECT_EQ(Assemble({one, two, shared}), (Sections{pmt, pat}));
    EXPECT_EQ(Assemble({two, shared}), Sections{pat});
}

TEST(SectionAssembler, SectionsSharingAPacket) {
    const Bytes first = PatSection(0, 1, {0x00, 0x01, 0xE1, 0x00});
    const Bytes second = PatSection(1, 1, {0x00, 0x02, 0xE2, 0x00});
    SectionAssembler assembler;
    assembler.Reset();
    EXPECT_EQ(Assemble(assembler, {PacketOf(true, 0, Join(first, second))}),
              (Sections{first, second}));
    // A section whose CRC fails is counted and dropped; the next is read.
    Bytes bad = first;
    bad[9] ^= 0x04;
    EXPECT_EQ(Assemble(assembler, {PacketOf(true, 1, Join(bad, second))}), Sections{second});
    EXPECT_EQ(assembler.CrcErrors(), 1u);
    // A section with no syntax indicator is dropped uncounted. A table_id
    // 0xFF starts the stuffing that ends the packet's sections, whatever
    // seems to follow.
    const Bytes bare = {0x00, 0x30, 0x02, 0xAB, 0xCD};
    const Bytes stuffing = Sealed({0xFF, 0xB0, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x00});
    const Bytes tail = Join(Join(bare, first), Join(stuffing, second));
    EXPECT_EQ(Assemble(assembler, {PacketOf(true, 2, tail)}), Sections{first});
    EXPECT_EQ(assembler.CrcErrors(), 1u);
    // A PAT may not be longer than 1024 bytes, even one that checks; a
    // network information table may.
    for (const std::uint8_t table : {0x00, 0x40}) {
        Bytes longest = {table, 0xB0, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x00};
        longest.resize(1021, 0x00);
        longest = Sealed(longest);
        EXPECT_EQ(Assemble(assembler, Cut(longest, 3)).size(), table == 0x40 ? 1u : 0u);
    }
}

TEST(PsiTables, PmtForARecording) {
    const Bytes ca = {0x09, 0x04, 0x06, 0x04, 0xE5, 0x00};
    Bytes source = {0x02, 0xB0, 0x00, 0x00, 0x65, 0xC5, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x11};
    source = Join(Join(source, ca), {0x0E, 0x03, 0xC0, 0x12, 0x34});  // maximum_bitrate
    source = Join(source, ca);
    const Bytes streams = {
        // Video 0x100: CA_descriptor, stream_identifier_descriptor.
        0x1B, 0xE1, 0x00, 0xF0, 0x09, 0x09, 0x04, 0x06, 0x04, 0xE5, 0x01, 0x52, 0x01, 0x01,
        // Audio 0x101: ISO_639_language_descriptor.
        0x04, 0xE1, 0x01, 0xF0, 0x06, 0x0A, 0x04, 'd', 'e', 'u', 0x00,
        // Private data 0x102: subtitling_descriptor, CA_descriptor.
        0x06, 0xE1, 0x02, 0xF0, 0x10, 0x59, 0x08, 'd', 'e', 'u', 0x10, 0x00, 0x01, 0x00, 0x01, 0x09,
        0x04, 0x06, 0x04, 0xE5, 0x02,
        // Private data 0x103: teletext_descriptor, one running past the loop.
        0x06, 0xE1, 0x03, 0xF0, 0x0A, 0x56, 0x05, 'd', 'e', 'u', 0x09, 0x00, 0x0A, 0x09, 'x',
        // Private data 0x104: registration_descriptor.
        0x06, 0xE1, 0x04, 0xF0, 0x06, 0x05, 0x04, 'A', 'C', '-', '3',
        // Private sections 0x105, an ECM carrier: CA_descriptor.
        0x05, 0xE1, 0x05, 0xF0, 0x06, 0x09, 0x04, 0x06, 0x04, 0xE5, 0x03,
        // DSM-CC 0x106.
        0x0B, 0xE1, 0x06, 0xF0, 0x00,
        // Private data 0x107: data_broadcast_id_descriptor.
        0x06, 0xE1, 0x07, 0xF0, 0x04, 0x66, 0x02, 0x00, 0x0B};
    source = Sealed(Join(source, streams));
    Pmt pmt;
    ASSERT_TRUE(ParsePmt(source.data(), source.size(), pmt));
    ASSERT_EQ(pmt.count, 8);
    const StreamKind kinds[] = {StreamKind::kVideo,    StreamKind::kAudio, StreamKind::kSubtitles,
                                StreamKind::kTeletext, StreamKind::kAudio, StreamKind::kOther,
                                StreamKind::kOther,    StreamKind::kOther};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(KindOf(pmt.streams[i]), kinds[i]) << "stream " << i;

    // The descriptors but CA_descriptors stay, in order; the broken
    // teletext tail goes.
    const Bytes kept = {
        0x02, 0xB0, 0x00, 0x00, 0x65, 0xD3, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x05,  // version 9
        0x0E, 0x03, 0xC0, 0x12, 0x34,                                            // bitrate
        0x1B, 0xE1, 0x00, 0xF0, 0x03, 0x52, 0x01, 0x01,                          // video
        0x04, 0xE1, 0x01, 0xF0, 0x06, 0x0A, 0x04, 'd',  'e',  'u',  0x00,        // audio
        0x06, 0xE1, 0x02, 0xF0, 0x0A,                                            // subtitles
        0x59, 0x08, 'd',  'e',  'u',  0x10, 0x00, 0x01, 0x00, 0x01,              //
        0x06, 0xE1, 0x03, 0xF0, 0x07, 0x56, 0x05, 'd',  'e',  'u',  0x09, 0x00,  // teletext
        0x06, 0xE1, 0x04, 0xF0, 0x06, 0x05, 0x04, 'A',  'C',  '-',  '3'};        // AC-3
    std::uint8_t out[1024];
    const std::size_t length = BuildPmt(pmt, 9, out);
    EXPECT_EQ(Bytes(out, out + length), Sealed(kept));
    Pmt built;
    ASSERT_TRUE(ParsePmt(out, length, built));
    EXPECT_EQ(std::tie(built.pcrPid, built.count), std::make_tuple(0x0100, 5));
}

// What a recording takes each stream for: by stream_type, and for PES
// private data (0x06) by the first descriptor that names a format.
TEST(PsiTables, StreamKindsPlayersDecode) {
    const auto kind = [](std::uint8_t type, const Bytes& d) {
        return KindOf({type, 0x100, d.data(), static_cast<std::uint16_t>(d.size())});
    };
    for (const std::uint8_t type : {0x01, 0x02, 0x10, 0x1B, 0x24, 0x33, 0x42, 0xEA})
        EXPECT_EQ(kind(type, {}), StreamKind::kVideo) << int{type};
    for (const std::uint8_t type : {0x03, 0x04, 0x0F, 0x11, 0x81, 0x87, 0x2D, 0x2E})
        EXPECT_EQ(kind(type, {}), StreamKind::kAudio) << int{type};
    for (const std::uint8_t type : {0x05, 0x0B, 0x0C, 0x0D, 0x86, 0x06})
        EXPECT_EQ(kind(type, {}), StreamKind::kOther) << int{type};
    // PES private data: DVB descriptors, extension descriptors (AC-4,
    // DTS-HD, DTS-UHD; TTML), registered formats (also behind a descriptor
    // that names none); user defined and unknown ones, CA, data broadcast.
    for (const std::uint8_t tag : {0x6A, 0x7A, 0x7B, 0x7C})
        EXPECT_EQ(kind(0x06, {tag, 0}), StreamKind::kAudio) << int{tag};
    for (const std::uint8_t tag : {0x15, 0x0E, 0x21})
        EXPECT_EQ(kind(0x06, {0x7F, 1, tag}), StreamKind::kAudio) << int{tag};
    for (const char* f : {"AC-3", "EAC3", "DTS1", "DTS2", "DTS3", "Opus", "BSSD"}) {
        Bytes registration = {0x0A, 0, 0x05, 4};  // an empty descriptor first
        registration.insert(registration.end(), f, f + 4);
        EXPECT_EQ(kind(0x06, registration), StreamKind::kAudio) << f;
    }
    EXPECT_EQ(kind(0x06, {0x59, 0}), StreamKind::kSubtitles);
    EXPECT_EQ(kind(0x06, {0x7F, 1, 0x20}), StreamKind::kSubtitles);
    EXPECT_EQ(kind(0x06, {0x56, 0}), StreamKind::kTeletext);
    EXPECT_EQ(kind(0x06, {0x46, 0}), StreamKind::kTeletext);
    for (const Bytes& other :
         {Bytes{0x7F, 1, 0x80}, Bytes{0x7F, 0}, Bytes{0x05, 4, 'K', 'L', 'V', 'A'},
          Bytes{0x09, 4, 0x06, 0x04, 0xE5, 0x00}, Bytes{0x66, 2, 0x00, 0x0B}})
        EXPECT_EQ(kind(0x06, other), StreamKind::kOther) << testing::PrintToString(other);
}

TEST(PsiTables, PacketiseRoundTrip) {
    Bytes body = {0x80, 0xB0, 0x00, 0x12, 0x34, 0xC1, 0x00, 0x00};
    while (body.size() < 596) body.push_back(static_cast<std::uint8_t>(body.size() * 7));
    const Bytes section = Sealed(body);
    std::uint8_t out[4 * kPacketSize];
    const auto packets = [&out] {
        std::vector<Bytes> all;
        for (int i = 0; i < 4; ++i) all.emplace_back(out + i * kPacketSize, out + (i + 1) * 188);
        return all;
    };
    SectionAssembler assembler;
    assembler.Reset();

    // 183 + 184 + 184 + 49 bytes, the counter wrapping from 15 to 0.
    std::uint8_t counter = 14;
    ASSERT_EQ(Packetise(section.data(), 600, kPid, counter, false, out, sizeof out), sizeof out);
    EXPECT_EQ(counter, 2);
    EXPECT_EQ(packets(), Cut(section, 14));
    EXPECT_EQ(Assemble(assembler, packets()), Sections{section});

    // With the discontinuity, 181 + 184 + 184 + 51 bytes; the assembler
    // takes the counter's jump from 1 to 9 without a loss.
    counter = 9;
    ASSERT_EQ(Packetise(section.data(), 600, kPid, counter, true, out, sizeof out), sizeof out);
    EXPECT_EQ(counter, 13);
    EXPECT_EQ(Bytes(out, out + 7), (Bytes{kSync, 0x41, 0x23, 0x39, 0x01, 0x80, 0x00}));
    EXPECT_EQ(Bytes(out + 7, out + 188), Slice(section, 0, 181));
    EXPECT_EQ(Bytes(out + 188, out + 192), (Bytes{kSync, 0x01, 0x23, 0x1A}));
    EXPECT_EQ(Assemble(assembler, packets()), Sections{section});

    // Too little room: nothing written, the counter left as it was.
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(Packetise(section.data(), 600, kPid, counter, false, out, sizeof out - 1), 0u);
    EXPECT_EQ(counter, 13);
    EXPECT_EQ(out[0], 0xAA);
    // One packet holds 183 bytes of section, 181 with the discontinuity.
    EXPECT_EQ(Packetise(section.data(), 183, kPid, counter, false, out, sizeof out), 188u);
    EXPECT_EQ(Packetise(section.data(), 184, kPid, counter, false, out, sizeof out), 376u);
    EXPECT_EQ(Packetise(section.data(), 181, kPid, counter, true, out, sizeof out), 188u);
    EXPECT_EQ(Packetise(section.data(), 182, kPid, counter, true, out, sizeof out), 376u);
}

// A video packet that starts a PES packet whose elementary stream begins
// with `units` (each the bytes after a 00 00 01 start code), or, with
// `randomAccess`, one whose adaptation field says so and nothing else.
Bytes VideoPacket(const std::vector<Bytes>& units, bool randomAccess = false,
                  bool scrambled = false) {
    Bytes p(188, 0xFF);
    p[0] = kSync;
    p[1] = 0x41;  // PES start, PID 0x100
    p[2] = 0x00;
    p[3] = static_cast<std::uint8_t>((scrambled ? 0x80 : 0) | (randomAccess ? 0x30 : 0x10));
    std::size_t at = 4;
    if (randomAccess) {
        p[4] = 1;
        p[5] = 0x40;
        at = 6;
    }
    const Bytes pes = {0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1};  // PTS
    std::copy(pes.begin(), pes.end(), p.begin() + static_cast<std::ptrdiff_t>(at));
    at += pes.size();
    for (const Bytes& unit : units) {
        const Bytes code = {0, 0, 1};
        std::copy(code.begin(), code.end(), p.begin() + static_cast<std::ptrdiff_t>(at));
        std::copy(unit.begin(), unit.end(), p.begin() + static_cast<std::ptrdiff_t>(at + 3));
        at += 3 + unit.size() + 2;
    }
    return p;
}

// Each codec's own entry point, its pictures that need earlier ones, and
// what cannot be told: the first unit that says either way decides.
TEST(RandomAccess, EachCodecSaysWhereAStreamMayBeEntered) {
    const struct {
        std::uint8_t type;
        std::vector<Bytes> units;
        Access access;
    } cases[] = {
        {0x02, {{0xB3, 0x2D}}, Access::kPoint},                // MPEG-2 sequence header
        {0x02, {{0x00, 0x01}}, Access::kNot},                  // a picture alone
        {0x1B, {{0x09, 0xF0}, {0x67, 0x64}}, Access::kPoint},  // AUD, then SPS
        {0x1B, {{0x09, 0xF0}, {0x65, 0x88}}, Access::kPoint},  // AUD, then IDR slice
        {0x1B, {{0x09, 0xF0}, {0x41, 0x9A}}, Access::kNot},    // AUD, then a P slice
        {0x24, {{0x46, 0x01}, {0x40, 0x01}}, Access::kPoint},  // HEVC AUD, VPS
        {0x24, {{0x26, 0x01}}, Access::kPoint},                // IDR_W_RADL
        {0x24, {{0x02, 0x01}}, Access::kNot},                  // TRAIL_R
        {0x33, {{0x00, 0x48}}, Access::kPoint},                // VVC CRA
        {0x33, {{0x00, 0x10}}, Access::kNot},                  // VVC STSA
        {0x10, {{0xB0, 0x01}}, Access::kUnknown},              // MPEG-4 part 2: not read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "type " << int{c.type} << " unit " << int{c.units.back()[0]});
        EXPECT_EQ(RandomAccess(VideoPacket(c.units).data(), c.type), c.access);
    }
    // The broadcaster's flag decides for any codec; scrambled video says nothing.
    EXPECT_EQ(RandomAccess(VideoPacket({}, true).data(), 0x10), Access::kPoint);
    EXPECT_EQ(RandomAccess(VideoPacket({{0x41, 0x9A}}, false, true).data(), 0x1B),
              Access::kUnknown);
    // A packet that does not start a PES packet says nothing either.
    Bytes middle = VideoPacket({{0x41, 0x9A}});
    middle[1] = 0x01;
    EXPECT_EQ(RandomAccess(middle.data(), 0x1B), Access::kUnknown);
}

}  // namespace
}  // namespace corvanlet::ts
