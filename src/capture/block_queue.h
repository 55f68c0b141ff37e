// BlockQueue: the records of a single-producer, single-consumer queue of data
// blocks in one byte ring, over storage its owner provides. No threads and no
// waiting: BlockRing adds those.
//
// Record layout (every record starts on a 4-byte boundary):
//
//    offset p                p+4   p+5     p+8                  p+8+length
//   +-----------------------+-----+-------+--------------------+---------+
//   | length (int32, atomic)| tag | gap | pad | data (length bytes) | pad to 4|
//   +-----------------------+-----+-------+--------------------+---------+
//
// `gap` is 1 when blocks were refused right before this one, else 0.
// A length word of 0 is the terminator: nothing has been published there yet.
// Enqueue copies data and tag, writes a terminator where the next record will
// start, and only then stores the length (release); the consumer reads the
// length with acquire, so a nonzero length means the whole record is there.
//
// Wrap rule, the same for both sides: the next record starts at
// p + 8 + align4(length); if a record of maxBlock bytes would not fit there,
// it starts at 0 instead. Records never run past the end of the storage.
//
// Enqueue never overwrites a record the consumer has not released: a block
// that does not fit is refused.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvanlet {

class BlockQueue {
  public:
    static constexpr std::uint32_t kHeaderSize = 8;

    // Bytes a record of `length` data bytes takes: header, data, padding.
    static constexpr std::uint32_t RecordSize(std::int32_t length) {
        return kHeaderSize + ((static_cast<std::uint32_t>(length) + 3u) & ~3u);
    }
    // Whether `bytes` of storage can hold records of up to `maxBlock` bytes:
    // room for two of the largest keeps a record's successor off its start.
    static constexpr bool Usable(std::uint32_t bytes, std::int32_t maxBlock) {
        return maxBlock >= 1 && maxBlock <= 0x10000000 && (bytes & ~3u) / 2 >= RecordSize(maxBlock);
    }

    BlockQueue() = default;
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // Before either side runs: the queue uses `bytes` (rounded down to a
    // multiple of 4) of `storage` for blocks of up to `maxBlock` bytes, which
    // must be Usable. The first record goes to `start`, aligned down to 4 and
    // wrapped by the rule.
    void Reset(std::uint32_t* storage, std::uint32_t bytes, std::int32_t maxBlock,
               std::uint32_t start = 0);

    // Producer. False when the block does not fit (or is longer than
    // maxBlock); nothing is written then.
    [[nodiscard]] bool Enqueue(const void* data, std::int32_t length, std::uint8_t tag,
                               bool afterGap = false);
    // Producer: where the next record goes, and the bytes queued as last seen.
    std::uint32_t WritePosition() const { return producer_.writePos; }
    std::uint32_t QueuedBytes() const;
    // Producer: looks at the consumer's position again (acquire).
    void RefreshReadPosition();

    struct Record {
        const std::uint8_t* data;
        std::int32_t length;
        std::uint8_t tag;
        bool afterGap;       // blocks were refused right before this one
        std::uint32_t next;  // where the record after it starts
    };
    // Consumer. The record published at `at`, if any (acquire).
    [[nodiscard]] bool Peek(std::uint32_t at, Record& record) const;
    // Consumer: the records before `position` are done with; the producer may
    // reuse their space (release).
    void Release(std::uint32_t position);
    std::uint32_t ReadPosition() const { return consumer_.readPos.load(std::memory_order_relaxed); }

    std::uint32_t Capacity() const { return capacity_; }
    std::int32_t MaxBlock() const { return maxBlock_; }
    // The largest offset at which a record may start.
    std::uint32_t LastStart() const { return lastStart_; }

  private:
    std::uint32_t Next(std::uint32_t p, std::int32_t length) const;
    bool HasRoom(std::uint32_t w, std::uint32_t size, std::uint32_t next, std::uint32_t r) const;
    std::atomic_ref<std::int32_t> LengthAt(std::uint32_t offset) const;

    // Set by Reset before either side runs; read-only after.
    std::uint32_t* storage_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::int32_t maxBlock_ = 0;
    std::uint32_t lastStart_ = 0;

    // The producer's own line: its position and its last look at the reader's.
    struct alignas(64) Producer {
        std::uint32_t writePos = 0;
        std::uint32_t cachedReadPos = 0;
    } producer_;
    // The consumer's line: written by it, read by the producer.
    struct alignas(64) Consumer {
        std::atomic<std::uint32_t> readPos{0};
    } consumer_;
    static_assert(sizeof(Producer) == 64 && sizeof(Consumer) == 64,
                  "producer and consumer positions sit on cache lines of their own");
};

}  // namespace corvanlet
