#include "capture/file_sink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace corvanlet {

FileSink::FileSink(std::int32_t capacity) : BlockRing(kWriteBatch), ringCapacity_(capacity) {}

FileSink::~FileSink() {
    ForbidLeavingBehind();
    CloseFile();
}

FileSink::Figures FileSink::Read() const {
    Figures figures;
    figures.bytesWritten = BytesWritten();
    figures.refusedBlocks = DroppedBlocks();
    figures.refusedBytes = DroppedBytes();
    figures.failedWrites = FailedWrites();
    figures.failedWriteBytes = FailedWriteBytes();
    figures.unconfirmedBytes = UnconfirmedBytes();
    figures.continuityErrors = continuity_.ContinuityErrors();
    figures.transportErrors = continuity_.TransportErrors();
    figures.takenBytes = TakenBytes();
    figures.packets = continuity_.Packets();
    figures.scrambledPackets = continuity_.Scrambled();
    figures.latestScrambled = continuity_.LatestScrambled();
    figures.sawPackets = continuity_.SawPackets();
    figures.leftBehind = UnconfirmedBlocks() != 0 || UnconfirmedBytes() != 0;
    figures.ended = Ended();
    // Acquire in Ended pairs with EndBy's release: the time is in place.
    if (figures.ended != End::kNone) figures.endedAfterMs = endedAfterMs_;
    figures.parts = Parts();
    figures.peakFillPercent = PeakFillPercent();
    figures.ringBytes = Capacity();
    return figures;
}

namespace {

// Where a path's extension begins (its end when it has none): the last dot
// of its last name.
std::size_t StemLength(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/') name = at + 1;
    }
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? static_cast<std::size_t>(dot - path) : std::strlen(path);
}

// A file being created off the caller's thread (platform::CallWithin): the
// space check, the create and the volume's size limit, each of which can
// hang on a share that stopped answering.
struct Opening {
    char path[FileSink::kPathSize];
    std::uint64_t minFreeBytes = 0;
    platform::File file;
    FileSink::OpenFailure failure = FileSink::OpenFailure::kNoFile;
    std::uint32_t systemError = 0;
    std::uint64_t sizeLimit = 0;
};

void Open(void* argument) {
    auto& opening = *static_cast<Opening*>(argument);
    if (opening.minFreeBytes != 0 && platform::FreeBytesAt(opening.path) < opening.minFreeBytes) {
        opening.failure = FileSink::OpenFailure::kLowSpace;
        return;
    }
    if (!opening.file.Create(opening.path)) {
        opening.systemError = platform::LastErrorCode();
        opening.failure = platform::File::LastCreateFoundFileInUse()
                              ? FileSink::OpenFailure::kInUse
                              : FileSink::OpenFailure::kNoFile;
        return;
    }
    opening.sizeLimit = opening.file.SizeLimit();
    opening.failure = FileSink::OpenFailure::kNone;
}

void ForgetOpening(void* argument) {
    delete static_cast<Opening*>(argument);  // closes a file created too late
}

}  // namespace

void FileSink::Output::Forget() {
    pendingBytes = 0;
    pendingBlocks = 0;
    fileLength = 0;
    part = 1;
    partsBytes = 0;
    tornUntil = 0;
    openingPart = 0;
    splitHelped = true;
    lastDone = 0;
    entries = false;
    batchAtEntry = false;
    asking = false;
    due = false;
    dueAtMs = 0;
}

void FileSink::ResetForOpen(const Limits& limits) {
    continuity_.Reset();
    writer_.Forget();
    exit_.Forget();
    marks_ = 0;
    places_[0] = Place{};
    exitDone_ = false;
    parts_.store(1, std::memory_order_relaxed);
    sizeLimitFound_.store(0, std::memory_order_relaxed);
    end_.store(static_cast<std::uint32_t>(End::kNone), std::memory_order_relaxed);
    endAsked_.store(false, std::memory_order_relaxed);  // before the writer starts
    splitAsked_.store(false, std::memory_order_relaxed);
    askedPart_.store(0, std::memory_order_relaxed);
    closedAtEnd_.store(false, std::memory_order_relaxed);
    endedAfterMs_ = 0;
    limits_ = limits;
    bytesWritten_.store(0, std::memory_order_relaxed);
    takenBytes_.store(0, std::memory_order_relaxed);
    failedWrites_.store(0, std::memory_order_relaxed);
    failedBlocks_.store(0, std::memory_order_relaxed);
    failedBytes_.store(0, std::memory_order_relaxed);
}

FileSink::OpenFailure FileSink::CreateInTime(const char* path) {
    auto* opening = new (std::nothrow) Opening;
    if (opening == nullptr) return OpenFailure::kNoFile;
    std::memcpy(opening->path, path, std::strlen(path) + 1);
    opening->minFreeBytes = limits_.minFreeBytes;
    if (!platform::CallWithin(kStuckMs, &Open, &ForgetOpening, opening)) {
        return OpenFailure::kTimedOut;  // the opening is its thread's now
    }
    const OpenFailure failure = opening->failure;
    openError_ = opening->systemError;
    if (failure == OpenFailure::kNone) {
        file_.Take(opening->file);
        SetPartLimits(limits_.splitBytes, opening->sizeLimit);
    }
    delete opening;
    return failure;
}

bool FileSink::OpenFile(const char* path, std::int32_t capacity, const Limits& limits) {
    CloseFile();
    ResetForOpen(limits);
    openFailure_ = OpenFailure::kNoFile;
    if (path == nullptr || std::strlen(path) >= kPathSize) return false;
    std::memcpy(names_[0].path, path, std::strlen(path) + 1);
    nameCount_.store(1, std::memory_order_relaxed);  // the writer starts after this
    rename_.store(static_cast<std::uint32_t>(Rename::kNone), std::memory_order_relaxed);
    openFailure_ = CreateInTime(path);
    if (openFailure_ != OpenFailure::kNone) return false;
    lastTick_ = platform::TickCountMs();
    elapsedMs_ = 0;
    spaceCheckMs_ = 0;
    // A recording on a smaller ring beats no recording: a fragmented 32-bit
    // address space may not have the size asked for in one piece.
    for (std::int32_t size = capacity > 0 ? capacity : ringCapacity_;;) {
        if (Init(size, kMaxBlock)) return open_ = true;
        if (size <= kSmallestCapacity) break;
        size = size / 2 > kSmallestCapacity ? size / 2 : kSmallestCapacity;
    }
    file_.Close();
    openFailure_ = OpenFailure::kNoRing;
    return false;
}

bool FileSink::CloseFile(platform::Teardown how) {
    if (!open_) return true;
    if (!Close(how)) {  // the writer keeps the file
        open_ = false;
        return false;
    }
    open_ = false;
    // A torn block that could not be cut off and that no later block covered.
    // (At process exit that is the writer's state, which a writer not yet
    // ended may still change: the exit path cut the file itself.)
    Output& o = writer_;
    if (how != platform::Teardown::kProcessExit && o.tornUntil > o.fileLength && file_.IsOpen() &&
        CutFile(o.fileLength)) {
        o.tornUntil = 0;
    }
    file_.Close();
    return true;
}

void FileSink::AssumeLength(std::uint64_t length) {
    writer_.fileLength = length;
    PublishLength(writer_);
}

std::uint32_t FileSink::WriteAll(const std::uint8_t* data, std::uint32_t length,
                                 std::uint64_t offset, bool byWriter) {
    // A short write goes on with the rest; a failing call ends it.
    std::uint32_t done = 0;
    while (done < length && !(byWriter && GivingUp())) {
        std::uint32_t written = 0;
        BeginOutputCall();
        const bool ok = WriteSome(data + done, length - done, offset + done, &written);
        EndOutputCall();
        written = written < length - done ? written : length - done;
        done += written;
        if (!ok || written == 0) break;
    }
    return done;
}

void FileSink::CountFailure(std::uint32_t blocks, std::uint32_t bytes) {
    // Relaxed: counters only.
    failedWrites_.fetch_add(1, std::memory_order_relaxed);
    failedBlocks_.fetch_add(blocks, std::memory_order_relaxed);
    failedBytes_.fetch_add(bytes, std::memory_order_relaxed);
}

void FileSink::ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    if (Ended() != End::kNone) return;  // past the recording's own end: not lost, not written
    CountTaken(length);
    KeepBlock(data, length);
}

void FileSink::CountTaken(std::int32_t length) {
    // Single writer: a plain load and store; the store is atomic.
    takenBytes_.store(
        takenBytes_.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(length),
        std::memory_order_relaxed);
}

void FileSink::KeepBlock(const std::uint8_t* data, std::int32_t length, bool entry) {
    if (Ended() != End::kNone || length <= 0) return;
    continuity_.Check(data, length);
    Keep(writer_, data, length, entry);
}

void FileSink::KeepBlockAtExit(const std::uint8_t* data, std::int32_t length, bool entry) {
    // The stream's counts stop where the writer stopped: a writer not yet
    // ended may still be counting, and the check is its own.
    if (exitDone_) return;
    Keep(exit_, data, length, entry);
}

void FileSink::Keep(Output& o, const std::uint8_t* data, std::int32_t length, bool entry) {
    if (entry) o.entries = true;
    TakeAsk(o);
    // A part to end (asked, or at its size) ends before an entry point: the
    // batch so far goes first, and the next part can begin with this block.
    const bool atEntry = entry && ToEnd(o, o.fileLength + o.pendingBytes);
    // The ring keeps its own batches within bounds; blocks made from them
    // (a service's packets and tables) may come to more.
    if (o.pendingBlocks != 0 &&
        (atEntry || o.pendingBlocks == kMaxBatchBlocks ||
         o.pendingBytes + static_cast<std::uint32_t>(length) > kWriteBatch)) {
        WritePending(o);
        if (Abandoned(o)) return;  // the batch is the exit path's business now
    }
    if (o.pendingBlocks == 0) o.batchAtEntry = entry;
    Gather(o, data, length);
}

void FileSink::Gather(Output& o, const std::uint8_t* data, std::int32_t length) {
    if (Ended() != End::kNone) return;
    // The callers make room first; a batch never runs past its buffers.
    if (o.pendingBlocks == kMaxBatchBlocks ||
        o.pendingBytes + static_cast<std::uint32_t>(length) > kWriteBatch) {
        return;
    }
    // The ring keeps a batch within kWriteBatch bytes and kMaxBatchBlocks blocks.
    std::memcpy(o.batch + o.pendingBytes, data, static_cast<std::size_t>(length));
    o.pendingBytes += static_cast<std::uint32_t>(length);
    o.blockEnds[o.pendingBlocks++] = o.pendingBytes;
    // The first block that passes the size asked for is the last one.
    if (limits_.stopAfterBytes != 0 &&
        o.partsBytes + o.fileLength + o.pendingBytes > limits_.stopAfterBytes) {
        EndBy(End::kSize);
    }
}

void FileSink::EndBy(End why) {
    if (Ended() != End::kNone) return;
    RefuseFurtherBlocks();
    endedAfterMs_ = ElapsedMs();
    // Release pairs with the acquire in Ended: whoever sees the end finds
    // the ring refusing blocks already.
    end_.store(static_cast<std::uint32_t>(why), std::memory_order_release);
}

std::uint64_t FileSink::ElapsedMs() {
    // Called at least every safety timeout, so no step is near the wrap.
    const std::uint32_t now = platform::TickCountMs();
    elapsedMs_ += now - lastTick_;
    lastTick_ = now;
    return elapsedMs_;
}

bool FileSink::RenameTo(std::uint32_t part, const char* to) {
    if (RenameState() == Rename::kAsked || std::strlen(to) >= kPathSize) return false;
    std::memcpy(renameTo_, to, std::strlen(to) + 1);
    renamePart_ = part;
    rename_.store(static_cast<std::uint32_t>(Rename::kAsked), std::memory_order_release);
    return true;
}

void FileSink::RenameIfAsked() {
    // Acquire pairs with RenameTo's release: renameTo_ is whole.
    if (RenameState() != Rename::kAsked) return;
    Rename result = Rename::kFailed;
    const std::uint32_t count = nameCount_.load(std::memory_order_relaxed);  // the writer's own
    PartName& name = names_[count < kMaxNames + 1 ? count : kMaxNames];
    // Only the part being written, whole blocks in it, and a file still open.
    // closedAtEnd_ is the writer's own store (CloseAtEnd): relaxed.
    const bool can = writer_.part == renamePart_ && writer_.openingPart == 0 &&
                     !Abandoned(writer_) && !closedAtEnd_.load(std::memory_order_relaxed) &&
                     count <= kMaxNames;
    // While the file is closed for the move, an exit goes back to the part by
    // name (see RecoverTo), as during a part change.
    if (can) writer_.openingPart = renamePart_;
    char from[kPathSize];
    PartPath(renamePart_, from);
    const std::size_t stem = StemLength(renameTo_);
    for (int n = 1; can && n <= 9 && result == Rename::kFailed; ++n) {
        const int length =
            n == 1 ? std::snprintf(name.path, kPathSize, "%s", renameTo_)
                   : std::snprintf(name.path, kPathSize, "%.*s (%d)%s", static_cast<int>(stem),
                                   renameTo_, n, renameTo_ + stem);
        if (length < 0 || static_cast<std::size_t>(length) >= kPathSize) break;
        BeginOutputCall();  // watched like a write: a share may stop answering here too
        const bool done = !Abandoned(writer_) && file_.RenameTo(from, name.path);
        const bool taken = !done && platform::File::LastRenameFoundNameTaken();
        // Moved but not opened again (another program took it at once): one
        // more try; a file still closed fails the next write, which counts.
        if (done && !file_.IsOpen()) (void)file_.Reopen(name.path);
        EndOutputCall();
        if (done) result = Rename::kDone;
        if (!done && !taken) break;  // only a name taken is worth another number
    }
    if (can) writer_.openingPart = 0;
    if (result == Rename::kDone) {
        name.firstPart = renamePart_;
        name.ownNumbers = renamePart_ > 1;
        // The exit path, should the process end now, names parts after this.
        nameCount_.store(count + 1, std::memory_order_release);  // pairs with PartPath
    }
    rename_.store(static_cast<std::uint32_t>(result), std::memory_order_release);
}

void FileSink::Tick() {
    RenameIfAsked();
    if (GivingUp()) return;  // a rename that hung came back to a writer given up on
    if (Ended() != End::kNone) return;
    const std::uint64_t elapsed = ElapsedMs();
    if (limits_.stopAfterMs != 0 && elapsed >= limits_.stopAfterMs) EndBy(End::kTime);
    // Acquire pairs with EndNow's release.
    if (endAsked_.load(std::memory_order_acquire)) EndBy(End::kProgramme);
    if (limits_.minFreeBytes != 0 && elapsed - spaceCheckMs_ >= limits_.spaceCheckMs) {
        spaceCheckMs_ = elapsed;
        // Watched like a write: a share that stopped answering hangs this too.
        BeginOutputCall();
        const std::uint64_t free = FreeBytes();
        EndOutputCall();
        if (free < limits_.minFreeBytes) EndBy(End::kLowSpace);
    }
    if (Ended() != End::kNone) CloseAtEnd(writer_);
}

void FileSink::CloseAtEnd(Output& o) {
    if (closedAtEnd_.load(std::memory_order_relaxed) || Abandoned(o)) return;
    // A torn block that could not be cut off before goes now, if it can.
    if (o.tornUntil > o.fileLength && Cut(o, o.fileLength)) o.tornUntil = 0;
    if (o.tornUntil > o.fileLength) return;  // the owner's close tries once more
    file_.Close();
    closedAtEnd_.store(true, std::memory_order_release);  // pairs with the exit path's acquire
}

void FileSink::PublishLength(const Output& o) {
    if (Abandoned(o)) return;  // the exit path publishes from here on
    // Single writer: a plain store is enough, and it is atomic.
    bytesWritten_.store(o.partsBytes + o.fileLength, std::memory_order_relaxed);
}

void FileSink::PartPath(std::uint32_t part, char (&path)[kPathSize]) const {
    // Acquire pairs with the writer's release: the entries below are whole.
    const std::uint32_t count = nameCount_.load(std::memory_order_acquire);
    const PartName* name = &names_[0];
    for (std::uint32_t i = 1; i < count; ++i) {
        if (names_[i].firstPart <= part) name = &names_[i];
    }
    const char* base = name->path;
    const int stem = static_cast<int>(StemLength(base));
    if (part <= name->firstPart) {
        std::memcpy(path, base, sizeof path);
    } else if (name->ownNumbers) {
        // "Film.ts" gives "Film - part 2.ts": the programme's own parts.
        std::snprintf(path, sizeof path, "%.*s - part %u%s", stem, base,
                      static_cast<unsigned>(part - name->firstPart + 1), base + stem);
    } else {
        // "name.dat" gives "name-2.dat"; a name without an extension, "name-2".
        std::snprintf(path, sizeof path, "%.*s-%u%s", stem, base, static_cast<unsigned>(part),
                      base + stem);
    }
}

bool FileSink::NextPart(Output& o, std::uint32_t from) {
    char path[kPathSize];
    PartPath(o.part + 1, path);
    // A torn block this part could not be cut free of goes first, if it
    // can: the part is not written again.
    if (o.tornUntil > o.fileLength && Cut(o, o.fileLength)) o.tornUntil = 0;
    // While this is set the handle may be either part's: an exit that finds
    // it set goes back to its part by name (see RecoverTo).
    o.openingPart = o.part + 1;
    AtPartChange(PartChange::kOpening);
    BeginOutputCall();
    const bool replaced = !Abandoned(o) && file_.Replace(path);
    EndOutputCall();
    if (replaced) {
        AtPartChange(PartChange::kOpened);
        o.partsBytes += o.fileLength;
        o.fileLength = 0;
        o.tornUntil = 0;
        o.due = false;
        ++o.part;
        parts_.store(o.part, std::memory_order_relaxed);
        AtPartChange(PartChange::kCounted);
        std::uint8_t preamble[kMaxPreamble];
        const std::uint32_t length =
            PartPreamble(preamble, PartStart{o.byWriter, o.batch, from, o.pendingBytes});
        // A preamble that did not go in whole is written over by the batch.
        if (length != 0 && WriteAll(preamble, length, 0, o.byWriter) == length) {
            o.fileLength = length;
        }
    }
    o.openingPart = 0;
    return replaced;
}

bool FileSink::BackToPart(Output& o, std::uint64_t length, std::uint64_t tornUntil) {
    char fresh[kPathSize];
    char previous[kPathSize];
    PartPath(o.part, fresh);
    PartPath(o.part - 1, previous);
    o.openingPart = o.part - 1;  // the handle may be either part's (see RecoverTo)
    platform::File reopened;
    BeginOutputCall();
    const bool back = !Abandoned(o) && reopened.Reopen(previous);
    if (back) {
        file_.Take(reopened);
        (void)platform::RemoveFile(fresh);
    }
    EndOutputCall();
    if (back) {
        --o.part;
        parts_.store(o.part, std::memory_order_relaxed);
        o.partsBytes -= length;
        o.fileLength = length;
        o.tornUntil = tornUntil;
    }
    o.openingPart = 0;
    return back;
}

bool FileSink::Cut(const Output& o, std::uint64_t length) {
    // A cut can hang on a disk that stopped answering, as a write can: Close
    // watches it the same way.
    if (Abandoned(o)) return false;
    BeginOutputCall();
    const bool cut = CutFile(length);
    EndOutputCall();
    return cut;
}

void FileSink::EndBatch() {
    WritePending(writer_);
}

void FileSink::WritePending(Output& o) {
    if (o.pendingBlocks == 0 || Abandoned(o)) return;
    // A batch goes wholly into one part: a next one first where it would
    // pass the part's limit, or where the owner asked for one (the writer's
    // batches only: the exit path keeps the part it finds).
    // Acquire pairs with SplitNow's release.
    TakeAsk(o);
    if (SplitBefore(o)) {
        if (NextPart(o, 0)) {
            AnswerAsk(o);
        } else {
            // An ask the writer could not follow begins none; a size the
            // part has is found again, and waits again.
            o.asking = false;
            o.due = false;
        }
    }
    const std::uint64_t before = o.fileLength;
    const bool written = WriteBatch(o, 0);
    // Left behind, or the process exiting under the writer: what is not
    // confirmed is someone else's now; no more calls.
    if (Abandoned(o)) return;
    if (written) {
        o.splitHelped = true;
    } else if (before != 0 && o.splitHelped) {
        GoOnInNextPart(o, before);
    } else {
        CountBatchFailure(o, before, 0, o.lastDone);
    }
    if (Abandoned(o)) return;
    PublishLength(o);
    o.pendingBytes = 0;
    o.pendingBlocks = 0;
    o.batchAtEntry = false;
    AfterBatchWritten(o.byWriter);
    if (Ended() != End::kNone) CloseAtEnd(o);
}

void FileSink::SetPartLimits(std::uint64_t splitBytes, std::uint64_t systemLimit) {
    systemLimit_ = systemLimit;
    // Waiting for an entry point must not run into the file system's limit.
    const std::uint64_t room =
        systemLimit > 2 * kEntryMargin ? systemLimit - kEntryMargin : systemLimit / 2;
    entrySize_ = systemLimit == 0 || (splitBytes != 0 && splitBytes < room) ? splitBytes : room;
}

void FileSink::TakeAsk(Output& o) {
    // Acquire pairs with SplitNow's release. An ask while the part holds
    // nothing yet begins none.
    if (o.byWriter && splitAsked_.load(std::memory_order_relaxed) &&
        splitAsked_.exchange(false, std::memory_order_acquire) && o.fileLength != 0) {
        o.asking = true;
    }
}

void FileSink::AnswerAsk(Output& o) {
    if (!o.asking) return;
    o.asking = false;
    askedPart_.store(o.part, std::memory_order_release);  // pairs with AskedPart
}

bool FileSink::ToEnd(const Output& o, std::uint64_t length) const {
    return o.asking || (entrySize_ != 0 && length >= entrySize_);
}

bool FileSink::SplitBefore(Output& o) {
    if (o.fileLength == 0) return false;  // a part holds something first
    const std::uint64_t length = o.fileLength + o.pendingBytes;
    // At exit, bytes after the part's end that could not be cut off (the
    // dead writer's, its blocks again) are written over first: a next part
    // now would leave them in this one twice. A file system's limit then
    // refuses the write, and the rest goes on in a next part from there.
    if (!o.byWriter && o.tornUntil > o.fileLength) return false;
    if (systemLimit_ != 0 && length > systemLimit_) return true;
    if (!o.entries) return o.asking || (limits_.splitBytes != 0 && length > limits_.splitBytes);
    // Blocks that mark their entry points: a part to end goes on to the next
    // one, for a bounded time.
    if (!ToEnd(o, o.fileLength)) return false;
    const std::uint32_t now = platform::TickCountMs();
    if (!o.due) {
        o.due = true;
        o.dueAtMs = now;
    }
    // The exit path, whose clock says nothing of the stream (it replays at
    // once what came while the writer was gone), waits for the point: what
    // it replays is at most the ring, far less than kEntryMargin.
    return o.batchAtEntry || (o.byWriter && now - o.dueAtMs >= EntryWaitMs());
}

void FileSink::GoOnInNextPart(Output& o, std::uint64_t before) {
    // File systems tell of a file too large in many ways (or as a full disk
    // with room on it), so the error code decides nothing: a next part that
    // takes the bytes shows the old one was at a limit. The old part ends
    // with the whole blocks of the batch that reached it; a torn one that
    // cannot be cut off stays, and the next part goes on after it, so the
    // parts joined hold every byte once.
    const std::uint32_t done = o.lastDone;
    const std::uint32_t whole = WholeBlocksIn(o, done);
    const std::uint32_t kept = whole == done || Cut(o, before + whole) ? whole : done;
    const std::uint64_t limited = before + kept;
    o.fileLength = limited;
    const std::uint64_t tornUntil = o.tornUntil;
    if (NextPart(o, kept)) {
        const std::uint64_t at = o.fileLength;  // after the part's preamble
        if (WriteBatch(o, kept)) {
            o.splitHelped = true;
            AnswerAsk(o);  // a next part is what the owner asked for
            if (sizeLimitFound_.load(std::memory_order_relaxed) == 0) {
                sizeLimitFound_.store(limited, std::memory_order_relaxed);  // read by the log
            }
            return;
        }
        if (Abandoned(o)) return;
        // The fresh part refused too: no limit, a failed write. The fresh
        // part goes, and no other is tried until a write works again.
        if (!BackToPart(o, limited, tornUntil)) {
            o.splitHelped = false;
            CountBatchFailure(o, at, kept, o.lastDone);
            return;
        }
    }
    o.splitHelped = false;
    o.fileLength = before;
    CountBatchFailure(o, before, 0, kept);
}

bool FileSink::WriteBatch(Output& o, std::uint32_t from) {
    const std::uint32_t done =
        WriteAll(o.batch + from, o.pendingBytes - from, o.fileLength, o.byWriter);
    // A writer given up on touches the place no more: it is someone else's.
    if (Abandoned(o)) return false;
    o.lastDone = from + done;
    if (o.lastDone != o.pendingBytes) return false;
    o.fileLength += o.pendingBytes - from;
    return true;
}

std::uint32_t FileSink::WholeBlocksIn(const Output& o, std::uint32_t bytes) {
    std::uint32_t whole = 0;
    for (std::uint32_t block = 0; block < o.pendingBlocks && o.blockEnds[block] <= bytes; ++block) {
        whole = o.blockEnds[block];
    }
    return whole;
}

void FileSink::CountBatchFailure(Output& o, std::uint64_t at, std::uint32_t from,
                                 std::uint32_t done) {
    // Keep the part a sequence of whole blocks: cut a torn one back off.
    // Where that fails, the next batch overwrites it (writes are
    // positional), and the close tries again.
    done = std::max(done, from);
    std::uint32_t kept = 0;
    std::uint32_t whole = 0;
    while (kept < o.pendingBlocks && o.blockEnds[kept] <= done) whole = o.blockEnds[kept++];
    // A block begun in the part before and torn here is lost whole.
    const std::uint32_t stays = whole > from ? whole - from : 0;
    if (done != from + stays && !Cut(o, at + stays)) {
        o.tornUntil = std::max(o.tornUntil, at + (done - from));
    }
    CountFailure(o.pendingBlocks - kept, o.pendingBytes - std::max(whole, from));
    o.fileLength = at + stays;
}

std::uint64_t FileSink::Mark() {
    // The writer's whole place, kept beside the ring's commit point: the
    // slot not in use is filled, and the sequence number names it.
    const Output& o = writer_;
    const std::uint64_t seq = marks_ + 1;
    places_[seq & 1] = Place{o.part,      o.fileLength,  o.partsBytes,
                             o.tornUntil, o.splitHelped, Ended() == End::kSize,
                             o.entries,   o.due,         o.dueAtMs};
    marks_ = seq;
    return seq;
}

void FileSink::RecoverTo(std::uint64_t mark) {
    // At process exit, from the killed writer's last finished batch: its
    // place then, the ring's blocks from there on written again by the
    // writer's own batch code, in the exit path's own batch. A recording
    // that ended at a limit and closed its file has nothing left.
    exitDone_ = closedAtEnd_.load(std::memory_order_acquire);  // pairs with CloseAtEnd
    if (exitDone_) return;
    const Place place = places_[mark & 1];
    const std::uint32_t writerPart = writer_.part;
    if (writer_.openingPart != 0 || writerPart != place.part) {
        // The writer had gone on into another part since, or was changing
        // parts: the handle may be either part's. Back to the part of the
        // commit by its name; the later ones go, and the blocks make them again.
        file_.Close();
        for (std::uint32_t later = place.part + 1; later <= std::max(writerPart, place.part) + 1;
             ++later) {
            char path[kPathSize];
            PartPath(later, path);
            (void)platform::RemoveFile(path);
        }
        char path[kPathSize];
        PartPath(place.part, path);
        exitDone_ = !file_.Reopen(path);
        // A rename moved it and was killed before it could say so: the part
        // has the name being given (a name cut short names no file).
        const std::uint32_t names =
            nameCount_.load(std::memory_order_acquire);  // the writer's release
        if (exitDone_ && names <= kMaxNames) exitDone_ = !file_.Reopen(names_[names].path);
    }
    Output& o = exit_;
    o.Forget();
    o.part = place.part;
    parts_.store(o.part, std::memory_order_relaxed);
    o.fileLength = place.length;
    o.partsBytes = place.partsBytes;
    o.tornUntil = place.tornUntil;
    o.splitHelped = place.splitHelped;
    o.entries = place.entries;
    o.due = place.due;
    o.dueAtMs = place.dueAtMs;
    // A size limit the killed writer found after that batch is found again,
    // at the same block, as the blocks are written again.
    if (Ended() == End::kSize && !place.endedBySize) {
        end_.store(static_cast<std::uint32_t>(End::kNone), std::memory_order_relaxed);
    }
    // Whatever the killed writer wrote after that batch goes; a file that
    // cannot be cut (a device) keeps what it has, and is written over
    // before a next part begins (see SplitBefore).
    std::uint64_t size = 0;
    if (!exitDone_ && !CutFile(o.fileLength)) {
        o.tornUntil = !FileSize(&size) ? UINT64_MAX : size > o.fileLength ? size : 0;
    } else {
        o.tornUntil = 0;  // cut: nothing after the part's length
    }
    PublishLength(o);
}

void FileSink::ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    KeepBlockAtExit(data, length, false);
}

void FileSink::EndAtExit() {
    if (exitDone_) return;
    Output& o = exit_;
    WritePending(o);
    if (o.tornUntil > o.fileLength && CutFile(o.fileLength)) o.tornUntil = 0;
}

}  // namespace corvanlet
