#include "capture/service_sink.h"

#include <cstring>

#include "ts/packet.h"
#include "ts/psi_tables.h"
#include "ts/service_stream.h"

namespace corvanlet {

namespace {

// The packets ts::Packetise makes of a section of `length` bytes when its
// first packet carries the discontinuity flag: that one has 181 bytes of
// section (an adaptation field of 2, the pointer field of 1), the rest 184.
std::uint32_t FlaggedPackets(std::uint32_t length) {
    return length <= 181 ? 1 : 1 + (length - 181 + 183) / 184;
}

// The length of the section at `section` (header and CRC), or 0 when the
// `length` bytes there do not hold it whole.
std::uint32_t SectionLength(const std::uint8_t* section, std::uint32_t length) {
    if (length < 3) return 0;
    const std::uint32_t whole = 3u + (((section[1] & 0x0Fu) << 8) | section[2]);
    return whole <= length ? whole : 0;
}

}  // namespace

ServiceSink::~ServiceSink() {
    // Close while this is still a ServiceSink: the last blocks are its own.
    ForbidLeavingBehind();
    CloseFile();
}

bool ServiceSink::TakeTables(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) {
    if (tag == ts::ServiceStream::kTablesTag) {
        incomingLength_ = 0;
    } else if (tag != ts::ServiceStream::kTablesMoreTag) {
        return false;
    }
    if (length > 0 && incomingLength_ + static_cast<std::uint32_t>(length) <= sizeof incoming_) {
        std::memcpy(incoming_ + incomingLength_, data, static_cast<std::size_t>(length));
        incomingLength_ += static_cast<std::uint32_t>(length);
    }
    // The tables in effect change only once the PAT and the PMT it names
    // are both in: a chunk lost on the way leaves the last whole ones.
    const std::uint32_t patLength = SectionLength(incoming_, incomingLength_);
    ts::Pat pat;
    if (patLength == 0 || !ts::ParsePat(incoming_, patLength, pat) || pat.count != 1) return true;
    const std::uint32_t pmtLength =
        SectionLength(incoming_ + patLength, incomingLength_ - patLength);
    if (pmtLength == 0 || patLength + pmtLength != incomingLength_) return true;
    std::memcpy(now_.sections, incoming_, incomingLength_);
    now_.length = incomingLength_;
    now_.whole = true;
    now_.pmtPid = pat.programs[0].pid;
    return true;
}

void ServiceSink::NoteCounters(const std::uint8_t* data, std::int32_t length) {
    for (std::int32_t at = 0; at + ts::kPacketSize <= length; at += ts::kPacketSize) {
        const std::uint8_t* packet = data + at;
        const std::uint16_t pid = ts::Pid(packet);
        if (pid == ts::kPatPid) now_.patCounter = ts::Counter(packet);
        if (pid == now_.pmtPid && now_.pmtPid != 0) now_.pmtCounter = ts::Counter(packet);
    }
}

void ServiceSink::ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) {
    if (TakeTables(data, length, tag)) return;
    NoteCounters(data, length);
    FileSink::ProcessBlock(data, length, tag);
}

void ServiceSink::ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length,
                                     std::uint8_t tag) {
    // The tables and counters are the writer's, which a writer not yet
    // ended may still change: a part begun here takes them as it left them.
    if (tag == ts::ServiceStream::kTablesTag || tag == ts::ServiceStream::kTablesMoreTag) return;
    FileSink::ProcessBlockAtExit(data, length, tag);
}

void ServiceSink::EndBatch() {
    FileSink::EndBatch();
    written_ = now_;
}

std::uint32_t ServiceSink::PartPreamble(std::uint8_t* out) {
    const Tables& t = written_;
    if (!t.whole) return 0;
    const std::uint32_t patLength = SectionLength(t.sections, t.length);
    const std::uint32_t pmtLength = t.length - patLength;
    // Each table's packets end on the counter last written, so the stream's
    // next packet of that PID follows on from them.
    const std::uint32_t pmtPackets = FlaggedPackets(pmtLength);
    std::uint8_t patCounter = static_cast<std::uint8_t>(t.patCounter & 0x0F);
    std::uint8_t pmtCounter = static_cast<std::uint8_t>((t.pmtCounter + 1 - pmtPackets) & 0x0F);
    const std::size_t pat =
        ts::Packetise(t.sections, patLength, ts::kPatPid, patCounter, true, out, kMaxPreamble);
    const std::size_t pmt = ts::Packetise(t.sections + patLength, pmtLength, t.pmtPid, pmtCounter,
                                          true, out + pat, kMaxPreamble - pat);
    if (pat == 0 || pmt == 0) return 0;
    return static_cast<std::uint32_t>(pat + pmt);
}

}  // namespace corvanlet
