// A disk that stops answering, through the built module and a real file
// system: tests/scripts/with_stuckfs.sh mounts one whose writes past a size
// hang (CORVANLET_STUCK_DIR) and names the file that switches that on
// (CORVANLET_STUCK_CONTROL). The host frees the library around a write that
// does not return, and loads it again: nothing crashes, the image is really
// gone, and the next load is a fresh module.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/module_harness.h"
#include "support/temp_dir.h"
#include "transport_stream.h"

namespace corvanlet {
namespace {

using hostsim::DialogDriver;
using testing::LoadedModule;
using testing::ReadFileBytes;
using testing::StartThroughDialog;
using testing::TempDir;
using testing::WithDialog;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class StuckDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stuckDir_ = Environment("CORVANLET_STUCK_DIR");
        control_ = Environment("CORVANLET_STUCK_CONTROL");
        if (stuckDir_.empty() || control_.empty()) {
            GTEST_SKIP()
                << "needs a stalling file system: run through tests/scripts/with_stuckfs.sh";
        }
        ASSERT_TRUE(host_.Create());
        host_.SetStream(hostsim::MakeTransportStream({0x100}, 12000));  // 2.2 MB
        host_.SetRateMBps(8);
    }
    void TearDown() override { Control(""); }  // every held write returns

    // Writes past `bytes` into any file of the stalling file system hang.
    void Control(const std::string& settings) {
        std::ofstream(control_, std::ios::trunc) << settings;
    }
    std::string Log() const {
        const auto bytes = ReadFileBytes(dir_.File("Corvanlet.log"));
        return {bytes.begin(), bytes.end()};
    }
    std::string ModulePath() const { return dir_.File("Corvanlet.Module"); }
    // Records the host's stream into `directory`; true when it started.
    bool Record(LoadedModule& module, const std::string& name, const std::string& directory) {
        bool started = false;
        EXPECT_TRUE(WithDialog(module, [&](DialogDriver& dialog) {
            started = StartThroughDialog(dialog, "256", name, directory);
            EXPECT_TRUE(host_.WaitForDeliveryEnd(20000));
        }));
        return started;
    }
    // A load after the library was freed: the image was unmapped (no pin kept
    // it), and the module records like a fresh one.
    void ExpectAFreshLoadRecords() {
        EXPECT_EQ(GetModuleHandleA(ModulePath().c_str()), nullptr) << "the library stayed mapped";
        LoadedModule again(dir_.Path().string());
        ASSERT_TRUE(again.Loaded());
        ASSERT_TRUE(again.Handshake(host_.Window()));
        EXPECT_EQ(again.start(), 1);
        host_.SetStream(hostsim::MakeTransportStream({0x100}, 2000));
        ASSERT_TRUE(Record(again, "fresh.dat", dir_.Path().string()));
        EXPECT_EQ(again.stop(), 1);
        EXPECT_EQ(ReadFileBytes(dir_.File("fresh.dat")).size(), host_.Delivered().bytes);
    }
    // The held writes return: a writer that came back into the freed
    // library's code would crash this process here.
    void ReleaseTheDiskAndLive() {
        Control("");
        Sleep(1500);
        SUCCEED() << "still alive after the held writes returned";
    }

    std::string stuckDir_, control_;
    TempDir dir_;
    hostsim::SimulatedHost host_;
};

// The host frees the library while its writer is stuck in a write: the
// unload returns within the bound, sends the removal, writes the stop line
// and says the writer was stopped for good.
TEST_F(StuckDiskTest, AnUnloadDuringAStuckWriteStopsTheWriterAndTheNextLoadIsFresh) {
    Control("hang_write_after=1000000\nhang_seconds=60\n");
    std::uint32_t tookMs = 0;
    {
        LoadedModule module(dir_.Path().string());
        ASSERT_TRUE(module.Loaded());
        ASSERT_TRUE(module.Handshake(host_.Window()));
        ASSERT_TRUE(Record(module, "stuck.ts", stuckDir_));
        Sleep(300);  // the writer reaches the write that hangs
        const DWORD start = GetTickCount();
        module.Unload();
        tookMs = GetTickCount() - start;
    }
    std::printf("  unload with a write stuck took %u ms\n", tookMs);
    // The held write returns after 60 s: an unload that waited for it is far past this.
    EXPECT_LT(tookMs, 30000u);
    EXPECT_EQ(host_.RemoveMessages(), 1u + 2u);  // and the dialog's two for its service list
    const std::string log = Log();
    EXPECT_NE(log.find(" reason=disk-stuck"), std::string::npos) << log;
    EXPECT_NE(log.find(" unload stuck_writers=1"), std::string::npos) << log;
    ExpectAFreshLoadRecords();
    ReleaseTheDiskAndLive();
}

// A Stop left a writer stuck; a later recording to a healthy disk runs and
// the host frees the library: that recording is stopped like any other at
// unload (removal, whole file, stop line), and the stuck writer is stopped
// for good.
TEST_F(StuckDiskTest, AnUnloadAfterAStuckStopStopsTheRecordingThatRunsThen) {
    Control("hang_write_after=1000000\nhang_seconds=60\n");
    std::string healthy;
    {
        LoadedModule module(dir_.Path().string());
        ASSERT_TRUE(module.Loaded());
        ASSERT_TRUE(module.Handshake(host_.Window()));
        ASSERT_TRUE(Record(module, "held.ts", stuckDir_));
        Sleep(300);
        EXPECT_EQ(module.stop(), 1);  // leaves the stuck writer behind
        host_.SetStream(hostsim::MakeTransportStream({0x100}, 3000));
        ASSERT_TRUE(Record(module, "healthy.dat", dir_.Path().string()));
        module.Unload();  // no Module_Stop first
    }
    EXPECT_EQ(host_.RemoveMessages(), 2u + 2u * 2u);  // and each dialog's two for its service list
    EXPECT_EQ(ReadFileBytes(dir_.File("healthy.dat")).size(), host_.Delivered().bytes);
    EXPECT_TRUE(DeleteFileA(dir_.File("healthy.dat").c_str())) << "the file was left open";
    const std::string log = Log();
    EXPECT_NE(log.find(" reason=disk-stuck"), std::string::npos) << log;
    EXPECT_NE(log.find(" reason=unload"), std::string::npos) << log;
    EXPECT_NE(log.find(" unload stuck_writers=1"), std::string::npos) << log;
    ExpectAFreshLoadRecords();
    ReleaseTheDiskAndLive();
}

// A file system that refuses growth past 1.5 MB (as FAT does at 4 GiB - 1),
// which reaches the module through wine as some other error than "file too
// large": the recording goes on in a second part, the parts joined are what
// was delivered, and the log says where the limit was.
TEST_F(StuckDiskTest, AFileSystemThatRefusesGrowthGetsANextPartWhateverItsError) {
    Control("efbig_after=1500000\n");
    const auto stream = hostsim::MakeTransportStream({0x100}, 12000);
    host_.SetStream(stream);
    {
        LoadedModule module(dir_.Path().string());
        ASSERT_TRUE(module.Loaded());
        ASSERT_TRUE(module.Handshake(host_.Window()));
        ASSERT_TRUE(Record(module, "big.dat", stuckDir_));
        EXPECT_EQ(module.stop(), 1);
    }
    auto joined = ReadFileBytes(stuckDir_ + "\\big.dat");
    EXPECT_LE(joined.size(), 1500000u);
    const auto second = ReadFileBytes(stuckDir_ + "\\big-2.dat");
    joined.insert(joined.end(), second.begin(), second.end());
    EXPECT_EQ(host_.Delivered().bytes, stream.size());
    EXPECT_TRUE(joined == stream) << joined.size() << " bytes joined of " << stream.size();
    const std::string log = Log();
    EXPECT_NE(log.find(" size-limit bytes="), std::string::npos) << log;
    EXPECT_NE(log.find(" failed_writes=0 "), std::string::npos) << log;
    EXPECT_NE(log.find(" parts=2"), std::string::npos) << log;
}

}  // namespace
}  // namespace corvanlet
