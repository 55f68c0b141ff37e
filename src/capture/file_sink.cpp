#include "capture/file_sink.h"

#include <algorithm>
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
    figures.peakFillPercent = PeakFillPercent();
    figures.ringBytes = Capacity();
    return figures;
}

bool FileSink::OpenFile(const char* path, std::int32_t capacity) {
    CloseFile();
    continuity_.Reset();
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
    fileLength_ = 0;
    tornUntil_ = 0;
    bytesWritten_.store(0, std::memory_order_relaxed);
    failedWrites_.store(0, std::memory_order_relaxed);
    failedBlocks_.store(0, std::memory_order_relaxed);
    failedBytes_.store(0, std::memory_order_relaxed);
    if (path == nullptr || !file_.Create(path)) return false;
    // A recording on a smaller ring beats no recording: a fragmented 32-bit
    // address space may not have the size asked for in one piece.
    for (std::int32_t size = capacity > 0 ? capacity : ringCapacity_;;) {
        if (Init(size, kMaxBlock)) return true;
        if (size <= kSmallestCapacity) break;
        size = size / 2 > kSmallestCapacity ? size / 2 : kSmallestCapacity;
    }
    file_.Close();
    return false;
}

bool FileSink::CloseFile(platform::Teardown how) {
    if (!Close(how)) return false;  // the writer keeps the file
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
    bytesWritten_.store(length, std::memory_order_relaxed);
}

std::uint32_t FileSink::WriteAll(const std::uint8_t* data, std::uint32_t length,
                                 std::uint64_t offset) {
    // A short write goes on with the rest; a failing call ends it.
    std::uint32_t done = 0;
    while (done < length && !LeftBehind()) {
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
    continuity_.Check(data, length);
    // The ring keeps a batch within kWriteBatch bytes and kMaxBatchBlocks blocks.
    std::memcpy(pending_ + pendingBytes_, data, static_cast<std::size_t>(length));
    pendingBytes_ += static_cast<std::uint32_t>(length);
    blockEnds_[pendingBlocks_++] = pendingBytes_;
}

void FileSink::EndBatch() {
    const std::uint32_t done = WriteAll(pending_, pendingBytes_, fileLength_);
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
    // Single writer: a plain load and store is enough, and the store is atomic.
    bytesWritten_.store(fileLength_, std::memory_order_relaxed);
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
}

void FileSink::RecoverTo(std::uint64_t mark) {
    // Whatever the killed writer wrote after its last finished batch goes;
    // the ring still holds those blocks and they are written again.
    // A file that cannot be cut (a device) keeps what it has: nothing better.
    (void)CutFile(mark);
    exitLength_ = mark;
    bytesWritten_.store(mark, std::memory_order_relaxed);
}

void FileSink::ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    // The stream's counts stop where the writer stopped: a writer not yet
    // ended may still be counting, and the state is its own.
    const auto size = static_cast<std::uint32_t>(length);
    if (WriteAll(data, size, exitLength_) < size) {
        (void)CutFile(exitLength_);
        CountFailure(1, size);
        return;
    }
    exitLength_ += size;
    bytesWritten_.store(exitLength_, std::memory_order_relaxed);
}

}  // namespace corvanlet
