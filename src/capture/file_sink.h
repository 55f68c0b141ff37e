// FileSink: the BlockRing that appends every block, unchanged, to one output
// file. A recording runs exactly while the sink has a file open.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/block_ring.h"
#include "platform/platform.h"

namespace corvanlet {

class FileSink : public BlockRing {
  public:
    static constexpr std::int32_t kCapacity = 100000;
    static constexpr std::int32_t kMaxBlock = 1000;

    // `capacity` is the ring size used by every OpenFile.
    explicit FileSink(std::int32_t capacity = kCapacity) : ringCapacity_(capacity) {}
    // Closes like CloseFile, while this is still a FileSink, so the writer's
    // last blocks still reach the file.
    ~FileSink() override;

    // Control thread. Closes a file still open, creates (or truncates) the
    // file at `path` and starts the ring. False, with the sink idle, when the
    // file cannot be created or the ring cannot start.
    bool OpenFile(const char* path);
    // Control thread. Writes every accepted block, stops the ring, closes the
    // file. Always true; no-op when idle.
    bool CloseFile();
    bool IsOpen() const { return file_.IsOpen(); }

    // Any thread. Bytes that reached the file since the last OpenFile.
    std::uint64_t BytesWritten() const { return bytesWritten.load(std::memory_order_relaxed); }
    // Write calls that failed since the last OpenFile (their bytes are lost).
    std::uint64_t FailedWrites() const { return failedWrites_.load(std::memory_order_relaxed); }

  protected:
    // Blocks are gathered and written in batches of up to kWriteBatch bytes:
    // a batch is written when the next block would not fit, and whenever the
    // ring has been emptied, so nothing waits for more data to arrive.
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override;
    void OnDrained() override;

  private:
    friend struct FileSinkTestAccess;

    static constexpr std::size_t kWriteBatch = 64 * 1024;

    void WritePending();

    const std::int32_t ringCapacity_;
    platform::File file_;
    // Writer thread only.
    std::uint8_t pending_[kWriteBatch];
    std::size_t pendingBytes_ = 0;
    // Written only by the writer thread (reset before it starts); read by
    // others. Atomic so a 32-bit reader never sees a torn 64-bit value.
    std::atomic<std::uint64_t> bytesWritten{0};
    std::atomic<std::uint64_t> failedWrites_{0};
};

}  // namespace corvanlet
