// ServiceStream: turns what the host delivers for one service (its PAT, its
// PMT and the streams the PMT names) into a transport stream that plays on
// its own: a generated single-program PAT and a PMT that lists only the
// kept streams (video, audio, subtitles, teletext) without CA descriptors,
// each with a fresh CRC and continuity counters of their own.
//
// The source's PAT and PMT packets are never passed on: each one is
// replaced by the next packet of the generated table, so the tables repeat
// as often as the source sends them. The first complete PMT of the service
// emits the whole PAT and PMT at once, and the file begins there; nothing
// before them is passed on; each stream begins with its first packet that
// starts a PES packet (the PCR PID, which may carry none, at once). Packets
// of PIDs that are not kept (a stream
// dropped by a new PMT version whose removal has not reached the host yet)
// are dropped and counted.
//
// Which streams are recorded is decided in one place (ChooseStreams): those
// that are programme content (Kept), on a PID of their own (not below 0x10,
// not the PMT PID, not the null PID, not an earlier stream's), as many as a
// host delivers beside the PAT, the PMT and the PCR PID. The generated PMT
// lists exactly those; the others are noted, with why (DroppedStreams).
//
// A PMT that moves to another PID does not stop the streams: they go on,
// and the tables go out whole once the new PMT is in. A stream the PMT
// drops and adds back goes on from its own last counter, so the module
// makes no counter jump (a gap, which is a loss, keeps its own).
//
// The PCR_PID may be the PMT PID. In place of each source packet there
// whose adaptation field carries a PCR goes a packet of that PID with that
// adaptation field alone, without payload, on the counter of the last PMT
// packet (a packet without payload does not advance it); when the source
// packet carried PMT payload too, the next generated PMT packet follows.
//
// Sync: the packets are taken at each 0x47 where one is due. Where one is
// missing (bytes that are not packets), and at the start and after a gap, a
// 0x47 begins a packet only when the byte 188 on is a 0x47 too; when that
// byte is in a later block, the packet is held until it comes. A candidate
// that fails is passed over, and the search goes on from its next byte,
// the bytes held included.
//
// The service's own SI goes with it. Its SDT actual entry becomes an SDT of
// one section that lists it alone (the SDT's other tables, SDT other and
// BAT, stay out), sent again each time the source sends it, on counters of
// its own. The EIT sections of the service (present/following and
// schedule, actual) are reassembled from PID 0x12 and cut into packets of
// their own again, the others left out: one packet may carry several
// services' sections. The TDT and TOT pass unchanged. Each emitted tables
// block carries the SDT and the latest EIT present/following after the PAT
// and PMT, for a part that begins later; the first PMT's output carries
// those seen before it. What they say (the service's name, the present and
// following events) is published, decoded (Guide).
//
// The PIDs the host must deliver change as the tables come in: PID 0 and
// the SI PIDs first, then the service's PMT PID, then its streams and PCR
// PID, the SI PIDs last. The stream
// publishes that set and calls `notify` when it changes; the owner applies
// it on its own thread (Wanted).
//
// Threads: Start on the control thread before any Feed; Feed on the
// delivery thread (one at a time); Wanted, DroppedStreams and the figures
// on any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "ts/dvb_text.h"
#include "ts/psi_section.h"
#include "ts/psi_tables.h"
#include "ts/si_tables.h"

namespace corvanlet::ts {

// What a ServiceStream remembers from one block to the next, on the thread
// that feeds it: plain data, so that a copy taken after a block lets another
// instance carry on from there (the exit path replays a recording's last
// blocks from the state of its last finished batch).
struct ServiceStreamMemory {
    // The SI PIDs a service recording carries: SDT, EIT, TDT/TOT.
    static constexpr std::uint32_t kSiPids = 3;
    // PAT, PMT, the SI PIDs, and at most this many streams and a PCR PID.
    static constexpr std::uint32_t kMaxWanted = 34 + kSiPids;
    static constexpr std::uint32_t kMaxEitSection = 4096;
    static constexpr std::int32_t kChunk = 5 * kPacketSize;

    // Why a stream of the PMT in effect is not recorded.
    enum class DropReason : std::uint8_t {
        kNone = 0,  // recorded (not in the dropped list)
        // Not picture, sound, subtitles or teletext by its stream_type and,
        // for PES private data (0x06), its descriptors: sections, data
        // carousels, ECM or EMM carriers, metadata, unknown types.
        kNotProgramme = 1,
        // On a PID no stream of its own may have: below 0x10 (the PAT, the
        // CAT and other tables), the PMT PID, or the null PID.
        kReservedPid = 2,
        // On the PID of an earlier stream of the same PMT.
        kRepeatedPid = 3,
        // Past the streams a host delivers: kMaxWanted less the PAT, the PMT
        // and the PCR PID (when no recorded stream carries the clock).
        kNoRoom = 4,
    };
    struct DroppedStream {
        std::uint16_t pid;
        std::uint8_t streamType;
        DropReason reason;
    };
    static constexpr std::uint32_t kMaxDroppedListed = 16;
    struct DroppedList {
        std::uint32_t pmtNumber = 0;  // grows with each PMT taken; 0 before the first
        std::uint32_t total = 0;      // the streams that PMT leaves out
        std::uint32_t count = 0;      // of them in `streams`: the first, in PMT order
        DroppedStream streams[kMaxDroppedListed] = {};
    };

    // kStart: kept from its next packet that starts a PES packet (or a
    // section) on, so the file holds no stream's tail end without its start.
    enum Role : std::uint8_t { kDrop, kStart, kKeep };
    struct Table {
        std::uint8_t section[1024];
        std::uint32_t sectionLength = 0;
        std::uint8_t packets[6 * kPacketSize];
        std::uint32_t packetCount = 0;
        std::uint32_t next = 0;  // the packet that replaces the next source packet
        std::uint8_t counter = 0;
    };

    // Delivery thread only.
    SectionAssembler pat_;
    SectionAssembler pmt_;
    Pat patScratch_;  // the last section parsed, too large for the stack
    Pmt pmtScratch_;
    std::uint16_t transportStreamId_ = 0;
    std::uint16_t pmtPid_ = 0;  // 0: not known
    std::uint8_t patVersionIn_ = 0xFF;
    std::uint8_t patSectionsSeen_[32] = {};  // bits by section_number, this version
    std::uint32_t sourcePmtCrc_ = 0;
    bool havePmt_ = false;
    // The streams pass: a PMT came. A PMT that moves does not stop them; its
    // tables are out only once the new PMT is in.
    bool passing_ = false;
    // Per PID, the counter of its last packet out (kNoCounter: none yet, or
    // a gap since), and what is added to the counters of its packets: a
    // stream the PMT added back goes on from its own last counter, so the
    // file has no counter jump the module made.
    static constexpr std::uint8_t kNoCounter = 0x10;
    std::uint8_t lastOut_[8192] = {};
    std::uint8_t shift_[8192] = {};
    // A recording begins at the video's first entry point (one that begins
    // mid-picture shows garbage): until it comes no stream starts. `entryPid_`
    // is the first kept video stream (0: none, a radio service begins at once).
    std::uint16_t entryPid_ = 0;
    std::uint8_t entryType_ = 0;
    bool awaitingEntry_ = false;
    std::uint32_t awaitedStarts_ = 0;  // PES starts passed over meanwhile
    Table patOut_;
    Table pmtOut_;
    // The service's SI: its SDT entry as a table of its own, and the latest
    // EIT present (0) and following (1) sections, as they came.
    SectionAssembler sdt_;
    SectionAssembler eit_;
    Table sdtOut_;
    std::uint8_t sdtVersion_ = 0;
    std::uint8_t eitCounter_ = 0;
    std::uint8_t eitNow_[2][kMaxEitSection] = {};
    std::uint32_t eitNowLength_[2] = {};
    std::uint8_t patVersion_ = 0;
    std::uint8_t pmtVersion_ = 0;
    std::uint16_t pcrPid_ = 0x1FFF;
    static constexpr std::size_t kPmtStreams = sizeof(Pmt::streams) / sizeof(PmtStream);
    bool listed_[kPmtStreams] = {};  // by the source PMT's stream: in the generated PMT
    DroppedList droppedNext_;        // what Publish shows next
    std::uint16_t keptPids_[kMaxWanted] = {};
    bool keptStreams_[kMaxWanted] = {};  // carries one of the PMT's streams (else PCR only)
    std::uint32_t keptCount_ = 0;
    bool hadTables_ = false;  // tables went out before (a moved PMT is a change)
    Role roles_[8192] = {};
    std::uint8_t partial_[kPacketSize] = {};
    std::int32_t partialBytes_ = 0;
    bool hunting_ = true;  // sync is not known: a sync byte needs the next one to agree
    std::uint8_t out_[kChunk] = {};
    std::int32_t outBytes_ = 0;
    bool outAtEntry_ = false;  // out_ begins at the video's entry point
};

// What a service's SI says, decoded to UTF-8: empty text where none came.
struct ServiceGuide {
    struct Event {
        bool known = false;
        std::uint16_t id = 0;
        std::int64_t start = -1;  // seconds since 1970 UTC; -1: not given
        std::uint32_t duration = 0;
        std::uint8_t runningStatus = 0;
        char title[768] = {};
    };
    bool haveService = false;  // an SDT entry came
    std::uint8_t serviceType = 0;
    bool freeCa = false;
    char name[768] = {};
    char provider[768] = {};
    Event present;
    Event following;
    // Grows with each change of what this says.
    std::uint32_t changes = 0;
    // Any SI section of the service seen at all.
    bool sawSdt = false;
    bool sawEit = false;
};

class ServiceStream : private ServiceStreamMemory {
  public:
    using Memory = ServiceStreamMemory;
    using Memory::DroppedList;
    using Memory::DroppedStream;
    using Memory::DropReason;
    using Memory::kChunk;
    using Memory::kMaxDroppedListed;
    using Memory::kMaxWanted;

    // A block whose bytes go into the output as they are.
    static constexpr std::uint8_t kPacketsTag = 0;
    // The same, beginning with a packet of the video where a decoder can
    // begin (a part of a recording can begin there and play at once).
    static constexpr std::uint8_t kEntryTag = 3;
    // Blocks that carry the tables now in effect for a next part's start:
    // the generated PAT section, then the PMT section, in chunks; the first
    // chunk is tagged kTablesTag, the rest kTablesMoreTag. Not output.
    // The SDT and the EIT present and following sections follow the PMT
    // when the stream has them.
    static constexpr std::uint8_t kTablesTag = 1;
    static constexpr std::uint8_t kTablesMoreTag = 2;
    // The most a tables block carries: PAT, PMT, SDT, two EIT sections.
    static constexpr std::uint32_t kMaxTables = 16 + 1024 + 1024 + 2 * kMaxEitSection;

    enum class State : std::uint32_t {
        kWaitingPat,  // no PAT yet
        kNotFound,    // a whole PAT came without the service
        kWaitingPmt,  // its PMT PID is known, its PMT not yet
        kRecording,   // the tables are out; kept streams pass
    };

    using Emit = void (*)(void* context, const std::uint8_t* data, std::int32_t length,
                          std::uint8_t tag);
    using Notify = void (*)(void* context);

    // Control thread, before the first Feed: forgets everything. `text`
    // says how the SI's text is read.
    void Start(std::uint16_t serviceId, Emit emit, Notify notify, void* context,
               const TextOptions& text = {});
    // Delivery thread: one block, cut anywhere across packets.
    void Feed(const std::uint8_t* data, std::int32_t length);
    // Any thread: blocks were lost here before they reached Feed (refused):
    // a packet or section begun is not finished with unrelated bytes.
    void NoteGap() { gap_.store(true, std::memory_order_release); }  // pairs with Feed's exchange

    // Any thread: the PIDs to have delivered; returns how many were copied
    // into `out` (room for kMaxWanted). `generation` grows with each change.
    std::uint32_t Wanted(std::uint16_t (&out)[kMaxWanted], std::uint32_t& generation) const;
    State CurrentState() const {
        return static_cast<State>(state_.load(std::memory_order_acquire));
    }
    // Any thread: the PMT PID (0 until known), the generated PMT's version
    // and how often the source PMT changed since the first.
    std::uint16_t PmtPid() const { return pmtPidSeen_.load(std::memory_order_relaxed); }
    std::uint32_t PmtChanges() const { return pmtChanges_.load(std::memory_order_relaxed); }
    std::uint8_t PmtVersion() const { return pmtVersionSeen_.load(std::memory_order_relaxed); }
    // Packets not passed on: not kept, or before the tables.
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // Any thread: the streams the PMT in effect leaves out, and why; a
    // reader tells a new PMT's list by its pmtNumber.
    DroppedList DroppedStreams() const;
    // Any thread: what the service's SI says now.
    void Guide(ServiceGuide& out) const;
    // Any thread: the EIT present sections of the service that came, repeats
    // included (a guide that still speaks).
    std::uint32_t PresentSections() const {
        return presentSections_.load(std::memory_order_relaxed);
    }
    // Any thread: the broadcast's clock, from its last TDT or TOT (seconds
    // since 1970 UTC), and how many came (0: none yet). The guide's times
    // are on this clock, which may differ from the PC's.
    std::int64_t StreamTime(std::uint32_t& count) const {
        count = timeCount_.load(std::memory_order_acquire);  // pairs with NoteTime's release
        return streamTime_.load(std::memory_order_relaxed);
    }

    // Feeding thread, between two blocks: what this stream remembers, and
    // taking up what another remembered (Start first, with this instance's
    // own Emit and context). The published figures are not part of it.
    void SaveMemory(Memory& out) const { out = static_cast<const Memory&>(*this); }
    void LoadMemory(const Memory& in) { static_cast<Memory&>(*this) = in; }

  private:
    static void OnPatSection(void* self, const std::uint8_t* section, std::size_t length);
    static void OnPmtSection(void* self, const std::uint8_t* section, std::size_t length);
    void OnPat(const Pat& pat);
    void OnPmt(const std::uint8_t* section, std::size_t length);
    void OnPacket(const std::uint8_t* packet);
    void OnPmtPacket(const std::uint8_t* packet);
    // A TDT or TOT packet: the broadcast's clock, published.
    void NoteTime(const std::uint8_t* packet);
    static void OnSdtSection(void* self, const std::uint8_t* section, std::size_t length);
    static void OnEitSection(void* self, const std::uint8_t* section, std::size_t length);
    void OnSdt(const SdtHeader& header, const SdtService& service);
    void OnEit(const EitHeader& header, const std::uint8_t* section, std::size_t length);
    void OutputSection(const std::uint8_t* section, std::size_t length, std::uint16_t pid,
                       std::uint8_t& counter);
    void OutputSi();
    void TakeServiceText(const SdtService& service);
    void TakeEvent(const std::uint8_t* section, std::size_t length, ServiceGuide::Event& out);
    void PublishGuide();
    // At a PES start of a stream that waits to start: false while the
    // recording still waits for the video's entry point.
    bool MayStart(const std::uint8_t* packet, std::uint16_t pid);
    std::int32_t FinishPartial(const std::uint8_t* data, std::int32_t length);
    void DropFalseStart();
    void TakeWholePackets(const std::uint8_t* data, std::int32_t length);
    void MakePat();
    void MakePmt(const Pmt& pmt);
    void ChooseStreams(const Pmt& pmt);
    std::uint32_t StreamRoom(const Pmt& pmt, DropReason* reasons) const;
    DropReason ReasonToDrop(const Pmt& pmt, std::uint16_t index, const DropReason* reasons) const;
    bool ReservedPid(std::uint16_t pid) const;
    void NoteDropped(const PmtStream& stream, DropReason reason);
    void Packetise(Table& table, std::uint16_t pid);
    void Output(const std::uint8_t* packet);
    void OutputTablePacket(Table& table);
    void OutputClockPacket(const std::uint8_t* source);
    void Flush();
    void EmitTables();
    void Publish();
    void SetState(State state);
    void Drop();

    std::uint16_t serviceId_ = 0;
    TextOptions text_;
    ServiceGuide guideNext_;  // what PublishGuide shows next
    Emit emit_ = nullptr;
    Notify notify_ = nullptr;
    void* context_ = nullptr;

    // Published for other threads. The wanted set and the dropped list are guarded by wantedLock_
    // (taken only when the tables change, and by readers); the rest are
    // single-writer figures, relaxed.
    std::atomic<bool> gap_{false};
    mutable std::atomic<bool> wantedLock_{false};
    std::uint16_t wanted_[kMaxWanted] = {};
    std::uint32_t wantedCount_ = 0;
    std::uint32_t generation_ = 0;
    DroppedList droppedShown_;
    ServiceGuide guideShown_;
    // Release pairs with CurrentState's acquire: the figures are in place.
    std::atomic<std::uint32_t> state_{0};
    std::atomic<std::uint16_t> pmtPidSeen_{0};
    std::atomic<std::uint8_t> pmtVersionSeen_{0};
    std::atomic<std::uint32_t> pmtChanges_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint32_t> presentSections_{0};
    std::atomic<std::int64_t> streamTime_{-1};
    std::atomic<std::uint32_t> timeCount_{0};
};

}  // namespace corvanlet::ts
