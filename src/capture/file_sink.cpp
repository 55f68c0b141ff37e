#include "capture/file_sink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

bool FileSink::OpenFile(const char* path, std::int32_t capacity, const Limits& limits) {
    CloseFile();
    continuity_.Reset();
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
    fileLength_ = 0;
    tornUntil_ = 0;
    part_ = 1;
    parts_.store(1, std::memory_order_relaxed);
    partsBytes_ = 0;
    splitHelped_ = true;
    end_.store(static_cast<std::uint32_t>(End::kNone), std::memory_order_relaxed);
    closedAtEnd_.store(false, std::memory_order_relaxed);
    endedAfterMs_ = 0;
    limits_ = limits;
    if (path == nullptr || std::strlen(path) >= sizeof path_) return false;
    std::memcpy(path_, path, std::strlen(path) + 1);
    if (limits_.minFreeBytes != 0 && platform::FreeBytesAt(path) < limits_.minFreeBytes) {
        return false;
    }
    bytesWritten_.store(0, std::memory_order_relaxed);
    failedWrites_.store(0, std::memory_order_relaxed);
    failedBlocks_.store(0, std::memory_order_relaxed);
    failedBytes_.store(0, std::memory_order_relaxed);
    openFoundFileInUse_ = false;
    if (!file_.Create(path)) {
        openFoundFileInUse_ = platform::File::LastCreateFoundFileInUse();
        return false;
    }
    const std::uint64_t systemLimit = file_.SizeLimit();
    partLimit_ = limits_.splitBytes;
    if (systemLimit != 0 && (partLimit_ == 0 || systemLimit < partLimit_)) partLimit_ = systemLimit;
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

std::uint64_t FileSink::Mark() const {
    return (std::uint64_t{part_} << kPartShift) | fileLength_;
}

std::uint32_t FileSink::WriteAll(const std::uint8_t* data, std::uint32_t length,
                                 std::uint64_t offset) {
    // A short write goes on with the rest; a failing call ends it.
    std::uint32_t done = 0;
    while (done < length && !LeftBehind()) {
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
    continuity_.Check(data, length);
    // The ring keeps a batch within kWriteBatch bytes and kMaxBatchBlocks blocks.
    std::memcpy(pending_ + pendingBytes_, data, static_cast<std::size_t>(length));
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
    if (limits_.minFreeBytes != 0 && elapsed - spaceCheckMs_ >= kSpaceCheckMs) {
        spaceCheckMs_ = elapsed;
        if (platform::FreeBytesAt(path_) < limits_.minFreeBytes) EndBy(End::kLowSpace);
    }
    if (Ended() != End::kNone) CloseAtEnd();
}

void FileSink::CloseAtEnd() {
    if (closedAtEnd_.load(std::memory_order_relaxed)) return;
    // A torn block that could not be cut off before goes now, if it can.
    if (tornUntil_ > fileLength_ && CutFile(fileLength_)) tornUntil_ = 0;
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

bool FileSink::NextPart() {
    char path[kPathSize];
    PartPath(part_ + 1, path);
    BeginOutputCall();
    const bool replaced = file_.Replace(path);
    EndOutputCall();
    if (!replaced) return false;
    partsBytes_ += fileLength_;
    fileLength_ = 0;
    tornUntil_ = 0;
    ++part_;
    parts_.store(part_, std::memory_order_relaxed);
    return true;
}

void FileSink::EndBatch() {
    if (pendingBlocks_ == 0) return;
    // A batch goes wholly into one part: a next one first where it would
    // pass the part's limit.
    if (partLimit_ != 0 && fileLength_ != 0 && fileLength_ + pendingBytes_ > partLimit_) {
        (void)NextPart();
    }
    const std::uint64_t before = fileLength_;
    const bool written = WriteBatch();
    // Left behind: what is not confirmed was counted by Close; no more calls.
    if (LeftBehind()) return;
    // Only a size limit starts a next part; any other failure is a failed
    // write, counted as one.
    if (!written && before != 0 && splitHelped_ && refusedForSize_) {
        // Refused in a part that holds something: perhaps a size limit the
        // system did not tell of. This part ends with its last batch, and
        // the batch goes into the next part.
        (void)CutFile(before);
        lastDone_ = 0;
        splitHelped_ = NextPart() && WriteBatch();
        if (!splitHelped_) CountBatchFailure();
    } else if (fileLength_ == before + pendingBytes_) {
        splitHelped_ = true;
    } else {
        CountBatchFailure();
    }
    PublishLength();
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
    if (Ended() != End::kNone) CloseAtEnd();
}

bool FileSink::WriteBatch() {
    lastDone_ = WriteAll(pending_, pendingBytes_, fileLength_);
    if (lastDone_ == pendingBytes_) {
        fileLength_ += pendingBytes_;
        return true;
    }
    return false;
}

void FileSink::CountBatchFailure() {
    const std::uint32_t done = lastDone_;
    std::uint32_t whole = done;
    if (done < pendingBytes_) {
        // Keep the file a sequence of whole blocks: cut a torn one back off.
        // Where that fails, the next batch overwrites it (writes are
        // positional), and the close tries again.
        std::uint32_t kept = 0;
        whole = 0;
        while (kept < pendingBlocks_ && blockEnds_[kept] <= done) whole = blockEnds_[kept++];
        if (whole != done && !CutFile(fileLength_ + whole)) {
            tornUntil_ = std::max(tornUntil_, fileLength_ + done);
        }
        CountFailure(pendingBlocks_ - kept, pendingBytes_ - whole);
    }
    fileLength_ += whole;
}

void FileSink::RecoverTo(std::uint64_t mark) {
    // Whatever the killed writer wrote after its last finished batch goes;
    // the ring still holds those blocks and they are written again. Where it
    // had gone on into a next part since, that part starts empty.
    // A file that cannot be cut (a device) keeps what it has: nothing better.
    // A recording that ended at a limit and closed its file has nothing left.
    if (closedAtEnd_.load(std::memory_order_acquire)) return;
    const bool samePart = mark >> kPartShift == part_;
    exitLength_ = samePart ? mark & ((std::uint64_t{1} << kPartShift) - 1) : 0;
    (void)CutFile(exitLength_);
    bytesWritten_.store(partsBytes_ + exitLength_, std::memory_order_relaxed);
}

void FileSink::ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    // The stream's counts stop where the writer stopped: a writer not yet
    // ended may still be counting, and the state is its own.
    if (closedAtEnd_.load(std::memory_order_acquire)) return;  // pairs with CloseAtEnd
    const auto size = static_cast<std::uint32_t>(length);
    if (WriteAll(data, size, exitLength_) < size) {
        (void)CutFile(exitLength_);
        CountFailure(1, size);
        return;
    }
    exitLength_ += size;
    bytesWritten_.store(partsBytes_ + exitLength_, std::memory_order_relaxed);
}

}  // namespace corvanlet
