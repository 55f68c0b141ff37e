#include "ts/service_stream.h"

#include <algorithm>
#include <cstring>

#include "ts/packet.h"
#include "ts/random_access.h"
#include "ts/spin_guard.h"

namespace corvanlet::ts {

namespace {

bool Contains(const std::uint16_t* pids, std::uint32_t count, std::uint16_t pid) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (pids[i] == pid) return true;
    }
    return false;
}

}  // namespace

void ServiceStream::Start(std::uint16_t serviceId, Emit emit, Notify notify, void* context,
                          const TextOptions& text) {
    serviceId_ = serviceId;
    text_ = text;
    emit_ = emit;
    notify_ = notify;
    context_ = context;
    pat_.Reset();
    pmt_.Reset();
    pmtPid_ = 0;
    patVersionIn_ = 0xFF;
    std::memset(patSectionsSeen_, 0, sizeof patSectionsSeen_);
    havePmt_ = false;
    passing_ = false;
    entryPid_ = 0;
    awaitingEntry_ = false;
    awaitedStarts_ = 0;
    std::memset(lastOut_, kNoCounter, sizeof lastOut_);
    std::memset(shift_, 0, sizeof shift_);
    hadTables_ = false;
    gap_.store(false, std::memory_order_relaxed);
    patOut_ = Table{};
    pmtOut_ = Table{};
    sdt_.Reset();
    eit_.Reset();
    sdtOut_ = Table{};
    sdtVersion_ = 0;
    eitCounter_ = 0;
    eitNowLength_[0] = eitNowLength_[1] = 0;
    guideNext_ = ServiceGuide{};
    patVersion_ = 0;
    pmtVersion_ = 0;
    keptCount_ = 0;
    std::memset(roles_, kDrop, sizeof roles_);
    partialBytes_ = 0;
    hunting_ = true;
    droppedNext_ = DroppedList{};
    outBytes_ = 0;
    outAtEntry_ = false;
    dropped_.store(0, std::memory_order_relaxed);
    pmtChanges_.store(0, std::memory_order_relaxed);
    pmtPidSeen_.store(0, std::memory_order_relaxed);
    SetState(State::kWaitingPat);
    Publish();
    PublishGuide();
}

void ServiceStream::Feed(const std::uint8_t* data, std::int32_t length) {
    if (data == nullptr || length <= 0) return;
    // Acquire pairs with NoteGap's release. Blocks were lost before this
    // one: what was begun is dropped, and every stream starts afresh at its
    // next PES packet.
    if (gap_.exchange(false, std::memory_order_acquire)) {
        partialBytes_ = 0;
        hunting_ = true;  // the block may begin anywhere in a packet
        pat_.Reset();
        pmt_.Reset();
        sdt_.Reset();
        eit_.Reset();
        // The gap is a loss, and its jump in the counters stays: the packets
        // go on as they came.
        for (std::uint32_t i = 0; i < keptCount_; ++i) {
            if (!keptStreams_[i]) continue;
            roles_[keptPids_[i]] = kStart;
            lastOut_[keptPids_[i]] = kNoCounter;
        }
    }
    const std::int32_t taken = FinishPartial(data, length);
    TakeWholePackets(data + taken, length - taken);
    Flush();
}

// The rest of a packet begun in an earlier block; returns the bytes of
// `data` it took. While hunting for sync the packet goes on only once the
// byte after it is a sync byte too: it stays held (whole) until that byte
// comes, and when it is not, the search goes on in the held bytes.
std::int32_t ServiceStream::FinishPartial(const std::uint8_t* data, std::int32_t length) {
    std::int32_t used = 0;
    while (partialBytes_ != 0) {
        const std::int32_t taken = std::min(kPacketSize - partialBytes_, length - used);
        std::memcpy(partial_ + partialBytes_, data + used, static_cast<std::size_t>(taken));
        partialBytes_ += taken;
        used += taken;
        if (partialBytes_ < kPacketSize) return used;  // the block ended first
        if (hunting_ && used == length) return used;   // its confirmation is to come
        if (!hunting_ || data[used] == kSync) {
            hunting_ = false;
            partialBytes_ = 0;
            OnPacket(partial_);
            return used;
        }
        DropFalseStart();
    }
    return used;
}

// The held packet's sync byte was not confirmed: it was none. The held
// bytes begin again at their next 0x47, if any, to be topped up and tried.
void ServiceStream::DropFalseStart() {
    const std::uint8_t* next =
        static_cast<const std::uint8_t*>(std::memchr(partial_ + 1, kSync, kPacketSize - 1));
    if (next == nullptr) {
        partialBytes_ = 0;
        return;
    }
    partialBytes_ = static_cast<std::int32_t>(partial_ + kPacketSize - next);
    std::memmove(partial_, next, static_cast<std::size_t>(partialBytes_));
}

void ServiceStream::TakeWholePackets(const std::uint8_t* data, std::int32_t length) {
    std::int32_t at = 0;
    while (at < length) {
        if (data[at] != kSync) {  // lost the packets: hunt for two sync bytes that agree
            hunting_ = true;
            ++at;
            continue;
        }
        const std::int32_t left = length - at;
        if (left < kPacketSize || (hunting_ && left == kPacketSize)) {
            // The rest of the packet, or the byte that confirms it, is in
            // the next block.
            partialBytes_ = left;
            std::memcpy(partial_, data + at, static_cast<std::size_t>(left));
            return;
        }
        if (hunting_ && data[at + kPacketSize] != kSync) {  // a 0x47 inside other bytes
            ++at;
            continue;
        }
        hunting_ = false;
        OnPacket(data + at);
        at += kPacketSize;
    }
}

void ServiceStream::OnPacket(const std::uint8_t* packet) {
    const std::uint16_t pid = Pid(packet);
    if (pid == kPatPid) {
        pat_.Feed(packet, &ServiceStream::OnPatSection, this);
        if (!havePmt_) return;
        // The tables in effect go with each PAT, so a next part always
        // finds them, even when one of these blocks was refused.
        if (patOut_.next == 0) EmitTables();
        OutputTablePacket(patOut_);
        return;
    }
    if (pid == kSdtPid) {  // replaced by the generated SDT
        sdt_.Feed(packet, &ServiceStream::OnSdtSection, this);
        return;
    }
    if (pid == kEitPid) {  // the service's sections go out in packets of their own
        eit_.Feed(packet, &ServiceStream::OnEitSection, this);
        return;
    }
    if (pid == pmtPid_) {
        OnPmtPacket(packet);
        return;
    }
    if (pid == kTdtPid) NoteTime(packet);  // and it passes as it came
    if (passing_ && roles_[pid] == kStart && PayloadStart(packet) && MayStart(packet, pid)) {
        roles_[pid] = kKeep;
        // Taken up again: on from its own last counter.
        if (lastOut_[pid] != kNoCounter) {
            shift_[pid] = static_cast<std::uint8_t>((lastOut_[pid] + 1 - Counter(packet)) & 0x0F);
        }
    }
    if (passing_ && roles_[pid] == kKeep) {
        if (pid == entryPid_ && PayloadStart(packet) &&
            RandomAccess(packet, entryType_) == Access::kPoint) {
            Flush();  // the entry point begins a block of its own
            outAtEntry_ = true;
        }
        Output(packet);
    } else {
        Drop();
    }
}

void ServiceStream::NoteTime(const std::uint8_t* packet) {
    // One short section at the start of the payload: TDT (0x70) or TOT
    // (0x73), the time in its first five bytes after the header.
    if (!PayloadStart(packet) || TransportError(packet) || !HasPayload(packet)) return;
    const int payload = (packet[3] & 0x20) != 0 ? 5 + packet[4] : 4;
    if (payload >= kPacketSize) return;
    const int section = payload + 1 + packet[payload];
    if (section + 8 > kPacketSize) return;
    const std::uint8_t* s = packet + section;
    if (s[0] != 0x70 && s[0] != 0x73) return;
    const std::int64_t time = SiTime(s + 3);
    if (time < 0) return;
    streamTime_.store(time, std::memory_order_relaxed);
    timeCount_.store(timeCount_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

bool ServiceStream::MayStart(const std::uint8_t* packet, std::uint16_t pid) {
    // Only a picture that says it needs earlier ones is passed over; video
    // that cannot be read (scrambled, a codec not read here) begins at a PES
    // start as before, and so does a recording whose streams pass this many
    // PES starts with no entry point.
    // The count is of every stream's starts passed over, so that video the
    // host never delivers holds the others up for a bounded time only.
    constexpr std::uint32_t kMostStartsAwaited = 1000;
    if (!awaitingEntry_) return true;
    if (++awaitedStarts_ > kMostStartsAwaited) {
        awaitingEntry_ = false;
        return true;
    }
    if (pid != entryPid_) return false;  // the other streams begin with the picture
    if (RandomAccess(packet, entryType_) != Access::kNot) {
        awaitingEntry_ = false;
        return true;
    }
    return false;
}

void ServiceStream::OnPmtPacket(const std::uint8_t* packet) {
    const bool before = havePmt_;
    pmt_.Feed(packet, &ServiceStream::OnPmtSection, this);
    if (!havePmt_) return;
    // The service's clock on this PID goes out where it came (not from a
    // packet whose header is marked damaged: its field cannot be trusted).
    if (pcrPid_ == pmtPid_ && !TransportError(packet) && HasPcr(packet)) {
        OutputClockPacket(packet);
    }
    // Each packet with payload is replaced by the next generated PMT packet.
    // The first PMT emitted both tables whole: this packet is among them.
    if (before && HasPayload(packet)) OutputTablePacket(pmtOut_);
}

void ServiceStream::OnPatSection(void* self, const std::uint8_t* section, std::size_t length) {
    auto* stream = static_cast<ServiceStream*>(self);
    if (ParsePat(section, length, stream->patScratch_) && stream->patScratch_.current) {
        stream->OnPat(stream->patScratch_);
    }
}

void ServiceStream::OnPat(const Pat& pat) {
    if (pat.version != patVersionIn_) {
        patVersionIn_ = pat.version;
        std::memset(patSectionsSeen_, 0, sizeof patSectionsSeen_);
    }
    patSectionsSeen_[pat.sectionNumber / 8] |=
        static_cast<std::uint8_t>(1u << (pat.sectionNumber % 8));
    for (std::uint16_t i = 0; i < pat.count; ++i) {
        const PatProgram& program = pat.programs[i];
        if (program.programNumber != serviceId_ || program.pid == kPatPid ||
            program.pid == kNullPid) {
            continue;
        }
        if (program.pid != pmtPid_ || pat.transportStreamId != transportStreamId_) {
            const bool moved = pmtPid_ != 0;
            pmtPid_ = program.pid;
            transportStreamId_ = pat.transportStreamId;
            pmt_.Reset();
            // A PMT that moved is read afresh: the streams go on meanwhile,
            // and once it comes both tables go out whole, as at the start.
            if (moved) patVersion_ = static_cast<std::uint8_t>((patVersion_ + 1) & 0x1F);
            havePmt_ = false;
            MakePat();
            SetState(State::kWaitingPmt);
            Publish();
        }
        return;
    }
    // Not in this section: not in the PAT once every section was seen.
    for (std::uint32_t n = 0; n <= pat.lastSectionNumber; ++n) {
        if ((patSectionsSeen_[n / 8] & (1u << (n % 8))) == 0) return;
    }
    if (pmtPid_ == 0) SetState(State::kNotFound);
}

void ServiceStream::OnPmtSection(void* self, const std::uint8_t* section, std::size_t length) {
    static_cast<ServiceStream*>(self)->OnPmt(section, length);
}

void ServiceStream::OnPmt(const std::uint8_t* section, std::size_t length) {
    Pmt& pmt = pmtScratch_;
    if (!ParsePmt(section, length, pmt) || !pmt.current || pmt.programNumber != serviceId_) return;
    std::uint32_t crc = 0;
    std::memcpy(&crc, section + length - 4, 4);
    if (havePmt_ && crc == sourcePmtCrc_) return;  // a repeat of the PMT in effect
    const bool first = !havePmt_;
    sourcePmtCrc_ = crc;
    if (hadTables_) {  // a new version, or the PMT of a moved PMT PID
        pmtVersion_ = static_cast<std::uint8_t>((pmtVersion_ + 1) & 0x1F);
        pmtChanges_.store(pmtChanges_.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
    }
    MakePmt(pmt);
    havePmt_ = true;
    // The recording's start (not a PMT that moved): it waits for the video;
    // a new PMT without it ends the wait.
    if (!passing_) awaitingEntry_ = entryPid_ != 0;
    if (entryPid_ == 0) awaitingEntry_ = false;
    passing_ = true;
    hadTables_ = true;
    roles_[kTdtPid] = kKeep;  // the time, which players take from it
    // The tables block first, then their packets: the sink learns the PMT
    // PID before it sees the packets whose counters it must follow.
    EmitTables();
    if (first) {
        // The output begins here (again, after a move): the whole PAT and
        // PMT, then the streams.
        OutputTablePacket(patOut_);
        for (std::uint32_t i = 0; i < pmtOut_.packetCount; ++i) OutputTablePacket(pmtOut_);
        OutputSi();
    }
    SetState(State::kRecording);
    Publish();
}

void ServiceStream::OnSdtSection(void* self, const std::uint8_t* section, std::size_t length) {
    auto* stream = static_cast<ServiceStream*>(self);
    SdtHeader header;
    SdtService service;
    const bool listed = FindSdtService(section, length, stream->serviceId_, header, service);
    if (!header.current) return;  // a next version, or a section that does not check
    if (!stream->guideNext_.sawSdt) {
        stream->guideNext_.sawSdt = true;
        stream->PublishGuide();
    }
    if (listed) stream->OnSdt(header, service);
}

// The service's entry, as an SDT of its own: a new version when what it
// says changed, its packets each time the source sends it.
void ServiceStream::OnSdt(const SdtHeader& header, const SdtService& service) {
    if (pmtPid_ != 0 && header.transportStreamId != transportStreamId_) return;
    std::uint8_t section[1024];
    std::size_t length = BuildSdt(header, service, sdtVersion_, section);
    if (length == 0) return;
    const bool same =
        sdtOut_.sectionLength == length && std::memcmp(sdtOut_.section, section, length) == 0;
    if (!same) {
        if (sdtOut_.sectionLength != 0) {
            sdtVersion_ = static_cast<std::uint8_t>((sdtVersion_ + 1) & 0x1F);
            length = BuildSdt(header, service, sdtVersion_, section);
        }
        std::memcpy(sdtOut_.section, section, length);
        sdtOut_.sectionLength = static_cast<std::uint32_t>(length);
        Packetise(sdtOut_, kSdtPid);
        TakeServiceText(service);
        if (havePmt_) EmitTables();
    }
    if (!havePmt_) return;
    for (std::uint32_t i = 0; i < sdtOut_.packetCount; ++i) OutputTablePacket(sdtOut_);
}

void ServiceStream::OnEitSection(void* self, const std::uint8_t* section, std::size_t length) {
    auto* stream = static_cast<ServiceStream*>(self);
    EitHeader header;
    if (ParseEitHeader(section, length, header) && KeptEit(header, stream->serviceId_)) {
        stream->OnEit(header, section, length);
    }
}

// A section of the service's own events goes out as it came; the present
// and following sections are kept for a next part, and read.
void ServiceStream::OnEit(const EitHeader& header, const std::uint8_t* section,
                          std::size_t length) {
    if (pmtPid_ != 0 && header.transportStreamId != transportStreamId_) return;
    if (header.tableId == kEitPresentFollowing && header.sectionNumber < 2 &&
        length <= kMaxEitSection) {
        const std::uint8_t n = header.sectionNumber;
        if (n == 0) {  // single writer: a plain load and store
            presentSections_.store(presentSections_.load(std::memory_order_relaxed) + 1,
                                   std::memory_order_relaxed);
        }
        const bool same =
            eitNowLength_[n] == length && std::memcmp(eitNow_[n], section, length) == 0;
        if (!same) {
            std::memcpy(eitNow_[n], section, length);
            eitNowLength_[n] = static_cast<std::uint32_t>(length);
            guideNext_.sawEit = true;
            TakeEvent(section, length, n == 0 ? guideNext_.present : guideNext_.following);
            PublishGuide();
            if (havePmt_) EmitTables();
        }
    }
    if (havePmt_) OutputSection(section, length, kEitPid, eitCounter_);
}

void ServiceStream::OutputSection(const std::uint8_t* section, std::size_t length,
                                  std::uint16_t pid, std::uint8_t& counter) {
    std::uint8_t packets[23 * kPacketSize];  // a section of 4096 bytes
    const std::size_t bytes =
        ts::Packetise(section, length, pid, counter, false, packets, sizeof packets);
    for (std::size_t at = 0; at < bytes; at += kPacketSize) Output(packets + at);
}

// The SI known when the output begins, after the PAT and PMT.
void ServiceStream::OutputSi() {
    for (std::uint32_t i = 0; i < sdtOut_.packetCount; ++i) OutputTablePacket(sdtOut_);
    for (std::uint32_t n = 0; n < 2; ++n) {
        if (eitNowLength_[n] != 0)
            OutputSection(eitNow_[n], eitNowLength_[n], kEitPid, eitCounter_);
    }
}

namespace {

// Decoded text of a field; one whose length ran past its descriptor ends
// in U+FFFD.
void DecodeField(const std::uint8_t* text, std::size_t length, bool cut, const TextOptions& options,
                 char (&out)[768]) {
    const std::size_t used = DecodeText(text, length, out, sizeof out, options);
    if (cut && used + 4 <= sizeof out) std::memcpy(out + used, "\xEF\xBF\xBD", 4);
}

}  // namespace

void ServiceStream::TakeServiceText(const SdtService& service) {
    ServiceGuide& guide = guideNext_;
    guide.haveService = true;
    guide.freeCa = service.freeCa;
    ServiceDescriptor descriptor;
    if (FindServiceDescriptor(service.descriptors, service.descriptorsLength, descriptor)) {
        guide.serviceType = descriptor.serviceType;
        DecodeField(descriptor.name, descriptor.nameLength, descriptor.cut, text_, guide.name);
        DecodeField(descriptor.provider, descriptor.providerLength, descriptor.cut, text_,
                    guide.provider);
    } else {
        guide.serviceType = 0;
        guide.name[0] = guide.provider[0] = '\0';
    }
    PublishGuide();
}

void ServiceStream::TakeEvent(const std::uint8_t* section, std::size_t length,
                              ServiceGuide::Event& out) {
    EitEvent event;
    out = ServiceGuide::Event{};
    if (!FirstEvent(section, length, event)) return;  // none: an empty following, say
    out.known = true;
    out.id = event.eventId;
    out.start = event.start;
    out.duration = event.duration;
    out.runningStatus = event.runningStatus;
    const std::uint8_t* name = nullptr;
    std::uint8_t nameLength = 0;
    bool cut = false;
    if (FindEventName(event.descriptors, event.descriptorsLength, name, nameLength, cut)) {
        DecodeField(name, nameLength, cut, text_, out.title);
    }
}

void ServiceStream::MakePat() {
    patOut_.sectionLength = static_cast<std::uint32_t>(
        BuildPat(transportStreamId_, patVersion_, serviceId_, pmtPid_, patOut_.section));
    Packetise(patOut_, kPatPid);
    pmtPidSeen_.store(pmtPid_, std::memory_order_relaxed);
}

void ServiceStream::MakePmt(const Pmt& pmt) {
    // A PID kept before and after, as the same kind, goes on as it was; a
    // new stream (or a PCR PID that became one) waits for its start.
    Role before[kMaxWanted];
    std::uint16_t was[kMaxWanted];
    bool wasStream[kMaxWanted];
    const std::uint32_t wasCount = keptCount_;
    for (std::uint32_t i = 0; i < wasCount; ++i) {
        was[i] = keptPids_[i];
        wasStream[i] = keptStreams_[i];
        before[i] = roles_[was[i]];
        roles_[was[i]] = kDrop;
    }
    ChooseStreams(pmt);
    for (std::uint32_t i = 0; i < keptCount_; ++i) {
        const std::uint16_t pid = keptPids_[i];
        roles_[pid] = keptStreams_[i] ? kStart : kKeep;  // a PCR-only PID has no PES start
        for (std::uint32_t j = 0; j < wasCount; ++j) {
            if (was[j] == pid && wasStream[j] == keptStreams_[i]) roles_[pid] = before[j];
        }
    }
    pmtOut_.sectionLength =
        static_cast<std::uint32_t>(BuildPmt(pmt, pmtVersion_, listed_, pmtOut_.section));
    Packetise(pmtOut_, pmtPid_);
    pmtVersionSeen_.store(pmtVersion_, std::memory_order_relaxed);
}

// The one place that decides which of the PMT's streams are recorded: they
// are listed in the generated PMT (listed_) and delivered (keptPids_), with
// the PCR PID when none of them carries the clock; the others are noted,
// with why, for Publish.
void ServiceStream::ChooseStreams(const Pmt& pmt) {
    DropReason reasons[kPmtStreams];
    const std::uint32_t room = StreamRoom(pmt, reasons);
    keptCount_ = 0;
    entryPid_ = 0;
    ++droppedNext_.pmtNumber;
    droppedNext_.total = 0;
    droppedNext_.count = 0;
    for (std::uint16_t i = 0; i < pmt.count; ++i) {
        listed_[i] = reasons[i] == DropReason::kNone && keptCount_ < room;
        if (!listed_[i]) {
            const bool noRoom = reasons[i] == DropReason::kNone;
            NoteDropped(pmt.streams[i], noRoom ? DropReason::kNoRoom : reasons[i]);
            continue;
        }
        keptStreams_[keptCount_] = true;
        keptPids_[keptCount_++] = pmt.streams[i].pid;
        if (entryPid_ == 0 && KindOf(pmt.streams[i]) == StreamKind::kVideo) {
            entryPid_ = pmt.streams[i].pid;  // where a recording may begin
            entryType_ = pmt.streams[i].streamType;
        }
    }
    // The clock comes from the PCR PID even when it carries no kept stream;
    // on the PMT PID it comes with the PMT's packets.
    pcrPid_ = pmt.pcrPid;
    if (!ReservedPid(pcrPid_) && !Contains(keptPids_, keptCount_, pcrPid_)) {
        keptStreams_[keptCount_] = false;
        keptPids_[keptCount_++] = pcrPid_;
    }
}

// Sets why each stream would be dropped (kNone: it is recorded if there is
// room) and returns how many streams there is room for: the PIDs a host
// delivers less the PAT and the PMT, and less the PCR PID when it needs one
// of its own (no stream that fits carries the clock).
std::uint32_t ServiceStream::StreamRoom(const Pmt& pmt, DropReason* reasons) const {
    constexpr std::uint32_t kRoom = kMaxWanted - 2 - kSiPids;
    std::uint32_t candidates = 0;
    bool clockOnStream = false;
    for (std::uint16_t i = 0; i < pmt.count; ++i) {
        reasons[i] = ReasonToDrop(pmt, i, reasons);
        if (reasons[i] != DropReason::kNone) continue;
        if (candidates < kRoom && pmt.streams[i].pid == pmt.pcrPid) clockOnStream = true;
        ++candidates;
    }
    return ReservedPid(pmt.pcrPid) || clockOnStream ? kRoom : kRoom - 1;
}

// Why the stream at `index` is not recorded, whatever the room; `reasons`
// holds the answers for the streams before it.
ServiceStream::DropReason ServiceStream::ReasonToDrop(const Pmt& pmt, std::uint16_t index,
                                                      const DropReason* reasons) const {
    const PmtStream& stream = pmt.streams[index];
    if (!Kept(stream)) return DropReason::kNotProgramme;
    if (ReservedPid(stream.pid)) return DropReason::kReservedPid;
    for (std::uint16_t j = 0; j < index; ++j) {
        if (reasons[j] == DropReason::kNone && pmt.streams[j].pid == stream.pid) {
            return DropReason::kRepeatedPid;
        }
    }
    return DropReason::kNone;
}

// PIDs that cannot carry a stream of their own in the recording: the
// tables below 0x10, the SI the recording carries, the PMT's own PID, and
// the null PID.
bool ServiceStream::ReservedPid(std::uint16_t pid) const {
    return pid < 0x10 || pid == kSdtPid || pid == kEitPid || pid == kTdtPid || pid == pmtPid_ ||
           pid == kNullPid;
}

void ServiceStream::NoteDropped(const PmtStream& stream, DropReason reason) {
    DroppedList& list = droppedNext_;
    ++list.total;
    if (list.count < kMaxDroppedListed)
        list.streams[list.count++] = {stream.pid, stream.streamType, reason};
}

void ServiceStream::Packetise(Table& table, std::uint16_t pid) {
    // The counters are the table's own and go on across versions; they are
    // set as each packet goes out.
    std::uint8_t counter = 0;
    const std::size_t bytes = ts::Packetise(table.section, table.sectionLength, pid, counter, false,
                                            table.packets, sizeof table.packets);
    table.packetCount = static_cast<std::uint32_t>(bytes / kPacketSize);
    table.next = 0;
}

void ServiceStream::OutputTablePacket(Table& table) {
    if (table.packetCount == 0) return;
    std::uint8_t packet[kPacketSize];
    std::memcpy(packet, table.packets + table.next * kPacketSize, kPacketSize);
    SetCounter(packet, table.counter);
    table.counter = static_cast<std::uint8_t>((table.counter + 1) & 0x0F);
    table.next = (table.next + 1) % table.packetCount;
    Output(packet);
}

// A PCR of the service on the PMT PID, in a packet of that PID of its own:
// the source's adaptation field (PCR, discontinuity and the other flags)
// stuffed to the packet's end, without payload, so it repeats the counter of
// the last generated PMT packet.
void ServiceStream::OutputClockPacket(const std::uint8_t* source) {
    std::uint8_t packet[kPacketSize];
    const int fieldLength = source[4];  // HasPcr held it to the packet
    packet[0] = kSync;
    packet[1] = static_cast<std::uint8_t>((pmtPid_ >> 8) & 0x1F);
    packet[2] = static_cast<std::uint8_t>(pmtPid_ & 0xFF);
    packet[3] = static_cast<std::uint8_t>(0x20 | ((pmtOut_.counter + 15) & 0x0F));
    packet[4] = kPacketSize - 5;
    std::memcpy(packet + 5, source + 5, static_cast<std::size_t>(fieldLength));
    std::memset(packet + 5 + fieldLength, 0xFF,
                static_cast<std::size_t>(kPacketSize - 5 - fieldLength));
    Output(packet);
}

void ServiceStream::Output(const std::uint8_t* packet) {
    if (outBytes_ + kPacketSize > kChunk) Flush();
    std::uint8_t* out = out_ + outBytes_;
    std::memcpy(out, packet, kPacketSize);
    const std::uint16_t pid = Pid(packet);
    if (shift_[pid] != 0) {
        out[3] = static_cast<std::uint8_t>((out[3] & 0xF0) | ((out[3] + shift_[pid]) & 0x0F));
    }
    lastOut_[pid] = Counter(out);
    outBytes_ += kPacketSize;
}

void ServiceStream::Flush() {
    if (outBytes_ == 0) return;
    emit_(context_, out_, outBytes_, outAtEntry_ ? kEntryTag : kPacketsTag);
    outBytes_ = 0;
    outAtEntry_ = false;
}

void ServiceStream::EmitTables() {
    // In stream order: the packets before go first, so a part that begins
    // after them begins with these tables.
    Flush();
    std::uint8_t tables[kMaxTables];
    std::uint32_t used = 0;
    const auto append = [&](const std::uint8_t* section, std::uint32_t length) {
        std::memcpy(tables + used, section, length);
        used += length;
    };
    append(patOut_.section, patOut_.sectionLength);
    append(pmtOut_.section, pmtOut_.sectionLength);
    append(sdtOut_.section, sdtOut_.sectionLength);
    append(eitNow_[0], eitNowLength_[0]);
    append(eitNow_[1], eitNowLength_[1]);
    const auto total = static_cast<std::int32_t>(used);
    for (std::int32_t at = 0; at < total; at += kChunk) {
        const std::int32_t length = std::min(kChunk, total - at);
        emit_(context_, tables + at, length, at == 0 ? kTablesTag : kTablesMoreTag);
    }
}

void ServiceStream::Publish() {
    {
        SpinGuard guard(wantedLock_);
        wantedCount_ = 0;
        wanted_[wantedCount_++] = kPatPid;
        if (pmtPid_ != 0) wanted_[wantedCount_++] = pmtPid_;
        for (std::uint32_t i = 0; i < keptCount_ && wantedCount_ + kSiPids < kMaxWanted; ++i) {
            wanted_[wantedCount_++] = keptPids_[i];
        }
        for (const std::uint16_t pid : {kSdtPid, kEitPid, kTdtPid}) wanted_[wantedCount_++] = pid;
        droppedShown_ = droppedNext_;
        ++generation_;
    }
    if (notify_ != nullptr) notify_(context_);
}

std::uint32_t ServiceStream::Wanted(std::uint16_t (&out)[kMaxWanted],
                                    std::uint32_t& generation) const {
    SpinGuard guard(wantedLock_);
    std::memcpy(out, wanted_, wantedCount_ * sizeof wanted_[0]);
    generation = generation_;
    return wantedCount_;
}

void ServiceStream::PublishGuide() {
    ++guideNext_.changes;
    SpinGuard guard(wantedLock_);
    guideShown_ = guideNext_;
}

void ServiceStream::Guide(ServiceGuide& out) const {
    SpinGuard guard(wantedLock_);
    out = guideShown_;
}

ServiceStream::DroppedList ServiceStream::DroppedStreams() const {
    SpinGuard guard(wantedLock_);
    return droppedShown_;
}

void ServiceStream::SetState(State state) {
    state_.store(static_cast<std::uint32_t>(state), std::memory_order_release);
}

void ServiceStream::Drop() {
    // Single writer: a plain load and store; the store is atomic.
    dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace corvanlet::ts
