// The recording filter against a simulated host in the same process: a real
// window answering the filter messages and a delivery thread calling back.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "host/recording_filter.h"
#include "simulated_host.h"
#include "platform/handles.h"
#include "support/hosted_test.h"
#include "support/temp_dir.h"
#include "support/test_blocks.h"
#include "transport_stream.h"

namespace corvanlet {
namespace {

using hostsim::MakeTransportStream;
using testing::ReadFileBytes;

class FilterTest : public testing::HostedTest {
  protected:
    void TearDown() override { filter_.Stop(); }
    bool Start(std::int32_t pid, const std::string& path, std::int32_t ringBytes = 0) {
        return filter_.Start(link_, pid, path.c_str(), ringBytes);
    }

    std::vector<std::uint8_t> DeliveredBytes(std::uint16_t pid) const {
        std::vector<std::uint8_t> bytes;
        for (const auto& block : hostsim::BlocksForPid(stream_, pid)) {
            bytes.insert(bytes.end(), block.begin(), block.end());
        }
        return bytes;
    }

    RecordingFilter filter_;
    std::vector<std::uint8_t> stream_ = MakeTransportStream({0x100, 0x200, 0x100, 0x1FFF}, 4000);
};

TEST_F(FilterTest, RegistrationRecordCarriesIdPidNameAndCallback) {
    link_.ownerId = 0x12345;  // only the low 16 bits travel
    ASSERT_TRUE(Start(0x10100, dir_.File("a.dat")));
    const FilterRegistration& sent = host_.LastRegistration();
    EXPECT_EQ(sent.ownerId, 0x2345);
    EXPECT_EQ(sent.reserved02, 0);
    EXPECT_EQ(sent.pid, 0x0100);
    EXPECT_EQ(filter_.Filter()->Pid(), 0x10100);  // the filter keeps the full value
    EXPECT_EQ(sent.reserved24, 0u);
    EXPECT_EQ(sent.callback, reinterpret_cast<std::uintptr_t>(&DataCallback));
    EXPECT_EQ(sent.hostHandle, 0u);  // zero when sent
    // The link's module name (here the process's own file name), followed
    // by zero bytes up to the end of the field.
    EXPECT_STREQ(sent.moduleName, "host_tests.exe");
    for (std::size_t i = std::strlen("host_tests.exe"); i < sizeof sent.moduleName; ++i) {
        EXPECT_EQ(sent.moduleName[i], 0) << i;
    }
    // The record stays in the filter; the host's handle written at 0x2C goes
    // back with the removal.
    EXPECT_EQ(host_.LastRegistrationAddress(), &filter_.Filter()->Registration());
    EXPECT_EQ(filter_.Filter()->Registration().hostHandle, host_.LastGivenHandle());
    filter_.Stop();
    EXPECT_EQ(host_.RemoveMessages(), 1u);
    EXPECT_EQ(host_.LastRemovedHandle(), host_.LastGivenHandle());
}

TEST_F(FilterTest, LongModuleNameFillsTheFieldWithoutTerminator) {
    platform::UniqueLibrary module(LoadLibraryA("corvanlet_module_with_a_long_file_name.dll"));
    ASSERT_TRUE(module);
    HostLink::ModuleFileName(module.Get(), link_.moduleName);
    ASSERT_TRUE(Start(1, dir_.File("a.dat")));
    const FilterRegistration& sent = host_.LastRegistration();
    EXPECT_EQ(std::string(sent.moduleName, 30), "corvanlet_module_with_a_long_f");
}

TEST_F(FilterTest, RefusedAndWindowlessRegistrationsRecordNothingAndSendNoRemoval) {
    host_.SetAccept(false);
    ASSERT_TRUE(Start(0x100, dir_.File("refused.dat")));
    EXPECT_FALSE(filter_.Filter()->Accepted());
    EXPECT_TRUE(filter_.IsRecording());  // recording, not fed
    std::uint8_t block[188] = {0x47};
    DataCallback(0, 188, block);  // nothing is routed
    filter_.Stop();
    EXPECT_EQ(host_.RemoveMessages(), 0u);
    EXPECT_FALSE(filter_.IsRecording());
    EXPECT_EQ(filter_.Sink().BytesWritten(), 0u);
    EXPECT_EQ(filter_.Sink().DroppedBlocks(), 0u);

    link_.window = nullptr;  // no handshake yet: the message reaches nobody
    ASSERT_TRUE(Start(0x100, dir_.File("nowindow.dat")));
    EXPECT_FALSE(filter_.Filter()->Accepted());
    filter_.Stop();
    EXPECT_EQ(ReadFileBytes(dir_.File("nowindow.dat")).size(), 0u);
}

TEST_F(FilterTest, FileThatCannotBeCreatedRegistersNothing) {
    EXPECT_FALSE(Start(0x100, dir_.File("no/such/dir/a.dat")));
    EXPECT_EQ(host_.AddMessages(), 0u);
    EXPECT_FALSE(filter_.IsRecording());
    EXPECT_EQ(filter_.Filter(), nullptr);
}

TEST_F(FilterTest, RecordingEqualsWhatTheHostDelivered) {
    host_.SetStream(stream_);
    host_.SetRateMBps(4);  // a busy PID (flat out would overflow the ring)
    const std::string path = dir_.File("rec.dat");
    ASSERT_TRUE(Start(0x100, path));
    ASSERT_TRUE(host_.WaitForDeliveryEnd(20000));
    filter_.Stop();
    const auto expected = DeliveredBytes(0x100);
    EXPECT_EQ(host_.Delivered().bytes, expected.size());
    EXPECT_EQ(ReadFileBytes(path), expected);
    EXPECT_EQ(filter_.Sink().BytesWritten(), expected.size());
}

TEST_F(FilterTest, StopWhileTheHostDeliversFlatOut) {
    // Hundreds of stops while the delivery thread is mid-stream, flat out so
    // the ring overflows too: every accepted block is in the file, whole and
    // in order, and every other one is counted as dropped.
    host_.SetStream(stream_);
    host_.SetLoop(true);
    const auto packets = DeliveredBytes(0x200);  // 1000 packets, 200 whole blocks
    const std::size_t blockSize = hostsim::kPacketsPerBlock * hostsim::kPacketSize;
    ASSERT_EQ(packets.size() % blockSize, 0u);
    const std::size_t packetCount = packets.size() / hostsim::kPacketSize;
    // Where each packet of the stream (by its running number) sits in the PID's packets.
    std::vector<std::size_t> positionOf(stream_.size() / hostsim::kPacketSize, packetCount);
    for (std::size_t p = 0; p < packetCount; ++p) {
        std::uint32_t streamIndex = 0;
        std::memcpy(&streamIndex, packets.data() + p * hostsim::kPacketSize + 4, 4);
        positionOf[streamIndex] = p;
    }
    for (int cycle = 0; cycle < 300; ++cycle) {
        const std::string path = dir_.File("storm.dat");
        ASSERT_TRUE(Start(0x200, path, 100 * 1024));  // small, so that it overflows too
        Sleep(cycle % 4);
        filter_.Stop();
        const auto delivered = host_.Delivered();
        const auto file = ReadFileBytes(path);
        ASSERT_EQ(file.size() + filter_.Sink().DroppedBlocks() * blockSize, delivered.bytes)
            << "cycle " << cycle;
        ASSERT_EQ(file.size() % blockSize, 0u);
        // Packets follow the stream's order; only between blocks may some be
        // missing (dropped blocks), never inside one.
        std::size_t expected = 0;
        for (std::size_t offset = 0; offset < file.size(); offset += hostsim::kPacketSize) {
            std::uint32_t streamIndex = 0;
            std::memcpy(&streamIndex, file.data() + offset + 4, 4);
            ASSERT_LT(streamIndex, positionOf.size());
            const std::size_t position = positionOf[streamIndex];
            ASSERT_LT(position, packetCount) << "cycle " << cycle << " offset " << offset;
            ASSERT_EQ(
                std::memcmp(file.data() + offset, packets.data() + position * hostsim::kPacketSize,
                            hostsim::kPacketSize),
                0);
            const bool blockStart = offset % blockSize == 0;
            if (blockStart) {
                ASSERT_EQ(position % hostsim::kPacketsPerBlock, 0u);
            } else {
                ASSERT_EQ(position, expected) << "cycle " << cycle;
            }
            expected = (position + 1) % packetCount;
        }
    }
    EXPECT_EQ(host_.AddMessages(), 300u);
    EXPECT_EQ(host_.RemoveMessages(), 300u);
}

TEST_F(FilterTest, HostCallingAfterRemovalReachesNothing) {
    host_.SetStream(stream_);
    host_.SetLoop(true);
    host_.SetCallAfterRemovalMs(300);
    const std::string path = dir_.File("after.dat");
    ASSERT_TRUE(Start(0x100, path));
    Sleep(20);
    filter_.Stop();
    const auto delivered = host_.Delivered();
    Sleep(350);  // the faulty host calls on meanwhile
    EXPECT_GT(host_.CallsAfterRemoval(), 0u);
    const std::size_t blockSize = hostsim::kPacketsPerBlock * hostsim::kPacketSize;
    // Whatever it delivered before the removal is accounted for, except the
    // one call this host had under way while the removal ran (it does not wait
    // for it, so that call is one after the removal); the calls after it
    // change nothing once the filter is stopped.
    const auto file = ReadFileBytes(path);
    EXPECT_GE(file.size() + (filter_.Sink().DroppedBlocks() + 1) * blockSize, delivered.bytes);
    Sleep(50);
    EXPECT_EQ(ReadFileBytes(path).size(), file.size());
}

TEST_F(FilterTest, BadBlocksAreDroppedOrIgnored) {
    const std::string path = dir_.File("bad.dat");
    ASSERT_TRUE(Start(0x100, path));
    std::vector<std::uint8_t> block(1001, 0x47);
    DataCallback(0, 1001, block.data());  // too long: dropped and counted
    DataCallback(0, 500, nullptr);        // no data: dropped and counted
    DataCallback(0, 0, block.data());     // empty: nothing to queue
    DataCallback(0, -1, block.data());    // negative: nothing to queue
    DataCallback(0, 1000, block.data());  // the largest block is taken
    filter_.Stop();
    EXPECT_EQ(filter_.Sink().DroppedBlocks(), 2u);
    EXPECT_EQ(filter_.Sink().DroppedBytes(), 1501u);
    EXPECT_EQ(ReadFileBytes(path).size(), 1000u);
}

TEST_F(FilterTest, TwoDeliveriesAtOnceAreNeverRacedIntoTheRingAndLoseNothing) {
    // A host that breaks the one-thread-at-a-time rule: two threads call the
    // callback at once, flat out. A block that meets another delivery under
    // way waits for it; the file holds whole blocks, each once, each
    // thread's in its order, and at least 99% of them.
    const std::string path = dir_.File("twice.dat");
    ASSERT_TRUE(Start(0x100, path));
    constexpr std::uint32_t kBlocksEach = 20000;
    auto deliver = [](std::uint32_t first) {
        std::uint8_t block[188];
        for (std::uint32_t i = first; i < first + kBlocksEach; ++i) {
            testing::MakeBlock(i, sizeof block, block);
            DataCallback(0, sizeof block, block);
        }
    };
    std::thread one(deliver, 0);
    std::thread two(deliver, kBlocksEach);
    one.join();
    two.join();
    filter_.Stop();
    const auto file = ReadFileBytes(path);
    ASSERT_EQ(file.size() % 188, 0u);
    EXPECT_EQ(file.size() / 188 + filter_.Sink().DroppedBlocks(), 2 * kBlocksEach);
    EXPECT_EQ(filter_.Sink().DroppedBytes(), filter_.Sink().DroppedBlocks() * 188);
    std::vector<bool> seen(2 * kBlocksEach);
    std::int64_t last[2] = {-1, -1};
    for (std::size_t at = 0; at < file.size(); at += 188) {
        const std::uint32_t seq = testing::SequenceOf(file.data() + at);
        ASSERT_LT(seq, seen.size());
        ASSERT_FALSE(seen[seq]) << "block " << seq << " twice";
        ASSERT_TRUE(testing::BlockMatches(seq, file.data() + at, 188));
        seen[seq] = true;
        std::int64_t& previous = last[seq / kBlocksEach];
        ASSERT_GT(static_cast<std::int64_t>(seq), previous) << "out of its thread's order";
        previous = seq;
    }
    const double kept = static_cast<double>(file.size() / 188) / (2.0 * kBlocksEach);
    std::printf("  two callers flat out: %.2f%% of %u blocks recorded\n", 100 * kept,
                2 * kBlocksEach);
    EXPECT_GE(kept, 0.99);
}

// Two threads that each deliver 10 MB/s of one-packet blocks, paced, on a
// busy machine: a caller preempted inside its turn must cost nothing.
TEST_F(FilterTest, APacedPairOfCallersLosesNothing) {
    const std::string path = dir_.File("pair.dat");
    ASSERT_TRUE(Start(0x100, path));
    constexpr std::uint32_t kBlocksEach = 80000;  // 15 MB each, 1.5 s at 10 MB/s
    const TurnFigures before = ReadTurnFigures();
    auto deliver = [](std::uint32_t first) {
        std::uint8_t block[188];
        for (std::uint32_t i = first; i < first + kBlocksEach; ++i) {
            testing::MakeBlock(i, sizeof block, block);
            DataCallback(0, sizeof block, block);
            if (i % 53 == 52) Sleep(1);  // about 10 MB/s
        }
    };
    // Two more threads that keep both processors busy, as other work on the
    // machine does: a caller is then often preempted inside its turn.
    std::atomic<bool> done{false};
    auto busy = [&] {
        while (!done.load(std::memory_order_relaxed)) {
        }
    };
    std::thread busy1(busy), busy2(busy);
    std::thread one(deliver, 0);
    std::thread two(deliver, kBlocksEach);
    one.join();
    two.join();
    done = true;
    busy1.join();
    busy2.join();
    filter_.Stop();
    const TurnFigures after = ReadTurnFigures();
    std::printf("  paced pair: %llu waits for the turn, %llu refused, longest %llu us\n",
                static_cast<unsigned long long>(after.waits - before.waits),
                static_cast<unsigned long long>(after.refusals - before.refusals),
                static_cast<unsigned long long>(after.longestWaitUs));
    EXPECT_EQ(filter_.Sink().DroppedBlocks(), 0u);
    EXPECT_EQ(ReadFileBytes(path).size(), 2u * kBlocksEach * 188);
}

TEST_F(FilterTest, StartWhileRecordingEndsTheFirstRecordingCleanly) {
    host_.SetStream(stream_);
    host_.SetRateMBps(4);
    const std::string first = dir_.File("first.dat");
    const std::string second = dir_.File("second.dat");
    ASSERT_TRUE(Start(0x100, first));
    ASSERT_TRUE(host_.WaitForDeliveryEnd(20000));
    const auto firstDelivered = host_.Delivered();
    ASSERT_TRUE(Start(0x200, second));
    EXPECT_EQ(host_.RemoveMessages(), 1u);  // the first registration was removed
    EXPECT_EQ(host_.AddMessages(), 2u);
    ASSERT_TRUE(host_.WaitForDeliveryEnd(20000));
    filter_.Stop();
    EXPECT_EQ(host_.RemoveMessages(), 2u);
    EXPECT_EQ(ReadFileBytes(first).size(), firstDelivered.bytes);
    EXPECT_EQ(ReadFileBytes(second), DeliveredBytes(0x200));
    // Both files are closed: they can be removed.
    EXPECT_TRUE(DeleteFileA(first.c_str()));
    EXPECT_TRUE(DeleteFileA(second.c_str()));
}

}  // namespace
}  // namespace corvanlet
