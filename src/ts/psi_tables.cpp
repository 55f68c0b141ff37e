#include "ts/psi_tables.h"

#include <cstring>

#include "ts/crc32.h"
#include "ts/packet.h"
#include "ts/section_bytes.h"

namespace corvanlet::ts {

namespace {

// A PAT or PMT section is at most 3 + 1021 bytes.
constexpr std::size_t kMaxSection = 1024;
constexpr std::uint8_t kCaDescriptor = 0x09;

// A 13-bit PID behind its three reserved bits, all ones.
void WritePid(std::uint8_t* p, std::uint16_t pid) {
    p[0] = static_cast<std::uint8_t>(0xE0 | ((pid >> 8) & 0x1F));
    p[1] = static_cast<std::uint8_t>(pid & 0xFF);
}
// A 12-bit length behind its four reserved bits, all ones.
void WriteLength(std::uint8_t* p, std::size_t length) {
    p[0] = static_cast<std::uint8_t>(0xF0 | ((length >> 8) & 0x0F));
    p[1] = static_cast<std::uint8_t>(length & 0xFF);
}

// Calls visit(descriptor, size) for each descriptor of a loop, tag and
// length bytes included, while visit returns true. One whose length runs
// past the loop ends the walk: nothing after it can be placed.
template <typename Visit>
void ForEachDescriptor(const std::uint8_t* loop, std::size_t length, Visit visit) {
    std::size_t at = 0;
    while (at + 2 <= length) {
        const std::size_t size = 2u + loop[at + 1];
        if (at + size > length || !visit(loop + at, size)) return;
        at += size;
    }
}

// Copies a descriptor loop but for its CA_descriptors; returns the bytes
// written, never more than length.
std::size_t CopyWithoutCa(const std::uint8_t* loop, std::size_t length, std::uint8_t* out) {
    std::size_t written = 0;
    ForEachDescriptor(loop, length, [&](const std::uint8_t* descriptor, std::size_t size) {
        if (descriptor[0] != kCaDescriptor) {
            std::memcpy(out + written, descriptor, size);
            written += size;
        }
        return true;
    });
    return written;
}

// Registered format_identifiers of sound: AC-3, E-AC-3, DTS in its three
// frame sizes, Opus, and SMPTE 302M (AES3 audio, "BSSD").
bool IsAudioFormat(const std::uint8_t* formatIdentifier) {
    static const char* const kFormats[] = {"AC-3", "EAC3", "DTS1", "DTS2", "DTS3", "Opus", "BSSD"};
    for (const char* format : kFormats) {
        if (std::memcmp(formatIdentifier, format, 4) == 0) return true;
    }
    return false;
}

// An extension_descriptor (0x7F) by its descriptor_tag_extension.
StreamKind KindOfExtension(const std::uint8_t* descriptor, std::size_t size) {
    if (size < 3) return StreamKind::kOther;
    switch (descriptor[2]) {
        case 0x0E:  // DTS-HD_audio_stream_descriptor
        case 0x15:  // AC-4_descriptor
        case 0x21:  // DTS-UHD_descriptor
            return StreamKind::kAudio;
        case 0x20:  // TTML_subtitling_descriptor
            return StreamKind::kSubtitles;
        default:  // user defined (0x80 on) and those that name no format
            return StreamKind::kOther;
    }
}

StreamKind KindOfDescriptor(const std::uint8_t* descriptor, std::size_t size) {
    switch (descriptor[0]) {
        case 0x46:  // VBI_teletext_descriptor
        case 0x56:  // teletext_descriptor
            return StreamKind::kTeletext;
        case 0x59:  // subtitling_descriptor
            return StreamKind::kSubtitles;
        case 0x6A:  // AC-3_descriptor
        case 0x7A:  // enhanced_AC-3_descriptor
        case 0x7B:  // DTS_descriptor
        case 0x7C:  // AAC_descriptor
            return StreamKind::kAudio;
        case 0x05:  // registration_descriptor: a four-byte format_identifier
            return size >= 6 && IsAudioFormat(descriptor + 2) ? StreamKind::kAudio
                                                              : StreamKind::kOther;
        case 0x7F:  // extension_descriptor
            return KindOfExtension(descriptor, size);
        default:
            return StreamKind::kOther;
    }
}

// PES private data is what its first telling descriptor says it is.
StreamKind KindOfPrivateData(const PmtStream& stream) {
    StreamKind kind = StreamKind::kOther;
    ForEachDescriptor(stream.descriptors, stream.descriptorsLength,
                      [&](const std::uint8_t* descriptor, std::size_t size) {
                          kind = KindOfDescriptor(descriptor, size);
                          return kind == StreamKind::kOther;
                      });
    return kind;
}

}  // namespace

bool ParsePat(const std::uint8_t* section, std::size_t length, Pat& out) {
    // Eight header bytes and the CRC_32 around a loop of four-byte entries.
    if (!SectionChecks(section, length, 0x00, 12, kMaxSection)) return false;
    const std::size_t loop = length - 12;
    if (loop % 4 != 0 || section[6] > section[7]) return false;
    out.transportStreamId = Read16(section + 3);
    out.version = static_cast<std::uint8_t>((section[5] >> 1) & 0x1F);
    out.current = (section[5] & 0x01) != 0;
    out.sectionNumber = section[6];
    out.lastSectionNumber = section[7];
    // At most 253: the length is held to 1024.
    out.count = static_cast<std::uint16_t>(loop / 4);
    for (std::size_t i = 0; i < out.count; ++i) {
        const std::uint8_t* entry = section + 8 + 4 * i;
        out.programs[i] = {Read16(entry), Read13(entry + 2)};
    }
    return true;
}

bool ParsePmt(const std::uint8_t* section, std::size_t length, Pmt& out) {
    // Twelve header bytes up to program_info_length, and the CRC_32.
    if (!SectionChecks(section, length, 0x02, 16, kMaxSection)) return false;
    const std::size_t end = length - 4;
    const std::size_t infoLength = Read12(section + 10);
    if (12 + infoLength > end) return false;
    out.count = 0;
    for (std::size_t at = 12 + infoLength; at < end;) {
        // At most 201 entries fit: the count is checked all the same.
        if (at + 5 > end || out.count == sizeof out.streams / sizeof out.streams[0]) return false;
        const std::uint16_t esInfoLength = Read12(section + at + 3);
        if (at + 5 + esInfoLength > end) return false;
        out.streams[out.count++] = {section[at], Read13(section + at + 1), section + at + 5,
                                    esInfoLength};
        at += 5u + esInfoLength;
    }
    out.programNumber = Read16(section + 3);
    out.version = static_cast<std::uint8_t>((section[5] >> 1) & 0x1F);
    out.current = (section[5] & 0x01) != 0;
    out.pcrPid = Read13(section + 8);
    out.programInfo = section + 12;
    out.programInfoLength = static_cast<std::uint16_t>(infoLength);
    return true;
}

StreamKind KindOf(const PmtStream& stream) {
    // MPEG-1/2 video, MPEG-4 visual, AVC, MVC, HEVC, VVC, AVS, Dirac, VC-1.
    static constexpr std::uint8_t kVideo[] = {0x01, 0x02, 0x10, 0x1B, 0x20,
                                              0x24, 0x33, 0x42, 0xD1, 0xEA};
    // MPEG-1/2 audio, AAC (ADTS, LATM, raw), MPEG-H 3D audio (main and
    // auxiliary streams), AC-3 and E-AC-3 as ATSC marks them.
    static constexpr std::uint8_t kAudio[] = {0x03, 0x04, 0x0F, 0x11, 0x1C, 0x2D, 0x2E, 0x81, 0x87};
    for (const std::uint8_t type : kVideo) {
        if (stream.streamType == type) return StreamKind::kVideo;
    }
    for (const std::uint8_t type : kAudio) {
        if (stream.streamType == type) return StreamKind::kAudio;
    }
    return stream.streamType == 0x06 ? KindOfPrivateData(stream) : StreamKind::kOther;
}

std::size_t BuildPat(std::uint16_t transportStreamId, std::uint8_t version,
                     std::uint16_t programNumber, std::uint16_t pmtPid, std::uint8_t* out) {
    WriteHeader(out, 0x00, transportStreamId, version);
    out[8] = static_cast<std::uint8_t>(programNumber >> 8);
    out[9] = static_cast<std::uint8_t>(programNumber & 0xFF);
    WritePid(out + 10, pmtPid);
    return FinishSection(out, 12);
}

std::size_t BuildPmt(const Pmt& source, std::uint8_t version, std::uint8_t* out) {
    constexpr std::size_t kStreams = sizeof source.streams / sizeof source.streams[0];
    bool listed[kStreams] = {};
    for (std::size_t i = 0; i < source.count && i < kStreams; ++i) {
        listed[i] = Kept(source.streams[i]);
    }
    return BuildPmt(source, version, listed, out);
}

std::size_t BuildPmt(const Pmt& source, std::uint8_t version, const bool* listed,
                     std::uint8_t* out) {
    // Each loop is checked at its source length: taking descriptors out only
    // shrinks it, so a source that was parsed always fits.
    if (12u + source.programInfoLength + 4 > kMaxSection) return 0;
    WriteHeader(out, 0x02, source.programNumber, version);
    WritePid(out + 8, source.pcrPid);
    std::size_t at = 12;
    at += CopyWithoutCa(source.programInfo, source.programInfoLength, out + at);
    WriteLength(out + 10, at - 12);
    const std::size_t count = sizeof source.streams / sizeof source.streams[0];
    for (std::size_t i = 0; i < source.count && i < count; ++i) {
        const PmtStream& stream = source.streams[i];
        if (!listed[i]) continue;
        if (at + 5 + stream.descriptorsLength + 4 > kMaxSection) return 0;
        out[at] = stream.streamType;
        WritePid(out + at + 1, stream.pid);
        const std::size_t esInfoLength =
            CopyWithoutCa(stream.descriptors, stream.descriptorsLength, out + at + 5);
        WriteLength(out + at + 3, esInfoLength);
        at += 5 + esInfoLength;
    }
    return FinishSection(out, at);
}

std::size_t Packetise(const std::uint8_t* section, std::size_t length, std::uint16_t pid,
                      std::uint8_t& counter, bool discontinuity, std::uint8_t* out,
                      std::size_t room) {
    // The first packet gives a byte to the pointer_field, and two more to
    // the adaptation field when it carries one.
    const std::size_t first = discontinuity ? 181 : 183;
    if (section == nullptr || length == 0 || out == nullptr) return 0;
    const std::size_t packets = length <= first ? 1 : 1 + (length - first + 183) / 184;
    if (packets > room / kPacketSize) return 0;
    std::size_t taken = 0;
    for (std::size_t i = 0; i < packets; ++i) {
        std::uint8_t* packet = out + i * kPacketSize;
        const bool start = i == 0;
        const bool adaptation = start && discontinuity;
        packet[0] = kSync;
        packet[1] = static_cast<std::uint8_t>((start ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
        packet[2] = static_cast<std::uint8_t>(pid & 0xFF);
        packet[3] = static_cast<std::uint8_t>((adaptation ? 0x30 : 0x10) | (counter & 0x0F));
        counter = static_cast<std::uint8_t>((counter + 1) & 0x0F);
        std::size_t at = 4;
        if (adaptation) {
            packet[at++] = 1;     // adaptation_field_length: the flags byte alone
            packet[at++] = 0x80;  // discontinuity_indicator, no other flag
        }
        if (start) packet[at++] = 0;  // pointer_field: the section starts next
        const std::size_t piece =
            length - taken < kPacketSize - at ? length - taken : kPacketSize - at;
        std::memcpy(packet + at, section + taken, piece);
        std::memset(packet + at + piece, 0xFF, kPacketSize - at - piece);
        taken += piece;
    }
    return packets * kPacketSize;
}

}  // namespace corvanlet::ts
