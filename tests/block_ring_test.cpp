// The block queue's records and wrap rule, single-threaded over storage the
// test owns; and the ring with its writer thread, two threads at a time.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture/block_queue.h"
#include "capture/block_ring.h"
#include "capture/push_gate.h"
#include "capture/writer_wake.h"
#include "support/test_blocks.h"
#include "support/wait.h"

namespace corvanlet {

// Plays the two halves of a push that bounces off a closed gate.
struct PushGateTestPeer {
    static void Arrive(PushGate& gate) { gate.word_.fetch_add(1); }
    static void Depart(PushGate& gate) { gate.word_.fetch_sub(1); }
};

namespace {

using testing::BlockMatches;
using testing::MakeBlock;
using testing::Random;
using testing::SequenceOf;
using PushResult = BlockRing::PushResult;

struct Received {
    std::uint8_t tag;
    std::vector<std::uint8_t> bytes;
};

// Keeps every block the writer hands over. `received` may be read once Close
// has returned (Close waits for the writer to finish with the ring).
class CollectingRing : public BlockRing {
  public:
    ~CollectingRing() override { Close(); }

    std::vector<Received> received;
    std::atomic<std::uint32_t> count{0};
    std::uint32_t delayMsPerBlock = 0;

  protected:
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override {
        received.push_back({tag, std::vector<std::uint8_t>(data, data + length)});
        count.fetch_add(1, std::memory_order_release);
        if (delayMsPerBlock != 0) platform::SleepMs(delayMsPerBlock);
    }
};

// Checks each block as it arrives: sequence numbers must follow one another
// (or only increase, when drops are expected) and the content must match.
class CheckingRing : public BlockRing {
  public:
    ~CheckingRing() override { Close(); }

    bool allowGaps = false;
    std::uint32_t nextSeq = 0;  // writer thread; read after Close
    std::uint32_t received = 0;
    std::uint32_t errors = 0;

  protected:
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t) override {
        ++received;
        const std::uint32_t seq = length >= 4 ? SequenceOf(data) : ~0u;
        const bool inOrder = allowGaps ? seq >= nextSeq : seq == nextSeq;
        if (!inOrder || !BlockMatches(seq, data, length)) {
            ++errors;
            return;
        }
        nextSeq = seq + 1;
    }
};

std::uint32_t StressSeconds() {
    const char* value = std::getenv("CORVANLET_STRESS_SECONDS");
    return value != nullptr ? static_cast<std::uint32_t>(std::atoi(value)) : 0;
}

// Pushes until accepted, for at most 10 s; the writer drains meanwhile.
void PushSure(BlockRing& ring, const std::uint8_t* data, std::int32_t length, std::uint8_t tag) {
    ASSERT_TRUE(testing::SpinFor([&] {
        return ring.Push(data, length, tag) == PushResult::kQueued;
    })) << "the ring took no block for 10 s";
}

// Takes every published record off the queue, as the writer would.
std::vector<Received> TakeAll(BlockQueue& queue) {
    std::vector<Received> taken;
    BlockQueue::Record record;
    std::uint32_t at = queue.ReadPosition();
    while (queue.Peek(at, record)) {
        taken.push_back(
            {record.tag, std::vector<std::uint8_t>(record.data, record.data + record.length)});
        at = record.next;
    }
    queue.Release(at);
    return taken;
}

TEST(BlockQueue, WrapRuleBoundary) {
    // 100000 bytes, blocks of up to 1000: a record of 1000 bytes takes 1008,
    // so the last offset where a record may start is 98992. A record ending
    // exactly there leaves the next one there; ending 4 bytes later sends it
    // to 0.
    std::vector<std::uint32_t> storage(100000 / 4);
    BlockQueue queue;
    queue.Reset(storage.data(), 100000, 1000, 98992 - 108);
    EXPECT_EQ(queue.LastStart(), 98992u);
    std::uint8_t block[1000];
    MakeBlock(0, 100, block);
    ASSERT_TRUE(queue.Enqueue(block, 100, 0));
    EXPECT_EQ(queue.WritePosition(), 98992u);
    MakeBlock(1, 1000, block);
    ASSERT_TRUE(queue.Enqueue(block, 1000, 1));  // the largest record still fits at the last start
    EXPECT_EQ(queue.WritePosition(), 0u);
    auto taken = TakeAll(queue);

    queue.Reset(storage.data(), 100000, 1000, 98992 - 104);
    MakeBlock(2, 100, block);
    ASSERT_TRUE(queue.Enqueue(block, 100, 0));
    EXPECT_EQ(queue.WritePosition(), 0u);
    MakeBlock(3, 97, block);  // padded to 100
    ASSERT_TRUE(queue.Enqueue(block, 97, 0));
    EXPECT_EQ(queue.WritePosition(), 108u);
    for (auto& record : TakeAll(queue)) taken.push_back(std::move(record));
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_TRUE(BlockMatches(0, taken[0].bytes.data(), 100));
    EXPECT_TRUE(BlockMatches(1, taken[1].bytes.data(), 1000));
    EXPECT_TRUE(BlockMatches(2, taken[2].bytes.data(), 100));
    EXPECT_TRUE(BlockMatches(3, taken[3].bytes.data(), 97));
}

TEST(BlockQueue, EverySizeSurvivesManyWrapsFromEveryNearEndStart) {
    // A small queue wraps often. For each block size the first record is
    // placed next to the end of the storage, so every size meets the boundary
    // at several alignments; then the queue is filled up and emptied in steps
    // until it has wrapped at least three times.
    constexpr std::uint32_t kCapacity = 4096;
    std::vector<std::uint32_t> storage(kCapacity / 4);
    BlockQueue queue;
    std::uint8_t block[1000];
    for (std::int32_t length = 1; length <= 1000; ++length) {
        const std::uint32_t lastStart = kCapacity - 1008;
        queue.Reset(storage.data(), kCapacity, 1000,
                    lastStart - 4u * static_cast<std::uint32_t>(length % 8));
        const std::uint32_t records = 3u * kCapacity / BlockQueue::RecordSize(length) + 2;
        std::uint32_t pushed = 0;
        std::uint32_t checked = 0;
        while (checked < records) {
            while (pushed < records) {
                MakeBlock(pushed, length, block);
                if (!queue.Enqueue(block, length, static_cast<std::uint8_t>(pushed))) break;
                ++pushed;
            }
            const auto taken = TakeAll(queue);
            ASSERT_FALSE(taken.empty()) << "size " << length;
            for (const auto& got : taken) {
                ASSERT_EQ(got.bytes.size(), static_cast<std::size_t>(length));
                ASSERT_EQ(got.tag, static_cast<std::uint8_t>(checked));
                ASSERT_TRUE(BlockMatches(checked, got.bytes.data(), length))
                    << "size " << length << " block " << checked;
                ++checked;
            }
        }
        EXPECT_EQ(checked, pushed);
    }
}

TEST(BlockRing, AcceptsUpToMaxBlockAndRefusesBadBlocks) {
    CollectingRing ring;
    ASSERT_TRUE(ring.Init(100000, 1000));
    std::vector<std::uint8_t> block(1001, 0x5A);
    EXPECT_EQ(ring.Push(block.data(), 1000, 7), PushResult::kQueued);
    EXPECT_EQ(ring.Push(block.data(), 1001, 7), PushResult::kRefused);
    EXPECT_EQ(ring.Push(nullptr, 10, 7), PushResult::kRefused);
    EXPECT_EQ(ring.Push(block.data(), 0, 7), PushResult::kIgnored);
    EXPECT_EQ(ring.Push(block.data(), -5, 7), PushResult::kIgnored);
    EXPECT_EQ(ring.Push(block.data(), 3, 9), PushResult::kQueued);
    ring.Refuse(33);  // refused before it got here
    ring.Refuse(0);   // nothing
    ring.Close();
    ASSERT_EQ(ring.received.size(), 2u);
    EXPECT_EQ(ring.received[0].bytes.size(), 1000u);
    EXPECT_EQ(ring.received[0].tag, 7);
    EXPECT_EQ(ring.received[1].bytes.size(), 3u);
    EXPECT_EQ(ring.received[1].tag, 9);
    EXPECT_EQ(ring.DroppedBlocks(), 3u);
    EXPECT_EQ(ring.DroppedBytes(), 1001u + 10u + 33u);
}

TEST(BlockRing, TinyBlocksAreDeliveredWithEverythingBehindThem) {
    CollectingRing ring;
    ASSERT_TRUE(ring.Init(100000, 1000));
    std::uint8_t block[1000];
    std::uint32_t seq = 0;
    for (int round = 0; round < 50; ++round) {
        for (std::int32_t length : {1, 2, 3, 4, 188, 5, 1000}) {
            MakeBlock(seq++, length, block);
            ASSERT_NO_FATAL_FAILURE(PushSure(ring, block, length, 0));
        }
    }
    ring.Close();
    ASSERT_EQ(ring.received.size(), seq);
    std::uint32_t i = 0;
    for (int round = 0; round < 50; ++round) {
        for (std::int32_t length : {1, 2, 3, 4, 188, 5, 1000}) {
            const auto& got = ring.received[i];
            ASSERT_EQ(got.bytes.size(), static_cast<std::size_t>(length));
            EXPECT_TRUE(BlockMatches(i, got.bytes.data(), length)) << "block " << i;
            ++i;
        }
    }
}

TEST(BlockRing, RandomSizesFlatOutArriveInOrderExactlyOnce) {
    // Millions of records: enough for a length word published before its
    // payload, or torn, to be read; CORVANLET_STRESS_SECONDS makes it run longer.
    const std::uint32_t seconds = StressSeconds() != 0 ? StressSeconds() : 2;
    CheckingRing ring;
    ASSERT_TRUE(ring.Init(100000, 1000));
    Random random(12345);
    std::uint8_t block[1000];
    std::uint32_t pushed = 0;
    std::uint64_t refused = 0;
    const std::uint32_t start = platform::TickCountMs();
    while (platform::TickCountMs() - start < seconds * 1000) {
        for (int i = 0; i < 256; ++i) {
            const std::int32_t length = random.Between(4, 1000);
            MakeBlock(pushed, length, block);
            ASSERT_TRUE(testing::SpinFor([&] {
                if (ring.Push(block, length, 0) == PushResult::kQueued) return true;
                ++refused;
                return false;
            })) << "the ring took no block for 10 s";
            ++pushed;
        }
    }
    ring.Close();
    EXPECT_EQ(ring.errors, 0u);
    EXPECT_EQ(ring.nextSeq, pushed);
    EXPECT_EQ(ring.DroppedBlocks(), refused);
    EXPECT_EQ(ring.LateWakeups(), 0u);
}

TEST(BlockRing, SlowWriterDropsWholeBlocksAndCountsThem) {
    CollectingRing ring;
    ring.delayMsPerBlock = 1;
    ASSERT_TRUE(ring.Init(20000, 1000));
    std::uint8_t block[1000];
    Random random(99);
    constexpr std::uint32_t kPushes = 20000;
    std::vector<std::int32_t> lengths(kPushes);
    std::uint32_t accepted = 0;
    std::uint64_t refusedBytes = 0;
    for (std::uint32_t seq = 0; seq < kPushes; ++seq) {
        lengths[seq] = random.Between(4, 1000);
        MakeBlock(seq, lengths[seq], block);
        if (ring.Push(block, lengths[seq], 0) == PushResult::kQueued) {
            ++accepted;
        } else {
            refusedBytes += static_cast<std::uint64_t>(lengths[seq]);
        }
    }
    ring.Close();
    EXPECT_GT(ring.DroppedBlocks(), 0u);
    EXPECT_EQ(ring.DroppedBlocks() + accepted, kPushes);
    EXPECT_EQ(ring.DroppedBytes(), refusedBytes);
    ASSERT_EQ(ring.received.size(), accepted);
    std::int64_t previous = -1;
    for (const auto& got : ring.received) {
        const std::uint32_t seq = SequenceOf(got.bytes.data());
        ASSERT_GT(static_cast<std::int64_t>(seq), previous);
        ASSERT_EQ(static_cast<std::int32_t>(got.bytes.size()), lengths[seq]);
        ASSERT_TRUE(BlockMatches(seq, got.bytes.data(), lengths[seq]));
        previous = seq;
    }
}

TEST(BlockRing, CloseAndReopenDuringPushStorm) {
    // The producer never stops while the ring is closed and reopened under
    // it: no push may touch freed storage (the sanitizers watch), and what
    // comes out is whole blocks in increasing order.
    CheckingRing ring;
    ring.allowGaps = true;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::uint8_t block[1000];
        Random random(7);
        std::uint32_t seq = 0;
        while (!done.load(std::memory_order_relaxed)) {
            const std::int32_t length = random.Between(4, 1000);
            MakeBlock(seq++, length, block);
            ring.Push(block, length, 0);
        }
    });
    for (int cycle = 0; cycle < 200; ++cycle) {
        ASSERT_TRUE(ring.Init(cycle % 2 ? 100000 : 8192, 1000));
        platform::SleepMs(cycle % 3);
        ring.Close();
    }
    done.store(true);
    producer.join();
    EXPECT_EQ(ring.errors, 0u);
    EXPECT_GT(ring.received, 0u);
}

TEST(BlockRing, NoLostWakeUpsAcrossManySleeps) {
    // The writer goes to sleep after every empty drain, so almost every push
    // meets a sleeping or just-falling-asleep writer. A lost wake-up would
    // leave a block waiting for the safety timeout, which is counted. Half
    // the gaps are a few dozen spins: pushes that land right between the
    // writer's announcement of sleep and its last look at the ring.
    CollectingRing ring;
    BlockRing::Timing timing;
    timing.idleNapsBeforeSleep = 0;
    ring.SetTiming(timing);
    ASSERT_TRUE(ring.Init(100000, 1000));
    Random random(2024);
    std::uint8_t block[188];
    const std::uint32_t seconds = StressSeconds() != 0 ? StressSeconds() : 2;
    const std::uint32_t start = platform::TickCountMs();
    std::uint32_t pushed = 0;
    while (platform::TickCountMs() - start < seconds * 1000) {
        MakeBlock(pushed, 188, block);
        ASSERT_EQ(ring.Push(block, 188, 0), PushResult::kQueued);
        ++pushed;
        // Wait for the writer to take it, then a random gap so the next push
        // lands anywhere in the writer's way to sleep.
        ASSERT_TRUE(testing::SpinFor([&] {
            return ring.count.load(std::memory_order_acquire) >= pushed;
        })) << "the writer did not take a block";
        const std::uint32_t spins = random.Next() % (pushed % 2 ? 64 : 20000);
        std::atomic<std::uint32_t> spin{0};
        while (spin.load(std::memory_order_relaxed) < spins)
            spin.fetch_add(1, std::memory_order_relaxed);
        if (random.Next() % 16 == 0) platform::SleepMs(1);
    }
    ring.Close();
    EXPECT_EQ(ring.received.size(), pushed);
    EXPECT_EQ(ring.LateWakeups(), 0u);
    EXPECT_GT(ring.WakeCalls(), pushed / 4);  // the writer really did sleep between pushes
}

TEST(BlockRing, AFullRingWakesANappingWriter) {
    // Naps of a minute and no wake-up for a filling ring: only the block that
    // finds the ring full can bring the writer back early.
    CollectingRing ring;
    BlockRing::Timing timing;
    timing.napMs = 60000;
    timing.wakeAtPercent = 100;
    timing.idleNapsBeforeSleep = 1000;
    ring.SetTiming(timing);
    ASSERT_TRUE(ring.Init(20000, 1000));
    platform::SleepMs(50);  // the writer found nothing and naps
    std::uint8_t block[1000];
    std::uint32_t seq = 0;
    MakeBlock(seq, 1000, block);
    while (ring.Push(block, 1000, 0) == PushResult::kQueued) MakeBlock(++seq, 1000, block);
    // The nap is a minute: room within the wait's 10 s means a wake-up came.
    ASSERT_TRUE(testing::WaitFor([&] { return ring.Push(block, 1000, 0) == PushResult::kQueued; }))
        << "the full ring did not wake the napping writer";
    EXPECT_GE(ring.WakeCalls(), 1u);
    ring.Close();
    EXPECT_EQ(ring.received.size(), seq + 1);
}

// A push inside the gate holds Shut until it leaves: only then may the
// storage go.
TEST(PushGate, ShutWaitsForThePushInside) {
    PushGate gate;
    EXPECT_FALSE(gate.Enter());  // closed until opened
    gate.Open();
    ASSERT_TRUE(gate.Enter());
    std::atomic<bool> shut{false};
    std::thread closer([&] {
        gate.Shut();
        shut = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(shut.load());
    EXPECT_FALSE(gate.Enter());  // shut to new pushes meanwhile
    gate.Leave();
    closer.join();
    EXPECT_TRUE(shut.load());
    EXPECT_TRUE(gate.Empty());
}

// A push bouncing off the closed gate (its increment in, its decrement not
// yet) while the gate opens: once it has gone, the gate is open and empty.
TEST(PushGate, APushBouncingWhileTheGateOpensLeavesNoCount) {
    PushGate gate;
    PushGateTestPeer::Arrive(gate);  // the bounce's increment
    gate.Open();
    PushGateTestPeer::Depart(gate);  // and its decrement
    EXPECT_TRUE(gate.Empty());
    ASSERT_TRUE(gate.Enter());
    gate.Leave();
    gate.Shut();
    EXPECT_TRUE(gate.Empty());
}

// The writer announces a sleep; a push lands before it looks again: the look
// sees the record, so the writer does not wait, and the producer's look after
// publishing saw the announcement, so it would have woken the writer anyway.
TEST(WriterWake, APushBetweenTheAnnouncementAndTheLookIsSeen) {
    WriterWake wake;
    wake.Reset();
    bool queued = false;
    WriterWake::Mode producerSaw = WriterWake::kRunning;
    const bool waits = wake.PrepareWait(WriterWake::kSleeping, [&] {
        queued = true;                          // the producer publishes a record ...
        producerSaw = wake.LookAfterPublish();  // ... and looks at the writer
        return queued;
    });
    EXPECT_FALSE(waits);
    EXPECT_EQ(producerSaw, WriterWake::kSleeping);
    EXPECT_EQ(wake.Peek(), WriterWake::kRunning);
    // Nothing queued: the writer goes on to wait, announced.
    EXPECT_TRUE(wake.PrepareWait(WriterWake::kNapping, [] { return false; }));
    EXPECT_EQ(wake.Peek(), WriterWake::kNapping);
    EXPECT_TRUE(wake.Wake());
    EXPECT_TRUE(wake.Wait(WriterWake::kNapping, 1000));
}

TEST(BlockRing, LifecycleEdges) {
    CollectingRing never;
    never.Close();  // never opened: returns at once
    std::uint8_t block[16] = {};
    EXPECT_EQ(never.Push(block, 16, 0), PushResult::kIgnored);
    EXPECT_TRUE(never.received.empty());

    CollectingRing ring;
    ASSERT_TRUE(ring.Init(100000, 1000));
    MakeBlock(0, 16, block);
    ASSERT_EQ(ring.Push(block, 16, 0), PushResult::kQueued);
    ASSERT_TRUE(ring.Init(100000, 1000));  // closes the first ring, its block written
    EXPECT_EQ(ring.received.size(), 1u);
    MakeBlock(1, 16, block);
    ASSERT_EQ(ring.Push(block, 16, 0), PushResult::kQueued);
    ring.Close();
    ring.Close();
    ASSERT_EQ(ring.received.size(), 2u);
    EXPECT_TRUE(BlockMatches(1, ring.received[1].bytes.data(), 16));
    EXPECT_EQ(ring.Push(block, 16, 0), PushResult::kIgnored);  // closed again
    EXPECT_EQ(ring.received.size(), 2u);
}

TEST(BlockRing, UnusableSizesLeaveTheRingClosed) {
    CollectingRing ring;
    std::uint8_t block[16] = {};
    EXPECT_FALSE(ring.Init(2015, 1000));  // cannot hold two records of 1000
    EXPECT_FALSE(ring.Init(100000, 0));
    EXPECT_FALSE(ring.Init(-1, 1000));
    EXPECT_EQ(ring.Push(block, 16, 0), PushResult::kIgnored);
    if constexpr (sizeof(void*) == 4) {
        // Nearly 2 GiB cannot be had in a 32-bit process next to the program.
        EXPECT_FALSE(ring.Init(0x7FFFFFF0, 1000));
        EXPECT_EQ(ring.Push(block, 16, 0), PushResult::kIgnored);
    }
    ring.Close();
    EXPECT_TRUE(ring.received.empty());
    EXPECT_TRUE(ring.Init(2016, 1000));
    EXPECT_EQ(ring.Push(block, 16, 0), PushResult::kQueued);
    ring.Close();
    EXPECT_EQ(ring.received.size(), 1u);
}

}  // namespace
}  // namespace corvanlet
