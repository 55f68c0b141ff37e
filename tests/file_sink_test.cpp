// The file sink: every accepted block in the file once, whole and in order,
// through short and failing writes, and through a process exit that finds
// the writer anywhere in a batch.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "capture/file_sink.h"
#include "support/temp_dir.h"
#include "support/test_blocks.h"
#include "support/wait.h"

namespace corvanlet {
namespace {

namespace fs = std::filesystem;
using testing::MakeBlock;

class FileSinkTest : public ::testing::Test {
  protected:
    std::string PathOf(const char* name) const { return dir_.File(name); }
    static std::vector<std::uint8_t> ReadAll(const std::string& path) {
        return testing::ReadFileBytes(path);
    }

    testing::TempDir dir_;
};

// The bytes of PushBlocks(sink, count, seed).
std::uint64_t BlockBytes(std::uint32_t count, std::uint32_t seed) {
    std::uint64_t bytes = 0;
    for (std::uint32_t i = 0; i < count; ++i) bytes += (i * 389u + seed) % 1000u + 1;
    return bytes;
}

// Pushes `count` blocks of sizes cycling through 1..1000 and returns the bytes
// the file must hold.
std::vector<std::uint8_t> PushBlocks(FileSink& sink, std::uint32_t count, std::uint32_t seed) {
    std::vector<std::uint8_t> expected;
    std::uint8_t block[1000];
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto length = static_cast<std::int32_t>((i * 389u + seed) % 1000u + 1);
        MakeBlock(seed + i, length, block);
        if (!testing::SpinFor(
                [&] { return sink.Push(block, length, 0) == BlockRing::PushResult::kQueued; })) {
            ADD_FAILURE() << "the sink took no block for 10 s";
            return expected;
        }
        expected.insert(expected.end(), block, block + length);
    }
    return expected;
}

TEST_F(FileSinkTest, FileHoldsEveryBlockInOrderAndReplacesOldContent) {
    const std::string path = PathOf("out.dat");
    { std::ofstream(path, std::ios::binary) << std::string(50000, 'x'); }
    FileSink sink;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    EXPECT_TRUE(sink.IsOpen());
    const auto expected = PushBlocks(sink, 3000, 1);
    sink.CloseFile();  // every accepted block is written before the close
    EXPECT_FALSE(sink.IsOpen());
    EXPECT_EQ(sink.BytesWritten(), expected.size());
    EXPECT_EQ(sink.FailedWrites(), 0u);
    EXPECT_EQ(ReadAll(path), expected);
    sink.CloseFile();                                 // idle: no effect
    EXPECT_EQ(sink.BytesWritten(), expected.size());  // kept until the next open
}

TEST_F(FileSinkTest, OpenWhileOpenFinishesTheFirstFile) {
    const std::string first = PathOf("first.dat");
    const std::string second = PathOf("second.dat");
    FileSink sink;
    ASSERT_TRUE(sink.OpenFile(first.c_str()));
    const auto expectedFirst = PushBlocks(sink, 500, 11);
    ASSERT_TRUE(sink.OpenFile(second.c_str()));
    EXPECT_EQ(sink.BytesWritten(), 0u);
    const auto expectedSecond = PushBlocks(sink, 500, 22);
    sink.CloseFile();
    EXPECT_EQ(ReadAll(first), expectedFirst);
    EXPECT_EQ(ReadAll(second), expectedSecond);
}

TEST_F(FileSinkTest, FileThatCannotBeCreatedLeavesTheSinkIdle) {
    FileSink sink;
    const std::string path = PathOf("missing-dir/out.dat");
    EXPECT_FALSE(sink.OpenFile(path.c_str()));
    EXPECT_FALSE(sink.IsOpen());
    EXPECT_FALSE(sink.OpenFile(nullptr));
    std::uint8_t block[8] = {};
    EXPECT_EQ(sink.Push(block, 8, 0), BlockRing::PushResult::kIgnored);  // nothing open
    EXPECT_EQ(sink.BytesWritten(), 0u);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(FileSinkTest, RingThatCannotStartClosesTheFileAndFails) {
    FileSink sink(100);  // too small for two records of 1000 bytes
    const std::string path = PathOf("out.dat");
    EXPECT_FALSE(sink.OpenFile(path.c_str()));
    EXPECT_FALSE(sink.IsOpen());
    // The file handle is closed: the file can be removed.
    std::error_code error;
    fs::remove(path, error);
    EXPECT_FALSE(error) << error.message();
}

TEST_F(FileSinkTest, FailingWritesAreCountedAndTheRecordingGoesOn) {
#ifdef _WIN32
    const char* full = "Z:\\dev\\full";
#else
    const char* full = "/dev/full";
#endif
    FileSink sink;
    if (!sink.OpenFile(full)) GTEST_SKIP() << "no " << full << " here";
    PushBlocks(sink, 50, 3);
    sink.CloseFile();
    EXPECT_EQ(sink.BytesWritten(), 0u);
    EXPECT_GT(sink.FailedWrites(), 0u);

    const std::string path = PathOf("after.dat");
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    const auto expected = PushBlocks(sink, 50, 4);
    sink.CloseFile();
    EXPECT_EQ(sink.FailedWrites(), 0u);
    EXPECT_EQ(ReadAll(path), expected);
}

// A file sink whose writes can be cut short, fail, or stop the writer dead,
// and which can pretend the file already holds `mark` bytes.
class TestSink : public FileSink {
  public:
    enum class Freeze {
        kNone,
        kGathering,
        kMidWrite,
        kAfterWrite,
        kAfterCommit,
        kStallInWrite,
        kStallInGather,    // alive inside a block, past the exit check, until `resume`
        kAfterPartChange,  // dead after a batch that went on into part 2
    };

    std::uint32_t maxPerCall = 0xFFFFFFFFu;      // a short write: at most this many bytes a call
    std::uint32_t failAfterBytes = 0xFFFFFFFFu;  // then writes this many more and fails
    bool failOnce = false;                       // and only once; later writes succeed
    std::uint32_t failuresAfter = 0;             // with failOnce: calls that fail after it
    std::atomic<int> cutsToFail{0};              // cuts of the file that fail
    bool sizeUnknown = false;                    // the file's size cannot be told
    std::atomic<bool> stallInCut{false};         // cuts wait, alive, until `resume`
    mutable std::atomic<Freeze> freeze{Freeze::kNone};  // where the writer stops dead, once
    mutable std::atomic<bool> frozen{false};
    // kStallInWrite: the writer waits, alive, until `resume`, then writes.
    std::atomic<bool> resume{false};
    std::atomic<bool> resumedWriteDone{false};
    // At exit: after this many blocks, the exit path lets a stalled writer go
    // on and waits until its write is done.
    std::uint32_t resumeAfterExitBlocks = 0xFFFFFFFFu;

    // Each write call takes this long (a slow disk).
    std::uint32_t writeMs = 0;
    // A file system that refuses to grow a file past this, and does not say so.
    std::uint64_t growLimit = 0;
    // The writer stops dead at this step of its first change of part.
    std::atomic<int> dieAtPartChange{-1};
    // Set when the sink is destroyed (a writer left behind frees it itself).
    std::atomic<bool>* destroyed = nullptr;

    // A ring of 1 MiB unless told otherwise: room for what the host delivers
    // while the writer is dead.
    explicit TestSink(std::int32_t capacity = 1 << 20) : FileSink(capacity) {}
    ~TestSink() override {
        CloseFile();
        if (destroyed != nullptr) destroyed->store(true);
    }
    void StartAt(std::uint64_t mark) { AssumeLength(mark); }

  protected:
    bool WriteSome(const void* data, std::uint32_t length, std::uint64_t offset,
                   std::uint32_t* written) override {
        if (Stop(Freeze::kMidWrite)) {
            (void)FileSink::WriteSome(data, length / 2 + 1, offset, written);
            Die();
        }
        if (Stop(Freeze::kStallInWrite)) {
            frozen.store(true);
            // Held until the test resumes it; bounded, so that no test hangs for ever.
            (void)testing::WaitFor([&] { return resume.load(); }, 20000);
            const bool ok = FileSink::WriteSome(data, length, offset, written);
            resumedWriteDone.store(true);
            return ok;
        }
        if (writeMs != 0) platform::SleepMs(writeMs);
        if (growLimit != 0 && offset + length > growLimit) {
            const auto room =
                static_cast<std::uint32_t>(offset < growLimit ? growLimit - offset : 0);
            if (room != 0) (void)FileSink::WriteSome(data, room, offset, written);
            *written = room;  // as a file system at its size limit answers
            return false;
        }
        length = std::min(length, maxPerCall);
        if (failAfterBytes != 0xFFFFFFFFu) {
            const std::uint32_t allowed = std::min(length, failAfterBytes);
            failAfterBytes -= allowed;
            if (allowed < length) {
                if (allowed != 0) (void)FileSink::WriteSome(data, allowed, offset, written);
                *written = allowed;
                if (failOnce && failuresAfter == 0) {
                    failAfterBytes = 0xFFFFFFFFu;
                } else if (failOnce) {
                    --failuresAfter;  // the next call fails at once
                }
                return false;
            }
        }
        return FileSink::WriteSome(data, length, offset, written);
    }
    bool CutFile(std::uint64_t length) override {
        if (stallInCut.load()) {  // a cut that hangs as a write can, until resumed
            frozen.store(true);
            (void)testing::WaitFor([&] { return resume.load(); }, 20000);
        }
        if (cutsToFail.load() > 0) {
            --cutsToFail;
            return false;
        }
        return FileSink::CutFile(length);
    }
    bool FileSize(std::uint64_t* size) const override {
        return !sizeUnknown && FileSink::FileSize(size);
    }
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override {
        if (gathered_ == 39 && Stop(Freeze::kStallInGather)) {
            frozen.store(true);
            (void)testing::WaitFor([&] { return resume.load(); }, 20000);
            FileSink::ProcessBlock(data, length, tag);
            ++gathered_;
            resumedWriteDone.store(true);
            return;
        }
        FileSink::ProcessBlock(data, length, tag);
        if (++gathered_ == 40 && Stop(Freeze::kGathering)) Die();
    }
    std::uint64_t Mark() override {
        if (Stop(Freeze::kAfterWrite)) Die();
        if (Parts() >= 2 && Stop(Freeze::kAfterPartChange)) Die();
        return FileSink::Mark();
    }
    void AfterCommit() override {
        if (Stop(Freeze::kAfterCommit)) Die();
    }
    void AtPartChange(PartChange step) override {
        int expected = static_cast<int>(step);
        if (dieAtPartChange.compare_exchange_strong(expected, -1)) Die();
    }
    void ProcessBlockAtExit(const std::uint8_t* data, std::int32_t length,
                            std::uint8_t tag) override {
        FileSink::ProcessBlockAtExit(data, length, tag);
        if (++exitBlocks_ == resumeAfterExitBlocks) {
            resume.store(true);
            (void)testing::WaitFor([&] { return resumedWriteDone.load(); });  // the test checks it
        }
    }

  private:
    bool Stop(Freeze where) const {
        Freeze expected = where;
        return freeze.compare_exchange_strong(expected, Freeze::kNone);
    }
    // The writer stops here for good, as a thread killed by the process's exit.
    void Die() const {
        frozen.store(true);
        std::unique_lock<std::mutex> lock(dead_);
        never_.wait(lock, [] { return false; });
    }

    std::uint32_t gathered_ = 0;
    std::uint32_t exitBlocks_ = 0;
    mutable std::mutex dead_;
    mutable std::condition_variable never_;
};

TEST_F(FileSinkTest, SinkDestroyedWhileOpenWritesEveryAcceptedBlock) {
    const std::string path = PathOf("destroyed.dat");
    std::vector<std::uint8_t> expected;
    {
        FileSink sink;
        ASSERT_TRUE(sink.OpenFile(path.c_str()));
        expected = PushBlocks(sink, 2000, 5);
    }
    EXPECT_EQ(ReadAll(path), expected);
}

TEST_F(FileSinkTest, ShortWritesAreContinuedNotCountedAsFailures) {
    const std::string path = PathOf("short.dat");
    TestSink sink;
    sink.maxPerCall = 777;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    const auto expected = PushBlocks(sink, 2000, 6);
    sink.CloseFile();
    EXPECT_EQ(sink.FailedWrites(), 0u);
    EXPECT_EQ(sink.BytesWritten(), expected.size());
    EXPECT_EQ(ReadAll(path), expected);
}

// A write fails after `GetParam()` bytes of 1000-byte blocks, for good:
// a torn block is cut back off, a whole one kept, and the loss counted.
class FailingWriteTest : public FileSinkTest,
                         public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(FailingWriteTest, TheFileKeepsTheWholeBlocksBeforeTheFailure) {
    const std::string path = PathOf("partial.dat");
    TestSink sink;
    sink.failAfterBytes = GetParam();
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    std::vector<std::uint8_t> all;
    std::uint8_t block[1000];
    for (std::uint32_t i = 0; i < 10; ++i) {
        MakeBlock(i, 1000, block);
        ASSERT_EQ(sink.Push(block, 1000, 0), BlockRing::PushResult::kQueued);
        all.insert(all.end(), block, block + 1000);
    }
    sink.CloseFile();
    const auto file = ReadAll(path);
    EXPECT_EQ(file.size(), 2000u);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), all.begin()));
    EXPECT_EQ(sink.BytesWritten(), 2000u);
    EXPECT_GE(sink.FailedWrites(), 1u);
    EXPECT_EQ(sink.FailedWriteBlocks() * 1000, sink.FailedWriteBytes());
    EXPECT_EQ(sink.FailedWriteBytes() + file.size(), 10000u);
}

INSTANTIATE_TEST_SUITE_P(FileSinkTest, FailingWriteTest, ::testing::Values(2500u, 2000u),
                         [](const auto& info) {
                             return info.param == 2000 ? std::string("AtABlockBoundary")
                                                       : std::string("InsideABlock");
                         });

// The third block tears, in a batch of its own, and a next part refuses it
// too (a failed write, not a size limit); cutting the torn half off fails
// both times: the next block is written over it.
TEST_F(FileSinkTest, ATornBlockThatCannotBeCutIsOverwrittenByTheNext) {
    const std::string path = PathOf("torn.dat");
    TestSink sink;
    sink.failAfterBytes = 2500;  // the third block tears
    sink.failOnce = true;
    sink.failuresAfter = 1;  // and the next part's write of it fails at once
    sink.cutsToFail = 2;     // and cutting it off fails
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    std::vector<std::uint8_t> kept;
    std::uint8_t block[1000];
    for (std::uint32_t i = 0; i < 10; ++i) {
        MakeBlock(i, 1000, block);
        if (i == 2) {  // a batch of its own, after the part holds two blocks
            ASSERT_TRUE(testing::WaitFor([&] { return sink.BytesWritten() == 2000; }));
        }
        ASSERT_EQ(sink.Push(block, 1000, 0), BlockRing::PushResult::kQueued);
        if (i == 2) {  // the rest come after the failure
            ASSERT_TRUE(testing::WaitFor([&] { return sink.FailedWrites() != 0; }))
                << "the third block's write did not fail";
        } else {
            kept.insert(kept.end(), block, block + 1000);
        }
    }
    sink.CloseFile();
    EXPECT_EQ(sink.cutsToFail.load(), 0) << "no cut failed: the test proves nothing";
    EXPECT_EQ(sink.FailedWriteBlocks(), 1u);
    EXPECT_EQ(sink.BytesWritten(), 9000u);
    EXPECT_EQ(sink.Parts(), 1u);
    EXPECT_EQ(ReadAll(path), kept);
}

// A failed write whose torn tail must be cut off, and the cut hangs (a
// share gone): Stop returns within the bound as for a stuck write, leaving
// the writer behind; it frees everything once the cut returns.
TEST_F(FileSinkTest, AStuckCutIsLeftBehindLikeAStuckWrite) {
    std::atomic<bool> destroyed{false};
    auto* sink = new TestSink;  // the writer it leaves behind deletes it
    sink->destroyed = &destroyed;
    sink->AllowLeavingBehind();
    ASSERT_TRUE(sink->OpenFile(PathOf("stuck-cut.dat").c_str()));
    sink->failAfterBytes = 2500;  // a write tears inside the third block
    sink->stallInCut = true;
    (void)PushBlocks(*sink, 10, 71);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); })) << "no cut was made";
    const std::uint32_t start = platform::TickCountMs();
    EXPECT_FALSE(sink->CloseFile());
    // Well before the stuck call would return by itself (20 s).
    EXPECT_LT(platform::TickCountMs() - start, BlockRing::kStuckMs + 12000);
    EXPECT_TRUE(sink->Read().leftBehind);
    sink->LetGo();
    sink->resume = true;
    EXPECT_TRUE(testing::WaitFor([&] { return destroyed.load(); }));
}

TEST_F(FileSinkTest, ManyTinyBlocksInOneDrainAreWrittenInBatches) {
    // The writer is held in its first write while 5000 one-byte blocks queue
    // up; the drain that follows takes them all.
    const std::string path = PathOf("tiny.dat");
    TestSink sink;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    sink.freeze = TestSink::Freeze::kStallInWrite;
    std::vector<std::uint8_t> expected;
    for (std::uint32_t i = 0; i < 5001; ++i) {
        const auto byte = static_cast<std::uint8_t>(i * 7);
        ASSERT_EQ(sink.Push(&byte, 1, 0), BlockRing::PushResult::kQueued);
        expected.push_back(byte);
        if (i == 0) {
            ASSERT_TRUE(testing::WaitFor([&] { return sink.frozen.load(); }))
                << "the writer did not stall in its first write";
        }
    }
    sink.resume = true;
    sink.CloseFile();
    EXPECT_EQ(ReadAll(path), expected);
}

// Storage beyond a limit cannot be had, as in a fragmented 32-bit address space.
class ScarceSink : public FileSink {
  public:
    std::uint32_t largestWords = 0;
    ~ScarceSink() override { CloseFile(); }

  protected:
    std::uint32_t* AllocateStorage(std::uint32_t words) override {
        return words > largestWords ? nullptr : FileSink::AllocateStorage(words);
    }
};

TEST_F(FileSinkTest, ARingThatCannotBeHadWholeIsHalvedDownTo100KB) {
    ScarceSink sink;
    sink.largestWords = 5 * 1024 * 1024 / 4;  // 5 MiB: 16 MiB and 8 MiB fail, 4 MiB fits
    ASSERT_TRUE(sink.OpenFile(PathOf("half.dat").c_str(), FileSink::kCapacity));
    EXPECT_EQ(sink.Capacity(), 4u * 1024 * 1024);
    const auto expected = PushBlocks(sink, 500, 9);
    sink.CloseFile();
    EXPECT_EQ(ReadAll(PathOf("half.dat")), expected);

    sink.largestWords = 200 * 1024 / 4;  // halving 16 MiB reaches 128 KiB
    ASSERT_TRUE(sink.OpenFile(PathOf("small.dat").c_str(), FileSink::kCapacity));
    EXPECT_EQ(sink.Capacity(), 128u * 1024);
    sink.CloseFile();

    sink.largestWords = 127 * 1024 / 4;  // not 128 KiB: the last try is 100 KB itself
    ASSERT_TRUE(sink.OpenFile(PathOf("least.dat").c_str(), FileSink::kCapacity));
    EXPECT_EQ(sink.Capacity(), static_cast<std::uint32_t>(FileSink::kSmallestCapacity));
    sink.CloseFile();

    sink.largestWords = 100 * 1024 / 4 - 1;  // not even 100 KB: no recording
    EXPECT_FALSE(sink.OpenFile(PathOf("none.dat").c_str(), 100 * 1024));
    EXPECT_FALSE(sink.IsOpen());
    std::error_code error;
    fs::remove(PathOf("none.dat"), error);  // the file was closed again
    EXPECT_FALSE(error) << error.message();
}

TEST_F(FileSinkTest, StopWithAFull16MiBRingWritesEveryBlock) {
    // The writer is held up until the default ring is full; Stop then writes
    // every accepted block before it returns.
    class HeldSink : public FileSink {
      public:
        std::atomic<bool> hold{true};
        ~HeldSink() override { CloseFile(); }

      protected:
        bool WriteSome(const void* data, std::uint32_t length, std::uint64_t offset,
                       std::uint32_t* written) override {
            // Held until the test lets go; bounded, so that no test hangs for ever.
            (void)testing::WaitFor([&] { return !hold.load(); }, 20000);
            return FileSink::WriteSome(data, length, offset, written);
        }
    } sink;
    const std::string path = PathOf("full.dat");
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    EXPECT_EQ(sink.Capacity(), static_cast<std::uint32_t>(FileSink::kCapacity));
    std::vector<std::uint8_t> expected;
    std::uint8_t block[1000];
    for (std::uint32_t seq = 0;; ++seq) {
        MakeBlock(seq, 1000, block);
        if (sink.Push(block, 1000, 0) != BlockRing::PushResult::kQueued) break;
        expected.insert(expected.end(), block, block + 1000);
    }
    EXPECT_GT(expected.size(), 16u * 1000 * 1000);  // the ring held more than 16 MB
    sink.hold = false;
    const std::uint32_t start = platform::TickCountMs();
    sink.CloseFile();
    std::printf("  stop with a full 16 MiB ring took %u ms\n", platform::TickCountMs() - start);
    EXPECT_EQ(sink.BytesWritten(), expected.size());
    EXPECT_EQ(ReadAll(path), expected);
}

// A write that does not return (a network share gone): Stop returns within
// the bound, counts what was not confirmed written, and a new recording runs
// at once. When the write returns at last, the old writer gives up on the
// rest and frees everything, its sink included.
TEST_F(FileSinkTest, AStuckWriteIsLeftBehindAndFreesEverythingWhenItReturns) {
    const std::string path = PathOf("stuck.dat");
    std::atomic<bool> destroyed{false};
    auto* sink = new TestSink;  // the writer it leaves behind deletes it
    sink->destroyed = &destroyed;
    sink->AllowLeavingBehind();
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    auto expected = PushBlocks(*sink, 100, 11);
    sink->freeze = TestSink::Freeze::kStallInWrite;
    const auto more = PushBlocks(*sink, 300, 12);
    expected.insert(expected.end(), more.begin(), more.end());
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); }))
        << "the writer did not stall in its write";

    const std::uint32_t start = platform::TickCountMs();
    EXPECT_FALSE(sink->CloseFile());
    const std::uint32_t tookMs = platform::TickCountMs() - start;
    std::printf("  stop with a stuck write took %u ms\n", tookMs);
    EXPECT_LT(tookMs, BlockRing::kStuckMs + 12000);  // the stuck call holds 20 s
    const FileSink::Figures figures = sink->Read();
    EXPECT_TRUE(figures.leftBehind);
    EXPECT_GT(figures.unconfirmedBytes, 0u);
    EXPECT_EQ(figures.bytesWritten + figures.unconfirmedBytes, expected.size());
    sink->LetGo();

    FileSink next;  // another recording, at once
    ASSERT_TRUE(next.OpenFile(PathOf("next.dat").c_str()));
    const auto nextBlocks = PushBlocks(next, 200, 13);
    EXPECT_TRUE(next.CloseFile());
    EXPECT_EQ(ReadAll(PathOf("next.dat")), nextBlocks);
    EXPECT_FALSE(destroyed.load());

    sink->resume = true;  // the write returns; from here on the sink is the writer's
    for (int i = 0; i < 10000 && !destroyed.load(); ++i) platform::SleepMs(1);
    EXPECT_TRUE(destroyed.load());
    // The file holds whole blocks from the start, none twice.
    const auto file = ReadAll(path);
    ASSERT_LE(file.size(), expected.size());
    EXPECT_TRUE(std::equal(file.begin(), file.end(), expected.begin()));
}

// A slow disk that answers every call: however long the full ring takes to
// drain, Stop waits for it and every block reaches the file.
TEST_F(FileSinkTest, ASlowDiskIsDrainedInFull) {
    const std::string path = PathOf("slow.dat");
    auto sink = std::make_unique<TestSink>();
    sink->AllowLeavingBehind();
    sink->writeMs = 180;  // 64 KiB a call: 1 MiB takes about 3 s
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    std::vector<std::uint8_t> expected;
    std::uint8_t block[1000];
    for (std::uint32_t seq = 0;; ++seq) {
        MakeBlock(seq, 1000, block);
        if (sink->Push(block, 1000, 0) != BlockRing::PushResult::kQueued) break;
        expected.insert(expected.end(), block, block + 1000);
    }
    const std::uint32_t start = platform::TickCountMs();
    EXPECT_TRUE(sink->CloseFile());
    const std::uint32_t tookMs = platform::TickCountMs() - start;
    std::printf("  stop with a full 1 MiB ring on a slow disk took %u ms\n", tookMs);
    EXPECT_GT(tookMs, BlockRing::kStuckMs);
    EXPECT_EQ(ReadAll(path), expected);
}

// "name.dat" as part `part`: "name-2.dat".
std::string PartName(const std::string& first, std::uint32_t part) {
    const std::size_t dot = first.rfind('.');
    std::string name = first.substr(0, dot);
    name.push_back('-');
    name.append(std::to_string(part));
    name.append(first, dot, std::string::npos);
    return name;
}

// The parts of a split recording, joined, in order.
std::vector<std::uint8_t> JoinParts(const std::string& first, std::uint32_t parts,
                                    std::uint64_t largest, std::uint64_t skip = 0) {
    std::vector<std::uint8_t> joined;
    for (std::uint32_t part = 1; part <= parts; ++part) {
        const std::string path = part > 1 ? PartName(first, part) : first;
        EXPECT_LE(fs::file_size(path), largest) << path;
        std::ifstream in(path, std::ios::binary);
        if (part == 1 && skip != 0) in.seekg(static_cast<std::streamoff>(skip));
        joined.insert(joined.end(), std::istreambuf_iterator<char>(in),
                      std::istreambuf_iterator<char>());
    }
    const std::string after = PartName(first, parts + 1);
    EXPECT_FALSE(fs::exists(after)) << after;
    return joined;
}

// A file already near 4 GiB (sparse) on a file system that takes larger
// files: the writes and the byte count carry on past 4 GiB in the one file.
// One that refuses to grow a file past a size it does not tell of, and
// FAT's 4 GiB - 1: the recording goes on in a next part. No block is lost.
struct GrowLimit {
    const char* name;
    std::uint64_t limit;  // 0: none
    std::uint64_t start;  // the file's length before the first block
    std::uint32_t blocks;
    std::uint32_t leastParts;
};

class GrowLimitTest : public FileSinkTest, public ::testing::WithParamInterface<GrowLimit> {};

TEST_P(GrowLimitTest, EveryBlockIsKeptInWholeParts) {
    const GrowLimit& c = GetParam();
    const std::string path = PathOf("limit.dat");
    TestSink sink;
    sink.growLimit = c.limit;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    if (c.start != 0) sink.StartAt(c.start);
    const auto expected = PushBlocks(sink, c.blocks, 21);
    sink.CloseFile();
    EXPECT_EQ(sink.FailedWrites(), 0u);
    EXPECT_EQ(sink.BytesWritten(), c.start + expected.size());
    ASSERT_GE(sink.Parts(), c.leastParts);
    EXPECT_EQ(JoinParts(path, sink.Parts(), c.limit != 0 ? c.limit : UINT64_MAX, c.start),
              expected);
}

INSTANTIATE_TEST_SUITE_P(FileSinkTest, GrowLimitTest,
                         ::testing::Values(GrowLimit{"None", 0, 0xFFFFFF00ull, 10, 1},
                                           GrowLimit{"Untold", 100 * 1000, 0, 2000, 6},
                                           GrowLimit{"Fat", 0xFFFFFFFFull, 0xFFFFFFFFull - 2500, 10,
                                                     2}),
                         [](const auto& info) { return std::string(info.param.name); });

// Split at 1 MiB: parts of at most 1 MiB, which joined equal the recording
// unsplit.
TEST_F(FileSinkTest, ASplitRecordingJoinsBackToTheUnsplitOne) {
    FileSink whole;
    ASSERT_TRUE(whole.OpenFile(PathOf("whole.dat").c_str()));
    const auto expected = PushBlocks(whole, 6000, 22);
    whole.CloseFile();
    FileSink split;
    RecordingLimits limits;
    limits.splitBytes = 1 << 20;
    ASSERT_TRUE(split.OpenFile(PathOf("split.dat").c_str(), 0, limits));
    EXPECT_EQ(PushBlocks(split, 6000, 22), expected);
    split.CloseFile();
    EXPECT_EQ(split.Parts(), static_cast<std::uint32_t>(expected.size() / (1 << 20) + 1));
    const auto joined = JoinParts(PathOf("split.dat"), split.Parts(), 1 << 20);
    std::printf("  %zu bytes split at 1 MiB into %u parts; joined equal to unsplit: %s\n",
                expected.size(), split.Parts(),
                joined == ReadAll(PathOf("whole.dat")) ? "yes" : "no");
    EXPECT_EQ(joined, ReadAll(PathOf("whole.dat")));
}

// Stop after 1 MiB: whole blocks up to the first that passes it; later
// blocks are ignored, not lost. Stop after a time: the same once it passed.
TEST_F(FileSinkTest, ARecordingEndsItselfAtItsSizeOrTime) {
    FileSink sink;
    RecordingLimits limits;
    limits.stopAfterBytes = 1 << 20;
    ASSERT_TRUE(sink.OpenFile(PathOf("size.dat").c_str(), 0, limits));
    std::vector<std::uint8_t> expected;
    std::uint8_t block[1000];
    std::uint32_t seq = 0;
    for (; sink.Ended() == FileSink::End::kNone && seq < 5000; ++seq) {
        MakeBlock(seq, 1000, block);
        if (sink.Push(block, 1000, 0) == BlockRing::PushResult::kQueued && seq < 1049)
            expected.insert(expected.end(), block, block + 1000);
        if (seq % 100 == 0) platform::SleepMs(1);
    }
    EXPECT_EQ(sink.Ended(), FileSink::End::kSize);
    EXPECT_EQ(sink.Push(block, 1000, 0), BlockRing::PushResult::kIgnored);
    sink.CloseFile();
    EXPECT_EQ(ReadAll(PathOf("size.dat")), expected);  // 1049 blocks: the 1049th passes 1 MiB
    EXPECT_EQ(sink.DroppedBlocks(), 0u);

    limits = RecordingLimits{};
    limits.stopAfterMs = 300;
    const std::uint32_t start = platform::TickCountMs();
    ASSERT_TRUE(sink.OpenFile(PathOf("time.dat").c_str(), 0, limits));
    while (sink.Ended() == FileSink::End::kNone && platform::TickCountMs() - start < 5000) {
        (void)sink.Push(block, 1000, 0);
        platform::SleepMs(5);
    }
    EXPECT_EQ(sink.Ended(), FileSink::End::kTime);
    EXPECT_GE(platform::TickCountMs() - start, 300u);
    EXPECT_EQ(sink.Push(block, 1000, 0), BlockRing::PushResult::kIgnored);
    sink.CloseFile();

    // Ended by the writer before the ring has even opened to pushes: it stays shut.
    limits.stopAfterMs = 1;
    ASSERT_TRUE(sink.OpenFile(PathOf("instant.dat").c_str(), 0, limits));
    ASSERT_TRUE(testing::WaitFor([&] { return sink.Ended() != FileSink::End::kNone; }))
        << "the recording did not end at its time limit";
    EXPECT_EQ(sink.Push(block, 1000, 0), BlockRing::PushResult::kIgnored);
    sink.CloseFile();

    limits = RecordingLimits{};
    limits.minFreeBytes = UINT64_MAX / 2;  // more than any disk has: no start
    EXPECT_FALSE(sink.OpenFile(PathOf("space.dat").c_str(), 0, limits));
    EXPECT_FALSE(fs::exists(PathOf("space.dat")));
}

class ProcessExitTest : public FileSinkTest,
                        public ::testing::WithParamInterface<TestSink::Freeze> {};

// The process ends while the writer is somewhere in a batch: the exiting
// thread writes what is left, and the file holds every accepted block once,
// whole and in order.
TEST_P(ProcessExitTest, TheFileHoldsEveryAcceptedBlockOnceAndWhole) {
    const std::string path = PathOf("exit.dat");
    auto* sink = new TestSink;  // its frozen writer never lets go of it
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    sink->freeze = GetParam();
    auto expected = PushBlocks(*sink, 200, 7);
    const std::uint32_t start = platform::TickCountMs();
    while (!sink->frozen.load() && platform::TickCountMs() - start < 10000) platform::SleepMs(1);
    ASSERT_TRUE(sink->frozen.load());
    const auto more = PushBlocks(*sink, 200, 8);  // the host went on delivering
    expected.insert(expected.end(), more.begin(), more.end());

    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_EQ(sink->BytesWritten(), expected.size());
}

INSTANTIATE_TEST_SUITE_P(WriterStoppedDead, ProcessExitTest,
                         ::testing::Values(TestSink::Freeze::kGathering,
                                           TestSink::Freeze::kMidWrite,
                                           TestSink::Freeze::kAfterWrite,
                                           TestSink::Freeze::kAfterCommit),
                         [](const auto& info) {
                             switch (info.param) {
                                 case TestSink::Freeze::kGathering:
                                     return "WhileGathering";
                                 case TestSink::Freeze::kMidWrite:
                                     return "InTheMiddleOfAWrite";
                                 case TestSink::Freeze::kAfterWrite:
                                     return "AfterAWriteBeforeItsCommit";
                                 default:
                                     return "AfterACommitBeforeItsRelease";
                             }
                         });

// A small ring the host keeps filling while the writer is dead in a write:
// the batch being written keeps its ring space, so the exit path still finds
// every block the ring accepted.
TEST_F(ProcessExitTest, ASmallRingKeepsTheBatchTheWriterDiedIn) {
    const std::string path = PathOf("small-exit.dat");
    auto* sink = new TestSink(16 * 1024);  // its frozen writer never lets go of it
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    sink->freeze = TestSink::Freeze::kMidWrite;
    std::vector<std::uint8_t> expected;
    std::uint8_t block[940];
    for (std::uint32_t seq = 0;; ++seq) {
        MakeBlock(seq, 940, block);
        bool queued = false;
        ASSERT_TRUE(testing::SpinFor([&] {
            queued = sink->Push(block, 940, 0) == BlockRing::PushResult::kQueued;
            return queued || sink->frozen.load();
        })) << "the writer neither took the block nor stalled";
        if (!queued) break;  // refused with the writer dead: the ring is full
        expected.insert(expected.end(), block, block + 940);
    }
    EXPECT_GT(expected.size(), 8u * 1024);  // the ring was filled again behind the dead batch
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_EQ(ReadAll(path), expected);
}

// Some systems end the other threads only soon after the exit begins: a
// writer still alive in a write finishes it while the exit path writes the
// same blocks. The file still holds each block once.
TEST_F(ProcessExitTest, AWriterNotYetEndedAddsNothingTwice) {
    const std::string path = PathOf("late-writer.dat");
    // After a simulated exit nothing frees the sink, as at a real one; kept
    // here, it is no leak once its writer has ended.
    static auto* kept = new std::vector<TestSink*>;  // never destroyed
    auto* sink = new TestSink;
    kept->push_back(sink);
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    auto expected = PushBlocks(*sink, 300, 3);
    sink->freeze = TestSink::Freeze::kStallInWrite;
    auto more = PushBlocks(*sink, 300, 4);
    expected.insert(expected.end(), more.begin(), more.end());
    const std::uint32_t start = platform::TickCountMs();
    while (!sink->frozen.load() && platform::TickCountMs() - start < 10000) platform::SleepMs(1);
    ASSERT_TRUE(sink->frozen.load());
    more = PushBlocks(*sink, 300, 5);
    expected.insert(expected.end(), more.begin(), more.end());

    sink->resumeAfterExitBlocks = 50;
    sink->CloseFile(platform::Teardown::kProcessExit);
    ASSERT_TRUE(sink->resumedWriteDone.load());
    EXPECT_EQ(ReadAll(path), expected);
}

// The process ends with the writer dead and much queued, on a recording
// that splits (SplitMB) or on a file system that will not grow a file and
// does not say where: the exit path goes on in next parts exactly as the
// writer would, and the parts joined hold every accepted block once.
//   "Split": parts of at most 200,000 bytes by the setting;
//   "Untold": the file system refuses a write past 200,000 bytes;
//   "UntoldUncut": and cutting the refused part back fails once.
struct ExitLimit {
    const char* name;
    bool split;
    int cutsToFail;
};
class ExitLimitTest : public FileSinkTest, public ::testing::WithParamInterface<ExitLimit> {};

TEST_P(ExitLimitTest, TheExitPathHonoursPartsAndLimits) {
    const ExitLimit& c = GetParam();
    const std::string path = PathOf("exit-parts.dat");
    auto* sink = new TestSink(4 << 20);  // its frozen writer never lets go of it
    RecordingLimits limits;
    if (c.split) limits.splitBytes = 200000;
    if (!c.split) sink->growLimit = 200000;
    ASSERT_TRUE(sink->OpenFile(path.c_str(), 0, limits));
    auto expected = PushBlocks(*sink, 150, 31);  // about 75 KB, written
    ASSERT_TRUE(testing::WaitFor([&] { return sink->BytesWritten() == expected.size(); }));
    sink->cutsToFail = c.cutsToFail;
    sink->freeze = TestSink::Freeze::kMidWrite;
    auto more = PushBlocks(*sink, 1000, 32);  // about 500 KB, queued
    expected.insert(expected.end(), more.begin(), more.end());
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); })) << "the writer did not die";
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_EQ(sink->FailedWrites(), 0u);
    EXPECT_GE(sink->Parts(), 3u);
    EXPECT_EQ(JoinParts(path, sink->Parts(), 200000), expected);
}

INSTANTIATE_TEST_SUITE_P(FileSinkTest, ExitLimitTest,
                         ::testing::Values(ExitLimit{"Split", true, 0},
                                           ExitLimit{"Untold", false, 0},
                                           ExitLimit{"UntoldUncut", false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A file system that refuses to grow a part, and a cut of the refused
// write's torn tail that fails: the part keeps those bytes and the next part
// goes on after them, so the parts joined hold every block once.
TEST_F(FileSinkTest, ACutThatFailsBeforeANextPartKeepsTheJoinedPartsExact) {
    const std::string path = PathOf("uncut.dat");
    TestSink sink;
    sink.growLimit = 100000;
    sink.cutsToFail = 1;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    const auto expected = PushBlocks(sink, 400, 51);
    sink.CloseFile();
    EXPECT_EQ(sink.cutsToFail.load(), 0) << "no cut was tried: the test proves nothing";
    EXPECT_EQ(sink.FailedWrites(), 0u);
    EXPECT_EQ(JoinParts(path, sink.Parts(), 100000), expected);
}

// The process ends with the writer dead in the batch that reached
// StopAfterMB: the exit path writes that batch again, up to and with the
// block that passed the limit, and nothing after it.
TEST_F(ProcessExitTest, AnExitInTheBatchThatEndedAtItsSizeWritesUpToTheLimit) {
    const std::string path = PathOf("exit-size.dat");
    auto* sink = new TestSink;  // its frozen writer never lets go of it
    RecordingLimits limits;
    limits.stopAfterBytes = 50000;
    sink->freeze = TestSink::Freeze::kMidWrite;
    ASSERT_TRUE(sink->OpenFile(path.c_str(), 0, limits));
    // Blocks up to the first that passes 50,000 bytes, then more that the
    // ring takes or, once the writer has seen the limit, ignores.
    std::vector<std::uint8_t> expected;
    std::uint8_t block[1000];
    for (std::uint32_t i = 0; i < 200; ++i) {
        const auto length = static_cast<std::int32_t>((i * 389u + 81u) % 1000u + 1);
        MakeBlock(81 + i, length, block);
        ASSERT_NE(sink->Push(block, length, 0), BlockRing::PushResult::kRefused);
        if (expected.size() <= 50000) expected.insert(expected.end(), block, block + length);
    }
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); })) << "the writer did not die";
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_EQ(sink->Ended(), FileSink::End::kSize);
}

// A torn tail that could not be cut belongs to its part: the next part
// starts clean. Here the next part ends at a size limit shorter than that
// old tail, while cuts keep failing: the writer must still close it at once.
TEST_F(FileSinkTest, ATornTailOfOnePartDoesNotFollowIntoTheNext) {
    const std::string path = PathOf("torn-next.dat");
    TestSink sink;
    RecordingLimits limits;
    limits.splitBytes = 2950;
    limits.stopAfterBytes = 2950;
    ASSERT_TRUE(sink.OpenFile(path.c_str(), 0, limits));
    std::uint8_t block[1000];
    sink.freeze = TestSink::Freeze::kStallInWrite;
    MakeBlock(0, 1000, block);
    ASSERT_EQ(sink.Push(block, 1000, 0), BlockRing::PushResult::kQueued);
    ASSERT_TRUE(testing::WaitFor([&] { return sink.frozen.load(); }));
    for (std::uint32_t i = 1; i <= 2; ++i) {  // one batch of 1,900 bytes: 1,500 reach the disk
        MakeBlock(i, i == 1 ? 1000 : 900, block);
        ASSERT_EQ(sink.Push(block, i == 1 ? 1000 : 900, 0), BlockRing::PushResult::kQueued);
    }
    sink.failAfterBytes = 1500;
    sink.failOnce = true;
    sink.failuresAfter = 1;  // a next part refuses it too: a failed write, not a limit
    sink.cutsToFail = 1000;  // the torn half block stays in part 1
    sink.resume = true;
    ASSERT_TRUE(testing::WaitFor([&] { return sink.FailedWrites() == 1; }));
    MakeBlock(3, 1000, block);  // goes into part 2 and passes the size limit
    ASSERT_EQ(sink.Push(block, 1000, 0), BlockRing::PushResult::kQueued);
    ASSERT_TRUE(testing::WaitFor([&] { return sink.Ended() == FileSink::End::kSize; }));
    EXPECT_TRUE(testing::WaitFor([&] { return !testing::HeldOpen(PartName(path, 2)); }, 2000))
        << "part 2 stayed open: the old part's torn tail followed it";
    sink.CloseFile();
    EXPECT_EQ(fs::file_size(PartName(path, 2)), 1000u);
}

// The process ends while the writer is changing to a next part, at each of
// its steps: the handle may already be the next part's while the counts are
// still the last one's. The change comes from SplitMB, or from a file system
// that refused to grow the part and a cut of the refused tail that failed
// (the part keeps it). The parts joined hold every accepted block once.
class ExitInPartChangeTest : public FileSinkTest,
                             public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(ExitInPartChangeTest, ThePartsJoinedHoldEveryBlockOnce) {
    const auto [step, untold] = GetParam();
    const std::string path = PathOf("exit-change.dat");
    auto* sink = new TestSink(4 << 20);  // its frozen writer never lets go of it
    RecordingLimits limits;
    if (untold) {
        sink->growLimit = 100000;
        sink->cutsToFail = 1;
    } else {
        limits.splitBytes = 100000;
    }
    sink->dieAtPartChange = step;
    ASSERT_TRUE(sink->OpenFile(path.c_str(), 0, limits));
    auto expected = PushBlocks(*sink, 400, 41);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); })) << "the writer did not die";
    const auto more = PushBlocks(*sink, 400, 42);
    expected.insert(expected.end(), more.begin(), more.end());
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_EQ(JoinParts(path, sink->Parts(), 100000), expected);
    EXPECT_EQ(sink->BytesWritten(), expected.size());
}

INSTANTIATE_TEST_SUITE_P(FileSinkTest, ExitInPartChangeTest,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Bool()),
                         [](const auto& info) {
                             const int step = std::get<0>(info.param);
                             return std::string(step == 0   ? "BeforeOpening"
                                                : step == 1 ? "OpenedNotCounted"
                                                            : "CountedNotDone") +
                                    (std::get<1>(info.param) ? "AfterAnUncutRefusal" : "AtASplit");
                         });

// The process ends with the writer dead in the middle of a write, and the
// exit path's own writes fail (a disk gone full): what the dead writer began
// is cut off, so the file holds only whole blocks that are counted.
TEST_F(ProcessExitTest, AnExitWhoseWritesFailLeavesOnlyTheCountedWholeBlocks) {
    const std::string path = PathOf("exit-fails.dat");
    auto* sink = new TestSink;  // its frozen writer never lets go of it
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    auto expected = PushBlocks(*sink, 100, 61);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->BytesWritten() == expected.size(); }));
    sink->freeze = TestSink::Freeze::kMidWrite;
    (void)PushBlocks(*sink, 100, 62);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); })) << "the writer did not die";
    sink->failAfterBytes = 0;  // every write from now on fails
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_GT(sink->FailedWrites(), 0u);
    EXPECT_EQ(sink->BytesWritten(), expected.size());
    EXPECT_EQ(ReadAll(path), expected);
}

// Growth refused in the middle of a batch, and the next part's name taken
// (by a directory): the part keeps its whole blocks and nothing else, and
// the byte count is what the file holds.
TEST_F(FileSinkTest, ARefusalWithNoNextPartKeepsOnlyTheWholeBlocks) {
    const std::string path = PathOf("no-next.dat");
    fs::create_directory(PartName(path, 2));
    TestSink sink;
    sink.growLimit = 150500;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    const auto expected = PushBlocks(sink, 400, 73);
    sink.CloseFile();
    const auto file = ReadAll(path);
    EXPECT_GT(file.size(), 150500u - 1000u) << "whole blocks up to the limit stay";
    EXPECT_LE(file.size(), 150500u);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), expected.begin())) << "bytes not written";
    EXPECT_EQ(sink.BytesWritten(), file.size());
    EXPECT_EQ(sink.FailedWriteBytes(), expected.size() - file.size());
    EXPECT_EQ(sink.Parts(), 1u);
}

// One batch of three blocks torn inside the third, for good, and the cut
// of its torn tail fails once: the close cuts it, so the file holds the
// two whole blocks (2,000 bytes), not the torn 2,500.
TEST_F(FileSinkTest, ATornTailWhoseCutFailedIsCutAtTheClose) {
    const std::string path = PathOf("torn-close.dat");
    TestSink sink;
    BlockRing::Timing timing;
    timing.napMs = 60000;  // the three blocks wait for the close: one batch
    timing.wakeAtPercent = 100;
    sink.SetTiming(timing);
    sink.failAfterBytes = 2500;
    sink.cutsToFail = 1;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    std::vector<std::uint8_t> expected;
    std::uint8_t block[1000];
    for (std::uint32_t i = 0; i < 3; ++i) {
        MakeBlock(90 + i, 1000, block);
        ASSERT_EQ(sink.Push(block, 1000, 0), BlockRing::PushResult::kQueued);
        if (i < 2) expected.insert(expected.end(), block, block + 1000);
    }
    sink.CloseFile();
    EXPECT_EQ(sink.cutsToFail.load(), 0) << "no cut failed: the test proves nothing";
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_EQ(sink.BytesWritten(), 2000u);
    EXPECT_EQ(sink.FailedWriteBlocks(), 1u);
}

// The process ends while the writer, alive, is inside a block past its
// last look at the exit: the block it then gathers is its own business,
// not the exit path's batch, and the file holds every block once, in order.
TEST_F(ProcessExitTest, AWriterStillGatheringAtTheExitAddsNothing) {
    const std::string path = PathOf("exit-gathering.dat");
    // Its writer may outlive the exit path's use of it; as at a real exit the
    // process takes it (kept reachable here, so no leak is reported).
    static TestSink* const sink = new TestSink;
    sink->freeze = TestSink::Freeze::kStallInGather;
    sink->resumeAfterExitBlocks = 5;
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    auto expected = PushBlocks(*sink, 60, 95);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); }))
        << "the writer did not stall";
    const auto more = PushBlocks(*sink, 60, 96);
    expected.insert(expected.end(), more.begin(), more.end());
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_TRUE(sink->resumedWriteDone.load())
        << "the writer never went on: the test proves nothing";
    EXPECT_EQ(ReadAll(path), expected);
}

// A refused write whose torn tail cannot be cut: the writer goes on into
// part 2, then dies before its next commit. The exit path goes back to
// part 1 by name, so part 1's tail is not written twice.
TEST_F(ProcessExitTest, AnExitAfterAFinishedChangeGoesBackToThePartOfTheCommit) {
    const std::string path = PathOf("exit-after-change.dat");
    auto* sink = new TestSink(4 << 20);  // its frozen writer never lets go of it
    sink->growLimit = 100000;
    sink->cutsToFail = 1;
    sink->freeze = TestSink::Freeze::kAfterPartChange;
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    auto expected = PushBlocks(*sink, 400, 97);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); })) << "the writer did not die";
    const auto more = PushBlocks(*sink, 400, 98);
    expected.insert(expected.end(), more.begin(), more.end());
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_EQ(JoinParts(path, sink->Parts(), 100000), expected);
}

// The writer dies in the middle of a write; at the exit the file cannot be
// cut back at first and every write fails: the exit's last cut still
// takes the dead writer's half batch off, leaving the counted whole blocks.
TEST_F(ProcessExitTest, AnExitWhoseFirstCutsFailCutsTheDeadWritersTailAtTheEnd) {
    const std::string path = PathOf("exit-cut-late.dat");
    auto* sink = new TestSink;  // its frozen writer never lets go of it
    ASSERT_TRUE(sink->OpenFile(path.c_str()));
    const auto expected = PushBlocks(*sink, 100, 99);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->BytesWritten() == expected.size(); }));
    sink->freeze = TestSink::Freeze::kMidWrite;
    (void)PushBlocks(*sink, 100, 100);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); })) << "the writer did not die";
    sink->failAfterBytes = 0;
    sink->cutsToFail = 2;  // going back to the commit, and before a next part
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_EQ(sink->cutsToFail.load(), 0) << "the cuts did not fail: the test proves nothing";
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_EQ(sink->BytesWritten(), expected.size());
}

// The writer dies after a write that kept below the split; the exit path
// cannot cut that write off, and its own first batch, larger, would pass
// the split. It writes over the dead writer's bytes before it goes on in
// a next part (where it cannot tell how far they go, it stays in the
// part): the parts joined hold each block once.
class ExitOverTest : public FileSinkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ExitOverTest, AnExitThatCannotCutBackWritesOverTheDeadWritersBytesFirst) {
    const std::string path = PathOf("exit-over.dat");
    auto* sink = new TestSink;  // its frozen writer never lets go of it
    sink->sizeUnknown = GetParam();
    // The writer's one more block fits below the split, the exit's batch not.
    RecordingLimits split;
    split.splitBytes = BlockBytes(51, 101) + 10;
    ASSERT_TRUE(sink->OpenFile(path.c_str(), 0, split));
    auto expected = PushBlocks(*sink, 50, 101);
    ASSERT_TRUE(testing::WaitFor([&] { return sink->BytesWritten() == expected.size(); }));
    sink->freeze = TestSink::Freeze::kAfterWrite;
    auto more = PushBlocks(*sink, 1, 151);
    expected.insert(expected.end(), more.begin(), more.end());
    ASSERT_TRUE(testing::WaitFor([&] { return sink->frozen.load(); })) << "the writer did not die";
    more = PushBlocks(*sink, 200, 103);  // more than one batch
    expected.insert(expected.end(), more.begin(), more.end());
    sink->cutsToFail = 2;  // going back to the commit, and before a next part
    sink->CloseFile(platform::Teardown::kProcessExit);
    EXPECT_LE(sink->cutsToFail.load(), 1) << "the exit path's cut back worked: proves nothing";
    EXPECT_EQ(sink->Parts() == 1, GetParam());
    EXPECT_EQ(JoinParts(path, sink->Parts(), 1 << 20), expected);
}

INSTANTIATE_TEST_SUITE_P(FileSink, ExitOverTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SizeUnknown" : "SizeKnown"; });

}  // namespace
}  // namespace corvanlet
