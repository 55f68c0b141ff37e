// The two tables that say what a transport stream carries (ISO/IEC 13818-1,
// 2.4.4.3 and 2.4.4.8): the program association table, which names each
// program's PMT PID, and the program map table, which names the program's
// elementary streams. Read from whole sections (as SectionAssembler delivers
// them) and written back for a recording of a single program that keeps only
// what can be played: the PMT without the streams that are neither picture
// nor sound nor subtitles, and without the CA_descriptors of a
// conditional-access system the recording no longer has.
//
// Every Parse function checks the section it is given on its own (table_id,
// section_syntax_indicator, lengths, CRC_32), so it takes untrusted bytes;
// on false, `out` holds nothing of use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet::ts {

struct PatProgram {
    std::uint16_t programNumber;  // 0: pid is the network PID
    std::uint16_t pid;
};

struct Pat {
    std::uint16_t transportStreamId;
    std::uint8_t version;
    bool current;
    std::uint8_t sectionNumber;
    std::uint8_t lastSectionNumber;
    std::uint16_t count;
    PatProgram programs[253];  // as many as a 1021-byte section can list
};

bool ParsePat(const std::uint8_t* section, std::size_t length, Pat& out);

// One elementary stream; descriptors points into the parsed section.
struct PmtStream {
    std::uint8_t streamType;
    std::uint16_t pid;
    const std::uint8_t* descriptors;
    std::uint16_t descriptorsLength;
};

// The pointers point into the parsed section, which must outlive the Pmt.
struct Pmt {
    std::uint16_t programNumber;
    std::uint8_t version;
    bool current;
    std::uint16_t pcrPid;
    const std::uint8_t* programInfo;
    std::uint16_t programInfoLength;
    std::uint16_t count;
    PmtStream streams[204];  // room for every stream a 1021-byte section can list
};

bool ParsePmt(const std::uint8_t* section, std::size_t length, Pmt& out);

enum class StreamKind { kVideo, kAudio, kSubtitles, kTeletext, kOther };

// What a stream carries, by its stream_type; for PES private data (0x06) by
// the DVB descriptors that say what it is (ETSI EN 300 468) or a
// registration descriptor naming an audio format.
StreamKind KindOf(const PmtStream& stream);
// Whether a stream is programme content a recording keeps: anything but
// kOther. (A recording also leaves out streams it cannot have delivered;
// ServiceStream decides that.)
inline bool Kept(const PmtStream& stream) {
    return KindOf(stream) != StreamKind::kOther;
}

// A PAT of one section (0 of 0) naming one program, current. Writes and
// returns 16 bytes, CRC_32 included.
std::size_t BuildPat(std::uint16_t transportStreamId, std::uint8_t version,
                     std::uint16_t programNumber, std::uint16_t pmtPid, std::uint8_t* out);

// The source PMT as a recording keeps it: only the streams whose entry in
// `listed` is true (one entry for each of source.streams, in order), with
// every CA_descriptor taken out of the program and stream descriptor loops
// (the others stay, in order), the same program_number and PCR_PID, the
// given version, current, section 0 of 0, a fresh CRC_32. out has room for
// 1024 bytes and must not overlap the source's section. Returns the bytes
// written; 0 only for a source that was not parsed from a section, whose
// loops would not fit.
std::size_t BuildPmt(const Pmt& source, std::uint8_t version, const bool* listed,
                     std::uint8_t* out);
// The same, listing the Kept() streams.
std::size_t BuildPmt(const Pmt& source, std::uint8_t version, std::uint8_t* out);

// Cuts one section into transport packets of the PID: the first starts the
// payload unit with a pointer_field of 0, the last is padded with 0xFF. Each
// packet takes counter as its continuity_counter, then counter goes up by
// one (mod 16). With discontinuity, the first packet carries an adaptation
// field whose discontinuity_indicator is set, for a decoder to take the new
// counters without calling them a loss. Returns the bytes written (whole
// packets), or 0 and writes nothing when room is too small.
std::size_t Packetise(const std::uint8_t* section, std::size_t length, std::uint16_t pid,
                      std::uint8_t& counter, bool discontinuity, std::uint8_t* out,
                      std::size_t room);

}  // namespace corvanlet::ts
