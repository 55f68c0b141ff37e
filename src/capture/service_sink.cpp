#include "capture/service_sink.h"

#include <cstring>

#include "ts/packet.h"
#include "ts/psi_tables.h"

namespace corvanlet {

namespace {

// The length of the section at `section` (header and CRC), or 0 when the
// `length` bytes there do not hold it whole.
std::uint32_t SectionLength(const std::uint8_t* section, std::uint32_t length) {
    if (length < 3) return 0;
    const std::uint32_t whole = 3u + (((section[1] & 0x0Fu) << 8) | section[2]);
    return whole <= length ? whole : 0;
}

// The counter a preamble's last packet on `pid` must have so that the
// stream's next packet there follows on: the first such packet of `rest`
// says it (one without payload repeats its counter, one with payload adds
// one), else the last one written, `last`.
std::uint8_t LastCounterBefore(const std::uint8_t* rest, std::uint32_t bytes, std::uint16_t pid,
                               std::uint8_t last) {
    for (std::uint32_t at = 0; at + ts::kPacketSize <= bytes; at += ts::kPacketSize) {
        const std::uint8_t* packet = rest + at;
        if (packet[0] != ts::kSync || ts::Pid(packet) != pid) continue;
        const bool payload = (packet[3] & 0x10) != 0;
        return static_cast<std::uint8_t>((ts::Counter(packet) - (payload ? 1 : 0)) & 0x0F);
    }
    return static_cast<std::uint8_t>(last & 0x0F);
}

// Packetises the sections of one PID, [section, section + length), so that
// their packets end on counter `last`, the first flagged as a
// discontinuity. The packets are made once, then numbered.
std::size_t PacketiseEndingOn(const std::uint8_t* sections, std::uint32_t length, std::uint16_t pid,
                              std::uint8_t last, std::uint8_t* out, std::size_t room) {
    std::size_t bytes = 0;
    for (std::uint32_t at = 0; at < length;) {
        const std::uint32_t one = SectionLength(sections + at, length - at);
        std::uint8_t counter = 0;
        const std::size_t made = one == 0 ? 0
                                          : ts::Packetise(sections + at, one, pid, counter, at == 0,
                                                          out + bytes, room - bytes);
        if (made == 0) return 0;
        bytes += made;
        at += one;
    }
    const std::size_t packets = bytes / ts::kPacketSize;
    for (std::size_t i = 0; i < packets; ++i) {
        std::uint8_t& header = out[i * ts::kPacketSize + 3];
        const auto counter = static_cast<std::uint8_t>((last + 1 + i - packets) & 0x0F);
        header = static_cast<std::uint8_t>((header & 0xF0) | counter);
    }
    return bytes;
}

}  // namespace

ServiceSink::~ServiceSink() {
    // Close while this is still a ServiceSink: the last blocks are its own.
    ForbidLeavingBehind();
    CloseFile();
}

void ServiceSink::StartService(std::uint16_t serviceId, ts::ServiceStream::Notify notify,
                               void* context, const ts::TextOptions& text) {
    serviceId_ = serviceId;
    notify_ = notify;
    notifyContext_ = context;
    for (Path* path : {&writer_, &exit_}) {
        path->sink = this;
        path->byWriter = path == &writer_;
        path->now = Tables{};
        path->batchStart = Tables{};
        path->changeCount = 0;
        path->incomingLength = 0;
        // The exit path's stream tells nobody: the process is ending.
        path->stream.Start(serviceId, &ServiceSink::Emit,
                           path == &writer_ ? &ServiceSink::Notify : nullptr, path, text);
    }
    // Before the first finished batch, the exit path starts from the start.
    Save(writer_, saved_[0]);
}

void ServiceSink::ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    if (Ended() != End::kNone) return;
    CountTaken(length);
    writer_.stream.Feed(data, length);
}

void ServiceSink::ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    exit_.stream.Feed(data, length);
}

void ServiceSink::AfterGap() {
    FileSink::AfterGap();
    writer_.stream.NoteGap();
}

void ServiceSink::AfterGapAtExit() {
    exit_.stream.NoteGap();
}

void ServiceSink::Notify(void* self) {
    const ServiceSink& sink = *static_cast<Path*>(self)->sink;
    if (sink.notify_ != nullptr) sink.notify_(sink.notifyContext_);
}

void ServiceSink::Emit(void* self, const std::uint8_t* data, std::int32_t length,
                       std::uint8_t tag) {
    Path& path = *static_cast<Path*>(self);
    if (TakeTables(path, data, length, tag)) return;
    // Kept first: a part begun while keeping it takes the counters written
    // before it, and finds this block's in the batch.
    const bool entry = tag == ts::ServiceStream::kEntryTag;
    if (path.byWriter) {
        path.sink->KeepBlock(data, length, entry);
    } else {
        path.sink->KeepBlockAtExit(data, length, entry);
    }
    NoteCounters(path.now, data, length);
}

bool ServiceSink::TakeTables(Path& path, const std::uint8_t* data, std::int32_t length,
                             std::uint8_t tag) {
    if (tag == ts::ServiceStream::kTablesTag) {
        path.incomingLength = 0;
    } else if (tag != ts::ServiceStream::kTablesMoreTag) {
        return false;
    }
    if (length > 0 &&
        path.incomingLength + static_cast<std::uint32_t>(length) <= sizeof path.incoming) {
        std::memcpy(path.incoming + path.incomingLength, data, static_cast<std::size_t>(length));
        path.incomingLength += static_cast<std::uint32_t>(length);
    }
    // The tables in effect change only once the PAT, the PMT it names and
    // the SI sections after them are all in.
    const std::uint32_t patLength = SectionLength(path.incoming, path.incomingLength);
    ts::Pat pat;
    if (patLength == 0 || !ts::ParsePat(path.incoming, patLength, pat) || pat.count != 1) {
        return true;
    }
    std::uint32_t at = patLength;
    while (at < path.incomingLength) {
        const std::uint32_t one = SectionLength(path.incoming + at, path.incomingLength - at);
        if (one == 0) return true;
        at += one;
    }
    if (at == patLength) return true;  // no PMT yet
    Tables tables = path.now;
    std::memcpy(tables.sections, path.incoming, path.incomingLength);
    tables.length = path.incomingLength;
    tables.whole = true;
    tables.pmtPid = pat.programs[0].pid;
    path.sink->NoteTables(path, tables);
    return true;
}

ServiceSink::TablePid ServiceSink::Tables::SlotOf(std::uint8_t tableId) {
    switch (tableId) {
        case 0x00:
            return kPatSlot;
        case 0x02:
            return kPmtSlot;
        case ts::kSdtActual:
            return kSdtSlot;
        default:
            return kEitSlot;
    }
}

std::uint16_t ServiceSink::Tables::PidOf(TablePid slot) const {
    constexpr std::uint16_t kPids[kTableSlots] = {ts::kPatPid, 0, ts::kSdtPid, ts::kEitPid};
    return slot == kPmtSlot ? pmtPid : kPids[slot];
}

void ServiceSink::NoteTables(Path& path, const Tables& tables) {
    // The stream sends its tables again with every PAT: a repeat is no change.
    const bool same = path.now.whole && path.now.length == tables.length &&
                      std::memcmp(path.now.sections, tables.sections, tables.length) == 0;
    path.now = tables;
    if (same) return;
    // Where in the batch they take effect, for a part that begins there.
    // More changes in one batch than kept: the last one is the newest
    // (a part begun between the two last takes the newer a little early).
    const std::uint32_t at = PendingBytes(path.byWriter);
    if (path.changeCount == kMaxChanges) --path.changeCount;
    path.changes[path.changeCount++] = Change{at, tables};
}

void ServiceSink::NoteCounters(Tables& tables, const std::uint8_t* data, std::int32_t length) {
    for (std::int32_t at = 0; at + ts::kPacketSize <= length; at += ts::kPacketSize) {
        const std::uint8_t* packet = data + at;
        const std::uint16_t pid = ts::Pid(packet);
        for (std::uint8_t slot = 0; slot < kTableSlots; ++slot) {
            const auto which = static_cast<TablePid>(slot);
            if (pid != tables.PidOf(which) || (which == kPmtSlot && pid == 0)) continue;
            tables.counters[slot] = ts::Counter(packet);
        }
    }
}

void ServiceSink::AfterBatchWritten(bool byWriter) {
    Path& path = byWriter ? writer_ : exit_;
    path.batchStart = path.now;
    path.changeCount = 0;
}

const ServiceSink::Tables& ServiceSink::TablesAt(const Path& path, std::uint32_t from) {
    const Tables* tables = &path.batchStart;
    for (std::uint32_t i = 0; i < path.changeCount && path.changes[i].at <= from; ++i) {
        tables = &path.changes[i].tables;
    }
    return *tables;
}

std::uint32_t ServiceSink::PartPreamble(std::uint8_t* out, const PartStart& start) {
    const Path& path = start.byWriter ? writer_ : exit_;
    const Tables& t = TablesAt(path, start.from);
    // A part that goes on inside a packet (the torn head of it stayed in the
    // part before, which could not be cut) continues that packet: tables
    // there would split it.
    if (!t.whole || start.from % ts::kPacketSize != 0) return 0;
    // The counters on the tables' PIDs as the stream goes on from here: the
    // rest of the batch, or else what was written last. The sections come
    // in groups by PID, in the order the stream sends them.
    const std::uint8_t* rest = start.batch + start.from;
    const std::uint32_t restBytes = start.pending - start.from;
    std::size_t written = 0;
    for (std::uint32_t at = 0; at < t.length;) {
        const TablePid slot = Tables::SlotOf(t.sections[at]);
        std::uint32_t end = at;
        while (end < t.length && Tables::SlotOf(t.sections[end]) == slot) {
            const std::uint32_t one = SectionLength(t.sections + end, t.length - end);
            if (one == 0) return 0;
            end += one;
        }
        const std::uint16_t pid = t.PidOf(slot);
        const std::uint8_t last = LastCounterBefore(rest, restBytes, pid, path.now.counters[slot]);
        const std::size_t bytes = PacketiseEndingOn(t.sections + at, end - at, pid, last,
                                                    out + written, kMaxPreamble - written);
        if (bytes == 0) return 0;
        written += bytes;
        at = end;
    }
    return static_cast<std::uint32_t>(written);
}

void ServiceSink::Save(const Path& path, Saved& out) {
    path.stream.SaveMemory(out.stream);
    out.now = path.now;
    std::memcpy(out.incoming, path.incoming, path.incomingLength);
    out.incomingLength = path.incomingLength;
}

void ServiceSink::Load(const Saved& in, Path& path) {
    path.stream.LoadMemory(in.stream);
    path.now = in.now;
    path.batchStart = in.now;
    path.changeCount = 0;
    std::memcpy(path.incoming, in.incoming, in.incomingLength);
    path.incomingLength = in.incomingLength;
}

std::uint64_t ServiceSink::Mark() {
    const std::uint64_t seq = FileSink::Mark();
    Save(writer_, saved_[seq & 1]);
    return seq;
}

void ServiceSink::RecoverTo(std::uint64_t mark) {
    FileSink::RecoverTo(mark);
    Load(saved_[mark & 1], exit_);
}

}  // namespace corvanlet
