#include "capture/file_sink.h"

#include <cstring>

namespace corvanlet {

FileSink::~FileSink() {
    CloseFile();
}

bool FileSink::OpenFile(const char* path) {
    CloseFile();
    pendingBytes_ = 0;
    bytesWritten.store(0, std::memory_order_relaxed);
    failedWrites_.store(0, std::memory_order_relaxed);
    if (path == nullptr || !file_.Create(path)) return false;
    if (!Init(ringCapacity_, kMaxBlock)) {
        file_.Close();
        return false;
    }
    return true;
}

bool FileSink::CloseFile() {
    Close();
    file_.Close();
    return true;
}

void FileSink::ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t) {
    const auto size = static_cast<std::size_t>(length);
    if (pendingBytes_ + size > kWriteBatch) WritePending();
    std::memcpy(pending_ + pendingBytes_, data, size);
    pendingBytes_ += size;
}

void FileSink::OnDrained() {
    WritePending();
}

void FileSink::WritePending() {
    // A short write goes on with the rest; only a failing call loses bytes.
    const std::uint8_t* data = pending_;
    auto remaining = static_cast<std::uint32_t>(pendingBytes_);
    std::uint64_t total = 0;
    while (remaining > 0) {
        std::uint32_t written = 0;
        const bool ok = file_.Write(data, remaining, &written);
        if (written > remaining) written = remaining;
        total += written;
        if (!ok || written == 0) {
            failedWrites_.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        data += written;
        remaining -= written;
    }
    pendingBytes_ = 0;
    // Single writer: a plain load and store is enough, and the store is atomic.
    bytesWritten.store(bytesWritten.load(std::memory_order_relaxed) + total,
                       std::memory_order_relaxed);
}

}  // namespace corvanlet
