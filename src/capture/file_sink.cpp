#include "capture/file_sink.h"

#include <cstring>

namespace corvanlet {

FileSink::FileSink(std::int32_t capacity) : BlockRing(kWriteBatch), ringCapacity_(capacity) {}

FileSink::~FileSink() {
    CloseFile();
}

bool FileSink::OpenFile(const char* path, std::int32_t capacity) {
    CloseFile();
    continuity_.Reset();
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
    fileLength_ = 0;
    bytesWritten_.store(0, std::memory_order_relaxed);
    failedWrites_.store(0, std::memory_order_relaxed);
    failedBlocks_.store(0, std::memory_order_relaxed);
    failedBytes_.store(0, std::memory_order_relaxed);
    if (path == nullptr || !file_.Create(path)) return false;
    // A recording on a smaller ring beats no recording: a fragmented 32-bit
    // address space may not have the size asked for in one piece.
    for (std::int32_t size = capacity > 0 ? capacity : ringCapacity_;; size /= 2) {
        if (Init(size, kMaxBlock)) return true;
        if (size / 2 < kSmallestCapacity) break;
    }
    file_.Close();
    return false;
}

void FileSink::CloseFile() {
    Close();
    file_.Close();
}

void FileSink::ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    continuity_.Check(data, length);
    // The ring keeps a batch within kWriteBatch bytes and kMaxBatchBlocks blocks.
    std::memcpy(pending_ + pendingBytes_, data, static_cast<std::size_t>(length));
    pendingBytes_ += static_cast<std::uint32_t>(length);
    blockEnds_[pendingBlocks_++] = pendingBytes_;
}

void FileSink::EndBatch() {
    // A short write goes on with the rest; a failing call ends the batch.
    std::uint32_t done = 0;
    bool failed = false;
    while (done < pendingBytes_) {
        std::uint32_t written = 0;
        const bool ok = WriteSome(pending_ + done, pendingBytes_ - done, &written);
        written = written < pendingBytes_ - done ? written : pendingBytes_ - done;
        done += written;
        if (!ok || written == 0) {
            failed = true;
            break;
        }
    }
    if (failed) {
        // Keep the file a sequence of whole blocks: cut a torn one back off.
        std::uint32_t whole = 0;
        std::uint32_t kept = 0;
        while (kept < pendingBlocks_ && blockEnds_[kept] <= done) whole = blockEnds_[kept++];
        if (whole != done && !file_.Truncate(fileLength_ + whole)) {
            whole = done;  // it could not be cut: the file holds what was written
            kept = pendingBlocks_;
        }
        done = whole;
        // Relaxed: counters only.
        failedWrites_.fetch_add(1, std::memory_order_relaxed);
        failedBlocks_.fetch_add(pendingBlocks_ - kept, std::memory_order_relaxed);
        failedBytes_.fetch_add(pendingBytes_ - done, std::memory_order_relaxed);
    }
    fileLength_ += done;
    // Single writer: a plain load and store is enough, and the store is atomic.
    bytesWritten_.store(fileLength_, std::memory_order_relaxed);
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
}

void FileSink::RecoverTo(std::uint64_t mark) {
    // Whatever the killed writer wrote after its last finished batch goes;
    // the ring still holds those blocks and writes them again.
    pendingBytes_ = 0;
    pendingBlocks_ = 0;
    // A file that cannot be cut (a device) keeps what it has: nothing better.
    (void)file_.Truncate(mark);
    fileLength_ = mark;
    bytesWritten_.store(mark, std::memory_order_relaxed);
}

}  // namespace corvanlet
