// Where the sink's figures meet its edges: blocks the module refused are its
// own loss and never a stream error, and a recording that ends at a limit
// closes its file and keeps its end time at once, not when its owner looks.
#include <atomic>
#include <fstream>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include "capture/file_sink.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace corvanlet {
namespace {

using testing::HeldOpen;
using testing::WaitFor;

// Packets of one PID, payload only, counters in order: a perfect stream.
std::vector<std::uint8_t> PerfectBlock(std::uint32_t firstPacket, int packets) {
    std::vector<std::uint8_t> block(static_cast<std::size_t>(packets) * 188, 0xA5);
    for (int i = 0; i < packets; ++i) {
        std::uint8_t* packet = block.data() + i * 188;
        packet[0] = 0x47;
        packet[1] = 0x01;  // PID 0x100
        packet[2] = 0x00;
        packet[3] = static_cast<std::uint8_t>(0x10 | ((firstPacket + i) & 0x0F));
        packet[4] = static_cast<std::uint8_t>(firstPacket + i);  // payloads differ
    }
    return block;
}

// Pushes `blocks` blocks of five packets each, going on from `packet`;
// the bytes the sink accepted.
std::uint64_t PushPerfect(FileSink& sink, std::uint32_t& packet, int blocks) {
    std::uint64_t accepted = 0;
    for (int i = 0; i < blocks; ++i, packet += 5) {
        const auto block = PerfectBlock(packet, 5);
        accepted += sink.Push(block.data(), 940, 0) == BlockRing::PushResult::kQueued ? 940 : 0;
    }
    return accepted;
}

// A sink whose writes wait while `hold` is set (a slow disk), for at most 20 s.
class HeldSink : public FileSink {
  public:
    using FileSink::FileSink;
    std::atomic<bool> hold{false};

  protected:
    bool WriteSome(const void* data, std::uint32_t length, std::uint64_t offset,
                   std::uint32_t* written) override {
        (void)WaitFor([&] { return !hold.load(); }, 20000);
        return FileSink::WriteSome(data, length, offset, written);
    }
};

class FileSinkEdgeTest : public ::testing::Test {
  protected:
    testing::TempDir dir_;
};

// A perfect stream into a small ring behind a slow disk: the ring refuses
// blocks, and the check, which never sees them, must not take the gap for
// an error of the stream.
TEST_F(FileSinkEdgeTest, RefusedBlocksAreLostButNeverCountedAsStreamErrors) {
    HeldSink sink(FileSink::kSmallestCapacity);
    const std::string path = dir_.File("gaps.ts");
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    sink.hold = true;
    std::uint64_t accepted = 0;
    std::uint32_t packet = 0;
    for (int round = 0; round < 2; ++round) {
        accepted += PushPerfect(sink, packet, 400);
        sink.hold = false;  // the disk comes back; the second round has room
        ASSERT_TRUE(WaitFor([&] { return sink.BytesWritten() == accepted; }))
            << "the writer did not catch up";
    }
    ASSERT_TRUE(sink.CloseFile());
    const FileSink::Figures figures = sink.Read();
    EXPECT_GT(figures.refusedBlocks, 0u) << "the ring never filled: the test proves nothing";
    EXPECT_EQ(figures.bytesWritten, accepted);
    EXPECT_TRUE(figures.sawPackets);
    EXPECT_EQ(figures.continuityErrors, 0u);
    EXPECT_EQ(figures.transportErrors, 0u);
}

// The gap restarts the check, it does not blind it: a real error in the
// stream after a refusal is still counted.
TEST_F(FileSinkEdgeTest, AnUpstreamErrorAfterARefusalIsStillCounted) {
    HeldSink sink(FileSink::kSmallestCapacity);
    const std::string path = dir_.File("gap-then-error.ts");
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    sink.hold = true;
    std::uint32_t packet = 0;
    ASSERT_LT(PushPerfect(sink, packet, 400), 400u * 940u) << "nothing was refused";
    sink.hold = false;
    // Two blocks in order, then one that skips three packets upstream.
    ASSERT_TRUE(WaitFor([&] {
        return sink.Push(PerfectBlock(packet, 5).data(), 940, 0) == BlockRing::PushResult::kQueued;
    }));
    ASSERT_EQ(sink.Push(PerfectBlock(packet + 5, 5).data(), 940, 0),
              BlockRing::PushResult::kQueued);
    ASSERT_EQ(sink.Push(PerfectBlock(packet + 13, 5).data(), 940, 0),
              BlockRing::PushResult::kQueued);
    ASSERT_TRUE(sink.CloseFile());
    EXPECT_EQ(sink.Read().continuityErrors, 1u);
}

// A size limit: the writer closes the file itself once the block that
// passes the limit is written, and the end time is when that happened.
TEST_F(FileSinkEdgeTest, ALimitClosesTheFileAtOnceAndKeepsItsTimeAndReason) {
    FileSink sink;
    const std::string path = dir_.File("limited.ts");
    RecordingLimits limits;
    limits.stopAfterBytes = 100000;
    const std::uint32_t opened = platform::TickCountMs();
    ASSERT_TRUE(sink.OpenFile(path.c_str(), 0, limits));
    std::uint32_t packet = 0;
    (void)PushPerfect(sink, packet, 200);
    ASSERT_TRUE(WaitFor([&] { return sink.Ended() == FileSink::End::kSize; }));
    // The end was recorded by the time it is seen here, however slow the
    // machine; the owner then waits far longer than that before it stops.
    const std::uint32_t seenAfterMs = platform::TickCountMs() - opened;
    EXPECT_TRUE(WaitFor([&] { return !HeldOpen(path); }, 10000))
        << "the file stayed open after the recording ended at its limit";
    EXPECT_TRUE(sink.IsOpen()) << "the recording runs until its owner stops it";
    platform::SleepMs(1500);
    ASSERT_TRUE(sink.CloseFile());
    const FileSink::Figures figures = sink.Read();
    EXPECT_EQ(figures.ended, FileSink::End::kSize);
    EXPECT_LE(figures.endedAfterMs, seenAfterMs) << "the end time measured the wait for the owner";
    // The first block past the limit is the last one: 107 blocks of 940.
    EXPECT_EQ(figures.bytesWritten, 107u * 940u);
    EXPECT_EQ(testing::ReadFileBytes(path).size(), 107u * 940u);
}

// A time limit beyond 32 bits of milliseconds (71,583 minutes and up) must
// not wrap: 357,914 minutes would wrap to 3.5 s.
TEST_F(FileSinkEdgeTest, ATimeLimitPastThirtyTwoBitsOfMillisecondsDoesNotWrap) {
    FileSink sink;
    const std::string path = dir_.File("long.ts");
    RecordingLimits limits;
    limits.stopAfterMs = 357914ull * 60000u;  // 5 * 2^32 + 3,520 ms
    ASSERT_TRUE(sink.OpenFile(path.c_str(), 0, limits));
    EXPECT_FALSE(WaitFor([&] { return sink.Ended() != FileSink::End::kNone; }, 4500));
    ASSERT_TRUE(sink.CloseFile());
}

// The free space is looked at while recording: plenty keeps it going, too
// little ends it with its reason.
class SpaceSink : public FileSink {
  public:
    std::atomic<std::uint64_t> free{std::uint64_t{1} << 40};

  protected:
    std::uint64_t FreeBytes() const override { return free.load(); }
};

TEST_F(FileSinkEdgeTest, RunningLowOnSpaceEndsTheRecordingAndPlentyDoesNot) {
    SpaceSink sink;
    RecordingLimits limits;
    limits.minFreeBytes = 1000;
    limits.spaceCheckMs = 20;
    ASSERT_TRUE(sink.OpenFile(dir_.File("space.ts").c_str(), 0, limits));
    EXPECT_FALSE(WaitFor([&] { return sink.Ended() != FileSink::End::kNone; }, 400))
        << "ended with a terabyte free";
    sink.free = 999;
    EXPECT_TRUE(WaitFor([&] { return sink.Ended() == FileSink::End::kLowSpace; }, 3000));
    ASSERT_TRUE(sink.CloseFile());
}

// How full the ring came: 50 records of 1,000 bytes queued behind a held
// write in a 100 KiB ring is about half.
TEST_F(FileSinkEdgeTest, ThePeakFillIsInPercentOfTheRing) {
    HeldSink sink(FileSink::kSmallestCapacity);
    ASSERT_TRUE(sink.OpenFile(dir_.File("peak.ts").c_str()));
    sink.hold = true;
    std::vector<std::uint8_t> block(1000, 0x47);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(sink.Push(block.data(), 1000, 0), BlockRing::PushResult::kQueued);
    }
    sink.hold = false;
    ASSERT_TRUE(sink.CloseFile());
    const std::uint32_t expected = 50u * 1008u * 100u / sink.Capacity();
    EXPECT_GE(sink.PeakFillPercent(), expected - 3);
    EXPECT_LE(sink.PeakFillPercent(), expected + 1);
}

// A call bounded in time (the file's create at a Start, which a share that
// stopped answering can hang): back in time with its result, or given up on
// at the bound, and then the call's own thread releases what it holds.
struct SlowCall {
    std::atomic<bool> release{false};
    std::atomic<bool>* released = nullptr;
    int result = 0;
};

TEST(CallWithin, ACallInTimeGivesItsResultAndOneThatHangsIsGivenUpAtTheBound) {
    auto quick = [](void* argument) { static_cast<SlowCall*>(argument)->result = 42; };
    auto slow = [](void* argument) {
        auto* call = static_cast<SlowCall*>(argument);
        (void)WaitFor([&] { return call->release.load(); }, 20000);
        call->result = 7;
    };
    auto forget = [](void* argument) {
        auto* call = static_cast<SlowCall*>(argument);
        call->released->store(true);
        delete call;
    };
    std::atomic<bool> released{false};
    auto* inTime = new SlowCall;
    inTime->released = &released;
    ASSERT_TRUE(platform::CallWithin(1000, quick, forget, inTime));
    EXPECT_EQ(inTime->result, 42);
    EXPECT_FALSE(released.load()) << "a call back in time is the caller's again";
    delete inTime;

    auto* hung = new SlowCall;  // the call's thread frees it once given up
    hung->released = &released;
    const std::uint32_t start = platform::TickCountMs();
    EXPECT_FALSE(platform::CallWithin(300, slow, forget, hung));
    const std::uint32_t took = platform::TickCountMs() - start;
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 2000u);
    EXPECT_FALSE(released.load());
    hung->release = true;  // the hung call returns at last
    EXPECT_TRUE(WaitFor([&] { return released.load(); })) << "its thread did not release it";
}

// Every byte a recording was given, in its parts joined.
std::vector<std::uint8_t> Joined(const FileSink& sink) {
    std::vector<std::uint8_t> joined;
    for (std::uint32_t part = 1; part <= sink.Parts(); ++part) {
        char path[FileSink::kPathSize];
        sink.PartPath(part, path);
        const auto bytes = testing::ReadFileBytes(path);
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    return joined;
}

std::vector<std::uint8_t> PerfectBytes(std::uint32_t packets) {
    std::vector<std::uint8_t> expected;
    for (std::uint32_t p = 0; p < packets; p += 5) {
        const auto block = PerfectBlock(p, 5);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    return expected;
}

// The writer renames the part it records into while blocks keep coming: no
// byte is lost or written twice, and a name taken stays the other file's
// (the rename takes "(2)").
TEST_F(FileSinkEdgeTest, ARenameWhileRecordingKeepsEveryByteAndNeverTakesAnotherFile) {
    const std::string taken = dir_.File("Rai 1 - TG1.ts");
    { std::ofstream(taken) << "someone else's"; }
    FileSink sink(1 << 20);
    ASSERT_TRUE(sink.OpenFile(dir_.File("sid3401.ts").c_str()));
    std::uint32_t packet = 0;
    std::uint64_t accepted = PushPerfect(sink, packet, 40);
    ASSERT_TRUE(sink.RenameTo(1, taken.c_str()));
    EXPECT_FALSE(sink.RenameTo(1, dir_.File("again.ts").c_str())) << "one at a time";
    accepted += PushPerfect(sink, packet, 40);
    ASSERT_TRUE(WaitFor([&] { return sink.RenameState() != FileSink::Rename::kAsked; }));
    EXPECT_EQ(sink.RenameState(), FileSink::Rename::kDone);
    accepted += PushPerfect(sink, packet, 40);
    ASSERT_TRUE(sink.CloseFile());
    char path[FileSink::kPathSize];
    sink.PartPath(1, path);
    EXPECT_EQ(std::string(path), dir_.File("Rai 1 - TG1 (2).ts"));
    EXPECT_EQ(testing::ReadFileBytes(taken).size(), 14u);
    EXPECT_TRUE(testing::ReadFileBytes(dir_.File("sid3401.ts")).empty()) << "the old name is gone";
    ASSERT_EQ(accepted, PerfectBytes(packet).size()) << "the ring refused blocks";
    EXPECT_EQ(testing::ReadFileBytes(path), PerfectBytes(packet));
}

// In a recording split by size, only the part being written can be renamed;
// a part renamed begins names of its own ("Film - part 2.ts" after it), and
// the parts joined still hold every byte once.
TEST_F(FileSinkEdgeTest, ALaterPartRenamedNamesThePartsAfterIt) {
    FileSink sink(1 << 20);
    RecordingLimits limits;
    limits.splitBytes = 100 * 1024;
    ASSERT_TRUE(sink.OpenFile(dir_.File("split.ts").c_str(), 0, limits));
    std::uint32_t packet = 0;
    std::uint64_t accepted = PushPerfect(sink, packet, 150);
    ASSERT_TRUE(WaitFor([&] { return sink.BytesWritten() == accepted && sink.Parts() >= 2; }));
    const std::uint32_t part = sink.Parts();
    ASSERT_TRUE(sink.RenameTo(1, dir_.File("named.ts").c_str()));
    ASSERT_TRUE(WaitFor([&] { return sink.RenameState() != FileSink::Rename::kAsked; }));
    EXPECT_EQ(sink.RenameState(), FileSink::Rename::kFailed) << "part 1 is written no more";
    ASSERT_TRUE(sink.RenameTo(part, dir_.File("Film.ts").c_str()));
    ASSERT_TRUE(WaitFor([&] { return sink.RenameState() != FileSink::Rename::kAsked; }));
    EXPECT_EQ(sink.RenameState(), FileSink::Rename::kDone);
    accepted += PushPerfect(sink, packet, 150);
    ASSERT_TRUE(sink.CloseFile());
    ASSERT_GT(sink.Parts(), part);
    char path[FileSink::kPathSize];
    sink.PartPath(part, path);
    EXPECT_EQ(std::string(path), dir_.File("Film.ts"));
    sink.PartPath(part + 1, path);
    EXPECT_EQ(std::string(path), dir_.File("Film - part 2.ts"));
    sink.PartPath(part - 1, path);
    EXPECT_EQ(std::string(path), part == 2
                                     ? dir_.File("split.ts")
                                     : dir_.File("split-" + std::to_string(part - 1) + ".ts"));
    EXPECT_TRUE(testing::ReadFileBytes(dir_.File("named.ts")).empty());
    ASSERT_EQ(accepted, PerfectBytes(packet).size()) << "the ring refused blocks";
    EXPECT_EQ(Joined(sink), PerfectBytes(packet));
}

// SplitNow begins a next part with the writer's next batch and says which;
// a part that holds nothing yet is not cut, and the parts joined hold every
// byte once.
TEST_F(FileSinkEdgeTest, SplitNowBeginsANextPartAndSaysWhich) {
    FileSink sink(1 << 20);
    ASSERT_TRUE(sink.OpenFile(dir_.File("cut.ts").c_str()));
    sink.SplitNow();  // nothing written yet: no part to end
    std::uint32_t packet = 0;
    std::uint64_t accepted = PushPerfect(sink, packet, 40);
    ASSERT_TRUE(WaitFor([&] { return sink.BytesWritten() == accepted; }));
    EXPECT_EQ(sink.Parts(), 1u);
    EXPECT_EQ(sink.AskedPart(), 0u);
    sink.SplitNow();
    accepted += PushPerfect(sink, packet, 40);
    ASSERT_TRUE(WaitFor([&] { return sink.AskedPart() == 2; }));
    ASSERT_TRUE(sink.CloseFile());
    EXPECT_EQ(sink.Parts(), 2u);
    EXPECT_FALSE(testing::ReadFileBytes(dir_.File("cut-2.ts")).empty());
    ASSERT_EQ(accepted, PerfectBytes(packet).size()) << "the ring refused blocks";
    EXPECT_EQ(Joined(sink), PerfectBytes(packet));
}

}  // namespace
}  // namespace corvanlet
