// Faults and bad input, end to end through the built module and its dialog:
// each has a clear outcome, and nothing that was accepted is lost.
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "simulated_host.h"
#include "support/module_harness.h"
#include "support/temp_dir.h"
#include "transport_stream.h"

namespace corvanlet {
namespace {

using hostsim::DialogDriver;
using testing::ReadFileBytes;
using testing::StartThroughDialog;
using testing::WithDialog;

class FaultTest : public testing::ModuleTestBase {
  protected:
    void SetUp() override {
        ModuleTestBase::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(module_.Handshake(host_.Window()));
        host_.SetStream(hostsim::MakeTransportStream({0x100, 0x200}, 4000));
        host_.SetRateMBps(4);
    }
};

TEST_F(FaultTest, FullDiskFailsEveryWriteButTheModuleGoesOn) {
    std::string sizeShown, lostShown, errorsShown, lostAtStop;
    bool recording = false;
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        recording = StartThroughDialog(dialog, "256", "full", "Z:\\dev");
        host_.WaitForDeliveryEnd(10000);
        Sleep(1200);  // a timer tick
        sizeShown = dialog.Text(IDC_SIZE_EDIT);
        lostShown = dialog.Text(IDC_LOST_EDIT);
        errorsShown = dialog.Text(IDC_ERRORS_EDIT);
        dialog.Press(IDC_STOP_BUTTON);
        lostAtStop = dialog.Text(IDC_LOST_EDIT);
        // A later recording to a good directory works.
        EXPECT_TRUE(StartThroughDialog(dialog, "256", "good.dat", dir_.Path().string()));
        host_.WaitForDeliveryEnd(10000);
        dialog.Press(IDC_STOP_BUTTON);
    }));
    EXPECT_TRUE(recording) << "could not open Z:\\dev\\full";
    EXPECT_EQ(sizeShown, "0");  // nothing reached the disk
    // Lost: every byte delivered (failed writes); the stream itself was whole.
    EXPECT_EQ(lostAtStop, std::to_string(host_.Delivered().bytes));
    EXPECT_FALSE(lostShown.empty());
    EXPECT_EQ(errorsShown, "0");
    const auto file = ReadFileBytes(dir_.File("good.dat"));
    EXPECT_EQ(file.size(), host_.Delivered().bytes);
    EXPECT_GT(file.size(), 0u);
}

TEST_F(FaultTest, LostCountsRefusedBlocksAndErrorsSaysDashForBlocksThatAreNotPackets) {
    // Blocks of 188 bytes that do not start with a sync byte, delivered flat
    // out into the smallest ring: some are refused, none is checked.
    auto stream = hostsim::MakeTransportStream({0x100}, 60000);
    for (std::size_t at = 0; at < stream.size(); at += 188) stream[at] = 0x00;
    host_.SetStream(stream);
    host_.SetRateMBps(0);
    WritePrivateProfileStringA("Corvanlet", "BufferKB", "100", dir_.File("Options.ini").c_str());
    EXPECT_EQ(module_.start(), 1);  // reads BufferKB
    std::string lost, errors;
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        ASSERT_TRUE(StartThroughDialog(dialog, "256", "raw.dat", dir_.Path().string()));
        host_.WaitForDeliveryEnd(20000);
        dialog.Press(IDC_STOP_BUTTON);
        lost = dialog.Text(IDC_LOST_EDIT);
        errors = dialog.Text(IDC_ERRORS_EDIT);
    }));
    const auto file = ReadFileBytes(dir_.File("raw.dat"));
    EXPECT_EQ(lost, std::to_string(host_.Delivered().bytes - file.size()));
    EXPECT_EQ(errors, "-");
}

TEST_F(FaultTest, MissingDirectoryOrLockedFileRefusesToStart) {
    const std::string locked = dir_.File("locked.dat");
    platform::UniqueFileHandle holder(CreateFileA(locked.c_str(), GENERIC_WRITE, 0, nullptr,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    bool missingStarted = true, lockedStarted = true, startStillEnabled = false;
    bool afterRelease = false;
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        missingStarted = StartThroughDialog(dialog, "256", "a.dat", dir_.File("no\\such\\dir"));
        lockedStarted = StartThroughDialog(dialog, "256", "locked.dat", dir_.Path().string());
        startStillEnabled = dialog.Enabled(IDC_START_BUTTON) && dialog.Enabled(IDC_PID_EDIT);
        holder.Reset();
        afterRelease = StartThroughDialog(dialog, "256", "locked.dat", dir_.Path().string());
        host_.WaitForDeliveryEnd(10000);
        dialog.Press(IDC_STOP_BUTTON);
    }));
    EXPECT_FALSE(missingStarted);
    EXPECT_FALSE(lockedStarted);
    EXPECT_TRUE(startStillEnabled);
    EXPECT_TRUE(afterRelease);
    // Only the start that worked registered, after the dialog's look at the
    // services (PAT and SDT) when it opened.
    EXPECT_EQ(host_.AddMessages(), 1u + 2u);
    EXPECT_EQ(ReadFileBytes(locked).size(), host_.Delivered().bytes);
}

// Text that cannot mean a PID starts nothing and says why (it used to
// record PID 0, the PAT, as if asked); what the old reading gave a PID for,
// and one PID typed twice, still record it.
TEST_F(FaultTest, PidTextThatMeansNoPidIsRefusedWithTheReason) {
    const struct {
        const char* typed;
        const char* why;
    } refused[] = {
        {"abc", "Type a PID (0 to 8191), PIDs with spaces, or sid and a number"},
        {"  -12xyz", "-12 is not a PID (0 to 8191, or 8192 for the whole stream)"},
        {"9000", "9000 is not a PID (0 to 8191, or 8192 for the whole stream)"},
        {"0x200 9000", "9000 is not a PID (0 to 8191 in a list)"},
        {"0x200;0x28a", "';' is not a separator: use spaces or commas"},
        {"sid 99999", "sid must be 1 to 65535"},
        {"sid abc", "sid must be 1 to 65535"},
    };
    for (const auto& c : refused) {
        std::string status;
        bool started = true;
        ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
            started = StartThroughDialog(dialog, c.typed, "junk.dat", dir_.Path().string());
            status = dialog.Text(IDC_STATUS_TEXT);
            if (started) dialog.Press(IDC_STOP_BUTTON);
        }));
        EXPECT_FALSE(started) << c.typed;
        EXPECT_EQ(status, c.why) << c.typed;
    }
    const auto log = ReadFileBytes(dir_.File("Corvanlet.log"));
    const std::string text(log.begin(), log.end());
    EXPECT_NE(text.find("start-failed pid=\"0x200;0x28a\" file=\""), std::string::npos) << text;
    EXPECT_NE(text.find("reason=bad-pid why=\"sid must be 1 to 65535\""), std::string::npos);
    EXPECT_EQ(text.find(" start pid="), std::string::npos) << "nothing was recorded";

    const struct {
        const char* typed;
        std::uint16_t sent;
    } kept[] = {
        {"  42abc", 42},  {"4294967552", 256},  // wraps past 32 bits, as it always did
        {"0x100", 0x100}, {"0x200,0x200", 0x200}, {"0x1FFF 8191", 0x1FFF},
    };
    for (const auto& c : kept) {
        ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
            EXPECT_TRUE(StartThroughDialog(dialog, c.typed, "junk.dat", dir_.Path().string()));
            dialog.Press(IDC_STOP_BUTTON);
        }));
        EXPECT_EQ(host_.LastRegistration().pid, c.sent) << c.typed;
    }
}

// Accented letters typed into the dialog reach the file system as typed,
// whatever the system's code page.
TEST_F(FaultTest, FileNameWithAccentedLetters) {
    // "Grün été.dat", typed (the driver types UTF-8 through the wide API).
    const std::string name = "Gr\xC3\xBCn \xC3\xA9t\xC3\xA9.dat";
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        EXPECT_TRUE(StartThroughDialog(dialog, "256", name, dir_.Path().string()));
        host_.WaitForDeliveryEnd(10000);
        dialog.Press(IDC_STOP_BUTTON);
    }));
    std::wstring wide = std::wstring(dir_.Path().wstring()) + L"\\Gr\u00FCn \u00E9t\u00E9.dat";
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, host_.Delivered().bytes);
    EXPECT_GT(data.nFileSizeLow, 0u);
}

// The lowest free handle value: it grows when handles leak.
std::uintptr_t NextHandleValue() {
    const platform::UniqueHandle probe(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    return reinterpret_cast<std::uintptr_t>(probe.Get());
}

// Committed private memory of the process, found by walking its address
// space (the system's own counters read 0 under wine): heap growth, leaked
// ring storage and leaked thread stacks all show here.
std::size_t PrivateBytes() {
    std::size_t total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (auto* at = static_cast<std::uint8_t*>(nullptr);
         VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<std::uint8_t*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (region.RegionSize == 0) break;
    }
    return total;
}

TEST_F(FaultTest, HundredsOfStartStopCyclesLeakNoHandlesOrMemory) {
    {
        // The probes do see leaks: three handles and 4 MiB held on purpose.
        const std::uintptr_t handles = NextHandleValue();
        const std::size_t memory = PrivateBytes();
        HANDLE held[3];
        for (HANDLE& h : held) h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        void* block = VirtualAlloc(nullptr, 4 << 20, MEM_COMMIT, PAGE_READWRITE);
        EXPECT_GT(NextHandleValue(), handles);
        EXPECT_GE(PrivateBytes(), memory + (4 << 20));
        for (HANDLE h : held) CloseHandle(h);
        VirtualFree(block, 0, MEM_RELEASE);
    }
    const std::string directory = dir_.Path().string();
    std::uintptr_t handleBefore = 0, handleAfter = 0;
    std::size_t memoryBefore = 0, memoryAfter = 0;
    int started = 0;
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        dialog.Type(IDC_PID_EDIT, "256");
        dialog.Type(IDC_FILE_NAME_EDIT, "cycle.dat");
        dialog.Type(IDC_DIRECTORY_EDIT, directory);
        for (int cycle = 0; cycle < 300; ++cycle) {
            if (cycle == 20) {  // after the first allocations have settled
                handleBefore = NextHandleValue();
                memoryBefore = PrivateBytes();
            }
            dialog.Press(IDC_START_BUTTON);
            started += dialog.Enabled(IDC_STOP_BUTTON) ? 1 : 0;
            dialog.Press(IDC_STOP_BUTTON);
        }
        handleAfter = NextHandleValue();
        memoryAfter = PrivateBytes();
    }));
    EXPECT_EQ(started, 300);
    // One each a cycle, and the dialog's look at the services when it opened.
    EXPECT_EQ(host_.AddMessages(), 300u + 2u);
    EXPECT_EQ(host_.RemoveMessages(), 300u + 2u);
    // Each cycle opens a file, a ring of 16 MiB and a thread; none of them
    // may stay behind. A few handles of slack for the system's own.
    EXPECT_LE(handleAfter, handleBefore + 16) << handleBefore;
    EXPECT_LT(memoryAfter, memoryBefore + 4 * 1024 * 1024) << memoryBefore;
    std::printf("handles %zu -> %zu, private bytes %zu -> %zu\n",
                static_cast<std::size_t>(handleBefore), static_cast<std::size_t>(handleAfter),
                memoryBefore, memoryAfter);
}

}  // namespace
}  // namespace corvanlet
