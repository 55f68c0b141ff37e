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

void FileSink::ResetForOpen(const Limits& limits) {
    continuity_.Reset();
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
    fileLength_ = 0;
    tornUntil_ = 0;
    part_ = 1;
    openingPart_ = 0;
    marks_ = 0;
    places_[0] = Place{};
    exitDone_ = false;
    batch_ = pending_;
    parts_.store(1, std::memory_order_relaxed);
    partsBytes_ = 0;
    splitHelped_ = true;
    end_.store(static_cast<std::uint32_t>(End::kNone), std::memory_order_relaxed);
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
        partLimit_ = limits_.splitBytes;
        const std::uint64_t systemLimit = opening->sizeLimit;
        if (systemLimit != 0 && (partLimit_ == 0 || systemLimit < partLimit_)) {
            partLimit_ = systemLimit;
        }
    }
    delete opening;
    return failure;
}

bool FileSink::OpenFile(const char* path, std::int32_t capacity, const Limits& limits) {
    CloseFile();
    ResetForOpen(limits);
    openFailure_ = OpenFailure::kNoFile;
    if (path == nullptr || std::strlen(path) >= sizeof path_) return false;
    std::memcpy(path_, path, std::strlen(path) + 1);
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
    if (how != platform::Teardown::kProcessExit && tornUntil_ > fileLength_ && file_.IsOpen() &&
        CutFile(fileLength_)) {
        tornUntil_ = 0;
    }
    file_.Close();
    return true;
}

void FileSink::AssumeLength(std::uint64_t length) {
    fileLength_ = length;
    PublishLength();
}

std::uint32_t FileSink::WriteAll(const std::uint8_t* data, std::uint32_t length,
                                 std::uint64_t offset, bool byWriter) {
    // A short write goes on with the rest; a failing call ends it.
    std::uint32_t done = 0;
    while (done < length && !(byWriter && GivingUp())) {
        std::uint32_t written = 0;
        BeginOutputCall();
        const bool ok = WriteSome(data + done, length - done, offset + done, &written);
        if (!ok) refusedForSize_ = WriteRefusedForSize();
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
    // Single writer: a plain load and store; the store is atomic.
    takenBytes_.store(
        takenBytes_.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(length),
        std::memory_order_relaxed);
    continuity_.Check(data, length);
    Gather(data, length);
}

void FileSink::Gather(const std::uint8_t* data, std::int32_t length) {
    if (Ended() != End::kNone) return;
    // The ring keeps a batch within kWriteBatch bytes and kMaxBatchBlocks blocks.
    std::memcpy(batch_ + pendingBytes_, data, static_cast<std::size_t>(length));
    pendingBytes_ += static_cast<std::uint32_t>(length);
    blockEnds_[pendingBlocks_++] = pendingBytes_;
    // The first block that passes the size asked for is the last one.
    if (limits_.stopAfterBytes != 0 &&
        partsBytes_ + fileLength_ + pendingBytes_ > limits_.stopAfterBytes) {
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

void FileSink::Tick() {
    if (Ended() != End::kNone) return;
    const std::uint64_t elapsed = ElapsedMs();
    if (limits_.stopAfterMs != 0 && elapsed >= limits_.stopAfterMs) EndBy(End::kTime);
    if (limits_.minFreeBytes != 0 && elapsed - spaceCheckMs_ >= limits_.spaceCheckMs) {
        spaceCheckMs_ = elapsed;
        // Watched like a write: a share that stopped answering hangs this too.
        BeginOutputCall();
        const std::uint64_t free = FreeBytes();
        EndOutputCall();
        if (free < limits_.minFreeBytes) EndBy(End::kLowSpace);
    }
    if (Ended() != End::kNone) CloseAtEnd();
}

void FileSink::CloseAtEnd() {
    if (closedAtEnd_.load(std::memory_order_relaxed)) return;
    // A torn block that could not be cut off before goes now, if it can.
    if (tornUntil_ > fileLength_ && Cut(fileLength_)) tornUntil_ = 0;
    if (tornUntil_ > fileLength_) return;  // the owner's close tries once more
    file_.Close();
    closedAtEnd_.store(true, std::memory_order_release);  // pairs with the exit path's acquire
}

void FileSink::PublishLength() {
    // Single writer: a plain store is enough, and it is atomic.
    bytesWritten_.store(partsBytes_ + fileLength_, std::memory_order_relaxed);
}

void FileSink::PartPath(std::uint32_t part, char (&path)[kPathSize]) const {
    // "name.dat" gives "name-2.dat"; a name without an extension, "name-2".
    if (part <= 1) {
        std::memcpy(path, path_, sizeof path);
        return;
    }
    const char* name = path_;
    for (const char* at = path_; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/') name = at + 1;
    }
    const char* dot = std::strrchr(name, '.');
    const std::size_t stem =
        dot != nullptr ? static_cast<std::size_t>(dot - path_) : std::strlen(path_);
    std::snprintf(path, sizeof path, "%.*s-%u%s", static_cast<int>(stem), path_,
                  static_cast<unsigned>(part), path_ + stem);
}

bool FileSink::NextPart(bool byWriter) {
    char path[kPathSize];
    PartPath(part_ + 1, path);
    // While this is set the handle may be either part's: an exit that finds
    // it set goes back to its part by name (see RecoverTo).
    openingPart_ = part_ + 1;
    AtPartChange(PartChange::kOpening);
    BeginOutputCall();
    const bool replaced = file_.Replace(path);
    EndOutputCall();
    if (replaced) {
        AtPartChange(PartChange::kOpened);
        partsBytes_ += fileLength_;
        fileLength_ = 0;
        tornUntil_ = 0;
        ++part_;
        parts_.store(part_, std::memory_order_relaxed);
        AtPartChange(PartChange::kCounted);
        std::uint8_t preamble[kMaxPreamble];
        const std::uint32_t length = PartPreamble(preamble);
        // A preamble that did not go in whole is written over by the batch.
        if (length != 0 && WriteAll(preamble, length, 0, byWriter) == length) fileLength_ = length;
    }
    openingPart_ = 0;
    return replaced;
}

bool FileSink::Cut(std::uint64_t length) {
    // A cut can hang on a disk that stopped answering, as a write can: Close
    // watches it the same way.
    BeginOutputCall();
    const bool cut = CutFile(length);
    EndOutputCall();
    return cut;
}

void FileSink::EndBatch() {
    WritePending(true);
}

void FileSink::WritePending(bool byWriter) {
    if (pendingBlocks_ == 0 || (byWriter && GivingUp())) return;
    // A batch goes wholly into one part: a next one first where it would
    // pass the part's limit.
    if (partLimit_ != 0 && fileLength_ != 0 && fileLength_ + pendingBytes_ > partLimit_) {
        (void)NextPart(byWriter);
    }
    const std::uint64_t before = fileLength_;
    const bool written = WriteBatch(0, byWriter);
    // Left behind, or the process exiting under the writer: what is not
    // confirmed is someone else's now; no more calls.
    if (byWriter && GivingUp()) return;
    if (written) {
        splitHelped_ = true;
    } else if (before != 0 && splitHelped_ && refusedForSize_) {
        // The file system will not grow this part: it ends with the whole
        // blocks of the batch that reached it, and the rest goes into the
        // next part. A torn block that cannot be cut off stays too, and the
        // next part goes on after it, so the parts joined still hold every
        // byte once. Any other failure is a failed write, counted as one.
        const std::uint32_t whole = WholeBlocksIn(lastDone_);
        const std::uint32_t kept = whole == lastDone_ || Cut(before + whole) ? whole : lastDone_;
        fileLength_ = before + kept;
        splitHelped_ = NextPart(byWriter) && WriteBatch(kept, byWriter);
        if (!splitHelped_) CountBatchFailure(fileLength_ == before + kept ? 0 : kept);
    } else {
        CountBatchFailure(0);
    }
    PublishLength();
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
    if (Ended() != End::kNone) CloseAtEnd();
}

bool FileSink::WriteBatch(std::uint32_t from, bool byWriter) {
    const std::uint32_t done = WriteAll(batch_ + from, pendingBytes_ - from, fileLength_, byWriter);
    // A writer given up on touches the place no more: it is someone else's.
    if (byWriter && GivingUp()) return false;
    lastDone_ = from + done;
    if (lastDone_ != pendingBytes_) return false;
    fileLength_ += pendingBytes_ - from;
    return true;
}

std::uint32_t FileSink::WholeBlocksIn(std::uint32_t bytes) const {
    std::uint32_t whole = 0;
    for (std::uint32_t block = 0; block < pendingBlocks_ && blockEnds_[block] <= bytes; ++block) {
        whole = blockEnds_[block];
    }
    return whole;
}

void FileSink::CountBatchFailure(std::uint32_t from) {
    // This part holds the batch's bytes [from, done) after fileLength_.
    // Keep the file a sequence of whole blocks: cut a torn one back off.
    // Where that fails, the next batch overwrites it (writes are
    // positional), and the close tries again.
    const std::uint32_t done = std::max(lastDone_, from);
    std::uint32_t kept = 0;
    std::uint32_t whole = 0;
    while (kept < pendingBlocks_ && blockEnds_[kept] <= done) whole = blockEnds_[kept++];
    // A block begun in the part before and torn here is lost whole.
    const std::uint32_t stays = whole > from ? whole - from : 0;
    if (done != from + stays && !Cut(fileLength_ + stays)) {
        tornUntil_ = std::max(tornUntil_, fileLength_ + (done - from));
    }
    CountFailure(pendingBlocks_ - kept, pendingBytes_ - std::max(whole, from));
    fileLength_ += stays;
}

std::uint64_t FileSink::Mark() {
    // The writer's whole place, kept beside the ring's commit point: the
    // slot not in use is filled, and the sequence number names it.
    const std::uint64_t seq = marks_ + 1;
    places_[seq & 1] =
        Place{part_, fileLength_, partsBytes_, tornUntil_, splitHelped_, Ended() == End::kSize};
    marks_ = seq;
    return seq;
}

void FileSink::RecoverTo(std::uint64_t mark) {
    // At process exit, from the killed writer's last finished batch: its
    // place then, the ring's blocks from there on written again by the
    // writer's own batch code. A recording that ended at a limit and
    // closed its file has nothing left.
    exitDone_ = closedAtEnd_.load(std::memory_order_acquire);  // pairs with CloseAtEnd
    if (exitDone_) return;
    const Place place = places_[mark & 1];
    if (openingPart_ != 0 || part_ != place.part) {
        // The writer had gone on into a next part since, or was opening one:
        // the handle may be either part's. Back to the part of the commit by
        // its name; the later ones go, and the blocks make them again.
        file_.Close();
        for (std::uint32_t later = place.part + 1; later <= part_ + 1; ++later) {
            char path[kPathSize];
            PartPath(later, path);
            (void)platform::RemoveFile(path);
        }
        char path[kPathSize];
        PartPath(place.part, path);
        exitDone_ = !file_.Reopen(path);
    }
    part_ = place.part;
    parts_.store(part_, std::memory_order_relaxed);
    fileLength_ = place.length;
    partsBytes_ = place.partsBytes;
    tornUntil_ = place.tornUntil;
    splitHelped_ = place.splitHelped;
    // A size limit the killed writer found after that batch is found again,
    // at the same block, as the blocks are written again.
    if (Ended() == End::kSize && !place.endedBySize) {
        end_.store(static_cast<std::uint32_t>(End::kNone), std::memory_order_relaxed);
    }
    openingPart_ = 0;
    batch_ = exitPending_;
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
    // Whatever the killed writer wrote after that batch goes; a file that
    // cannot be cut (a device) keeps what it has, and is written over.
    if (!exitDone_ && !CutFile(fileLength_)) tornUntil_ = UINT64_MAX;
    PublishLength();
}

void FileSink::ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    // The stream's counts stop where the writer stopped: a writer not yet
    // ended may still be counting, and the check is its own.
    if (exitDone_) return;
    if (pendingBlocks_ == kMaxBatchBlocks ||
        pendingBytes_ + static_cast<std::uint32_t>(length) > kWriteBatch) {
        WritePending(false);
    }
    Gather(data, length);
}

void FileSink::EndAtExit() {
    if (exitDone_) return;
    WritePending(false);
    if (tornUntil_ > fileLength_ && CutFile(fileLength_)) tornUntil_ = 0;
}

}  // namespace corvanlet
