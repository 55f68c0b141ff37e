// The built "Corvanlet.Module" itself: loaded from a copy in a fresh
// directory, driven through its exports and its dialog, against the
// simulated host in this process.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "corvanlet/host_api.h"
#include "corvanlet/ids.h"
#include "simulated_host.h"
#include "dialog_driver.h"
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

class ModuleTest : public testing::ModuleTestBase {
  protected:
    // The handshake and Module_Start, with the host delivering two PIDs
    // slowly, again and again.
    void StartHostDelivering() {
        ASSERT_TRUE(module_.Handshake(host_.Window()));
        module_.start();
        host_.SetStream(hostsim::MakeTransportStream({0x101, 0x102}, 2000));
        host_.SetLoop(true);
        host_.SetRateMBps(0.2);
    }
    std::string Ini(const char* key) const {
        char value[1024] = {};
        GetPrivateProfileStringA("Corvanlet", key, "(none)", value, sizeof value,
                                 dir_.File("Options.ini").c_str());
        return value;
    }
};

TEST_F(ModuleTest, HandshakeChecksSizeAndVersionAndRecordsTheHost) {
    EXPECT_EQ(module_.getInfo(nullptr), 0);
    ModuleInfo info{};
    info.size = sizeof(ModuleInfo) - 1;
    info.interfaceVersion = CORVANLET_INTERFACE_VERSION;
    ModuleInfo before = info;
    EXPECT_EQ(module_.getInfo(&info), 0);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);  // untouched
    info.size = sizeof(ModuleInfo);
    info.interfaceVersion = 110;
    before = info;
    EXPECT_EQ(module_.getInfo(&info), 0);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);

    info = ModuleInfo{};
    info.size = 0xFFFFFFFFu;  // passes the size test
    info.interfaceVersion = 200;
    info.hostWindow =
        static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(host_.Window()));
    EXPECT_EQ(module_.getInfo(&info), 1);
    EXPECT_EQ(info.moduleVersion, 100u);
    EXPECT_EQ(info.interfaceVersion, static_cast<std::uint32_t>(CORVANLET_INTERFACE_VERSION));
    EXPECT_EQ(info.entryCount, 1u);
    EXPECT_EQ(info.moduleInterfaceVersion, static_cast<std::uint32_t>(CORVANLET_INTERFACE_VERSION));

    // A refused handshake later changes nothing: registrations still go to
    // the first host's window, with its id (0 means 256).
    hostsim::SimulatedHost other;
    ASSERT_TRUE(other.Create());
    ModuleInfo refused{};
    refused.size = sizeof(ModuleInfo);
    refused.interfaceVersion = 110;
    refused.hostWindow =
        static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(other.Window()));
    refused.hostAssignedId = 7;
    EXPECT_EQ(module_.getInfo(&refused), 0);
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        EXPECT_TRUE(StartThroughDialog(dialog, "8191", "h.dat", dir_.Path().string()));
        dialog.Press(IDC_STOP_BUTTON);
    }));
    EXPECT_EQ(other.AddMessages(), 0u);
    // The dialog's look at the services (PAT and SDT), then the recording's.
    ASSERT_EQ(host_.AddMessages(), 3u);
    EXPECT_EQ(host_.LastRegistration().ownerId, 256);
    EXPECT_EQ(host_.LastRegistration().pid, 8191);
    EXPECT_STREQ(host_.LastRegistration().moduleName, "Corvanlet.Module");

    ASSERT_TRUE(module_.Handshake(host_.Window(), 0x12345));
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        EXPECT_TRUE(StartThroughDialog(dialog, "1", "h.dat", dir_.Path().string()));
        dialog.Press(IDC_STOP_BUTTON);
    }));
    EXPECT_EQ(host_.LastRegistration().ownerId, 0x2345);
}

TEST_F(ModuleTest, EntryDescriptionByIndexOrId) {
    EXPECT_EQ(module_.getSubInfo(nullptr), 0);
    char name[32];
    std::memset(name, 'x', sizeof name);
    ModuleEntryInfo entry{};
    entry.size = sizeof(ModuleEntryInfo);
    entry.index = 1;  // by index: entry 1 does not exist
    EXPECT_EQ(module_.getSubInfo(&entry), 0);
    EXPECT_EQ(entry.id, 1u);

    entry = ModuleEntryInfo{};
    entry.size = sizeof(ModuleEntryInfo);
    entry.byId = 1;
    entry.id = 0;
    entry.index = 7;
    entry.nameBuffer = static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(name));
    EXPECT_EQ(module_.getSubInfo(&entry), 1);
    EXPECT_EQ(entry.index, 0u);
    EXPECT_EQ(entry.entryType, 256u);
    EXPECT_EQ(entry.entryFlag, 1);
    EXPECT_EQ(entry.entryFlag2, 0);
    EXPECT_STREQ(name, "Corvanlet");
    EXPECT_EQ(name[10], 'x');  // nothing beyond the terminator

    entry = ModuleEntryInfo{};
    entry.size = sizeof(ModuleEntryInfo);
    entry.entryFlag2 = 9;
    EXPECT_EQ(module_.getSubInfo(&entry), 1);  // no name buffer: the rest still written
    EXPECT_EQ(entry.entryType, 256u);
    EXPECT_EQ(entry.entryFlag, 1);
    EXPECT_EQ(entry.entryFlag2, 0);

    entry.size = sizeof(ModuleEntryInfo) - 1;
    EXPECT_EQ(module_.getSubInfo(&entry), 0);
}

TEST_F(ModuleTest, DialogBeforeHandshakeFindsNoTemplateAndReturns) {
    EXPECT_EQ(module_.showOptionsDialog(), 1);  // looked up in the executable: not there
    EXPECT_EQ(Ini("Path"), "(none)");           // nothing saved
}

// Loading reads no settings file: the loader lock is held then, and the
// profile functions may reach the registry. The host's "RecordDir" is read
// at the first call.
TEST_F(ModuleTest, TheHostsSettingsAreReadAtTheFirstCallNotAtLoad) {
    const std::string hostSettings = testing::HostSettingsFile();
    const std::string directory = dir_.Path().string() + "\\";
    ASSERT_TRUE(WritePrivateProfileStringA("Siltrocke", "RecordDir", directory.c_str(),
                                           hostSettings.c_str()));
    // The module was loaded before the file was written. The file goes
    // before any assertion, so that no other test finds it.
    std::string shown;
    const bool ran =
        module_.Handshake(host_.Window()) &&
        WithDialog(module_, [&](DialogDriver& dialog) { shown = dialog.Text(IDC_DIRECTORY_EDIT); });
    DeleteFileA(hostSettings.c_str());
    ASSERT_TRUE(ran);
    EXPECT_EQ(shown, directory);
}

// The controls in tab order from the PID field, `count` of them.
std::vector<int> TabOrder(const DialogDriver& dialog, int count) {
    std::vector<int> order;
    for (HWND control = GetDlgItem(dialog.Window(), IDC_PID_EDIT); count-- > 0;
         control = GetNextDlgTabItem(dialog.Window(), control, FALSE)) {
        order.push_back(GetDlgCtrlID(control));
    }
    return order;
}

void WaitUntilClosed(const DialogDriver& dialog) {
    for (int i = 0; i < 3000 && dialog.Open(); ++i) Sleep(10);
}

TEST_F(ModuleTest, TheDialogFollowsARecordingAndItsCloseButtonSaves) {
    StartHostDelivering();
    const std::string directory = dir_.Path().string();
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        EXPECT_EQ(dialog.Text(IDC_SIZE_EDIT), "");
        EXPECT_EQ(dialog.Text(IDC_TIME_EDIT), "");
        EXPECT_FALSE(dialog.Enabled(IDC_STOP_BUTTON));
        // Tab skips the disabled Stop button; enabled, it comes after Start.
        EXPECT_EQ(TabOrder(dialog, 6),
                  (std::vector<int>{IDC_PID_EDIT, IDC_SERVICE_COMBO, IDC_FILE_NAME_EDIT,
                                    IDC_DIRECTORY_EDIT, IDC_START_BUTTON, IDC_CLOSE_BUTTON}));
        HWND stop = GetDlgItem(dialog.Window(), IDC_STOP_BUTTON);
        EnableWindow(stop, TRUE);
        EXPECT_EQ(TabOrder(dialog, 6),
                  (std::vector<int>{IDC_PID_EDIT, IDC_SERVICE_COMBO, IDC_FILE_NAME_EDIT,
                                    IDC_DIRECTORY_EDIT, IDC_START_BUTTON, IDC_STOP_BUTTON}));
        EnableWindow(stop, FALSE);
        dialog.Key(IDC_FILE_NAME_EDIT, VK_RETURN);  // command 1: not handled, the dialog stays
        Sleep(200);
        EXPECT_TRUE(dialog.Open());
        // A Start that fails says why at once, and changes nothing else.
        EXPECT_FALSE(StartThroughDialog(dialog, "257", "rec.dat", directory + "\\missing"));
        EXPECT_EQ(dialog.Text(IDC_STATUS_TEXT),
                  "Cannot create the file: the directory does not exist");
        EXPECT_TRUE(dialog.Enabled(IDC_START_BUTTON));
        StartThroughDialog(dialog, "  257xyz", "rec.dat", directory);
        EXPECT_FALSE(dialog.Enabled(IDC_START_BUTTON));
        EXPECT_FALSE(dialog.Enabled(IDC_PID_EDIT) || dialog.Enabled(IDC_FILE_NAME_EDIT) ||
                     dialog.Enabled(IDC_DIRECTORY_EDIT));
        // The timer ticks each second from the dialog's opening: wait for a
        // tick that comes at least a second into the recording.
        for (int i = 0; i < 500 && (dialog.Text(IDC_TIME_EDIT).empty() ||
                                    dialog.Text(IDC_TIME_EDIT) == "00:00:00");
             ++i) {
            Sleep(10);
        }
        const std::string time = dialog.Text(IDC_TIME_EDIT);
        EXPECT_TRUE(time == "00:00:01" || time == "00:00:02") << time;
        const std::string size = dialog.Text(IDC_SIZE_EDIT);
        EXPECT_NE(size, "");
        EXPECT_GT(size.empty() ? 0 : std::stoull(size), 0u);
        dialog.Press(IDC_STOP_BUTTON);
        EXPECT_TRUE(dialog.Enabled(IDC_START_BUTTON));
        EXPECT_FALSE(dialog.Enabled(IDC_STOP_BUTTON));
    }));
    EXPECT_EQ(host_.LastRegistration().pid, 257);
    EXPECT_EQ(Ini("Path"), directory);
    EXPECT_EQ(Ini("Pid"), "257");
}

// Feeds PID 256 to the module's callback from the test, as the host would:
// `bytesPerSecond` for `ms`, in blocks of five packets, their counters
// continuous; `scrambled` sets the scrambling bits.
void Feed(::DataCallback callback, std::uint32_t bytesPerSecond, DWORD ms, bool scrambled,
          std::uint8_t& counter) {
    std::uint8_t block[940];
    const DWORD start = GetTickCount();
    std::uint64_t sent = 0;
    for (DWORD now = start; now - start < ms; now = GetTickCount()) {
        for (; sent < std::uint64_t{bytesPerSecond} * (now - start) / 1000; sent += sizeof block) {
            for (int at = 0; at < 940; at += 188) {
                std::memset(block + at, 0x55, 188);
                block[at] = 0x47;
                block[at + 1] = 0x01;
                block[at + 2] = 0x00;
                block[at + 3] =
                    static_cast<std::uint8_t>((scrambled ? 0x90 : 0x10) | (counter++ & 15));
            }
            callback(0, sizeof block, block);
        }
        Sleep(5);
    }
}

// The dialog's rate text ("now 4000 kbit/s") is within 5% of `kbit`.
bool ShowsRate(const std::string& text, std::uint64_t kbit) {
    unsigned long long shown = 0;
    if (std::sscanf(text.c_str(), "now %llu kbit/s", &shown) != 1) return false;
    return shown * 20 >= kbit * 19 && shown * 20 <= kbit * 21;
}

// The height of the drawing in each pixel column of `control`, taken with
// PrintWindow: pixels that are neither white nor the frame's gray.
std::vector<int> ColumnHeights(HWND control) {
    RECT bounds;
    GetClientRect(control, &bounds);
    const int width = bounds.right, height = bounds.bottom;
    HDC screen = GetDC(control);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    PrintWindow(control, memory, PW_CLIENTONLY);
    std::vector<int> heights(static_cast<std::size_t>(width));
    for (int x = 1; x + 1 < width; ++x) {
        for (int y = 1; y + 1 < height; ++y) {
            const COLORREF pixel = GetPixel(memory, x, y);
            if (pixel != RGB(255, 255, 255) && pixel != RGB(128, 128, 128))
                ++heights[static_cast<std::size_t>(x)];
        }
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(control, screen);
    return heights;
}

// The graph shows a step in the delivered rate; the status line says
// "Scrambled" for scrambled packets and "No data" once delivery pauses.
TEST_F(ModuleTest, TheGraphShowsAStepInRateAndTheStatusLineWhatIsWrong) {
    ASSERT_TRUE(module_.Handshake(host_.Window()));
    module_.start();
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        ASSERT_TRUE(StartThroughDialog(dialog, "256", "graph.dat", dir_.Path().string()));
        const auto callback = reinterpret_cast<::DataCallback>(
            static_cast<std::uintptr_t>(host_.LastRegistration().callback));
        std::uint8_t counter = 0;
        // Each rate goes on until the dialog has shown a whole second of it:
        // on a busy machine its once-a-second sample can come late, and a
        // late sample spreads what came over the seconds it missed.
        const auto feedUntilShown = [&](std::uint32_t bytesPerSecond, std::uint64_t kbit) {
            for (int i = 0; i < 20 && !ShowsRate(dialog.Text(IDC_RATE_TEXT), kbit); ++i) {
                Feed(callback, bytesPerSecond, 1000, false, counter);
            }
            EXPECT_TRUE(ShowsRate(dialog.Text(IDC_RATE_TEXT), kbit)) << dialog.Text(IDC_RATE_TEXT);
        };
        feedUntilShown(50000, 400);
        feedUntilShown(500000, 4000);
        // Both a whole slow second and a whole fast one are in the graph now:
        // the tallest column is a fast one, the lowest drawn one no taller
        // than a slow one.
        const std::vector<int> heights = ColumnHeights(GetDlgItem(dialog.Window(), IDC_RATE_GRAPH));
        int high = 0, low = 0;
        for (const int height : heights) {
            high = std::max(high, height);
            if (height != 0) low = low == 0 ? height : std::min(low, height);
        }
        EXPECT_GT(low, 0) << "the slow seconds are drawn";
        EXPECT_GT(high, 5 * low) << "high " << high << ", low " << low;
        EXPECT_EQ(dialog.Text(IDC_STATUS_TEXT), "");

        // The line follows a sample a second, read by the dialog's own
        // once-a-second refresh: give each state a few seconds to show.
        for (int i = 0; i < 4 && dialog.Text(IDC_STATUS_TEXT) != "Scrambled"; ++i) {
            Feed(callback, 500000, 1000, true, counter);
        }
        EXPECT_EQ(dialog.Text(IDC_STATUS_TEXT), "Scrambled");
        const DWORD paused = GetTickCount();
        while (dialog.Text(IDC_STATUS_TEXT).rfind("No data for ", 0) != 0 &&
               GetTickCount() - paused < 10000) {
            Sleep(50);
        }
        const std::string status = dialog.Text(IDC_STATUS_TEXT);
        EXPECT_EQ(status.rfind("No data for ", 0), 0u) << status;
        EXPECT_GE(GetTickCount() - paused, 5000u) << status;
        dialog.Press(IDC_STOP_BUTTON);
    }));
}

TEST_F(ModuleTest, EscapeClosesTheDialogAndSaves) {
    StartHostDelivering();
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        StartThroughDialog(dialog, "300", "esc.dat", dir_.Path().string());
        dialog.Press(IDC_STOP_BUTTON);
        dialog.Key(IDC_PID_EDIT, VK_ESCAPE);
        WaitUntilClosed(dialog);
    }));
    EXPECT_EQ(Ini("Pid"), "300");
}

TEST_F(ModuleTest, TheFramesCloseSavesAndTheRecordingGoesOnForTheNextDialog) {
    StartHostDelivering();
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        // 4294967552 is 2^32 + 256; the last digits are past the 19 read.
        StartThroughDialog(dialog, "0000000004294967552789", "frame.dat", dir_.Path().string());
        dialog.CloseFrame();
        WaitUntilClosed(dialog);
    }));
    // Only the first 19 characters of the PID field count, and they wrap.
    EXPECT_EQ(Ini("Pid"), "256");
    bool startDisabledWhileRecording = false;
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        startDisabledWhileRecording =
            !dialog.Enabled(IDC_START_BUTTON) && dialog.Enabled(IDC_STOP_BUTTON);
    }));
    EXPECT_TRUE(startDisabledWhileRecording);
    module_.stop();
    EXPECT_EQ(host_.RemoveMessages(), host_.AddMessages());
}

TEST_F(ModuleTest, ADialogClosedBeforeAnyRecordingWritesNoSettings) {
    ASSERT_TRUE(module_.Handshake(host_.Window()));
    const std::string options = dir_.File("Options.ini");
    WritePrivateProfileStringA("Corvanlet", "Path", "Q:\\Saved", options.c_str());
    WritePrivateProfileStringA("Corvanlet", "Pid", "4660", options.c_str());
    WritePrivateProfileStringA("Corvanlet", "BufferKB", "4096", options.c_str());
    // Opened and closed before Module_Start: the dialog showed defaults,
    // which must not overwrite what the file holds.
    ASSERT_TRUE(WithDialog(module_, [](DialogDriver&) {}));
    EXPECT_EQ(Ini("Path"), "Q:\\Saved");
    EXPECT_EQ(Ini("Pid"), "4660");
    EXPECT_EQ(Ini("BufferKB"), "4096");
    // After Module_Start, a dialog that started nothing writes nothing either.
    module_.start();
    WritePrivateProfileStringA("Corvanlet", "Pid", "4661", options.c_str());
    ASSERT_TRUE(WithDialog(module_, [](DialogDriver&) {}));
    EXPECT_EQ(Ini("Pid"), "4661");
}

TEST_F(ModuleTest, StartingAnotherPidRenamesTheBuiltFileName) {
    ASSERT_TRUE(module_.Handshake(host_.Window()));
    module_.start();  // PID 0: no settings yet
    ChannelInfo channel{};
    channel.frequency = 11362;
    channel.symbolRate = 22000;
    channel.polarisation = 0;
    ASSERT_EQ(module_.setChannel(&channel), 1);
    std::string shown;
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        dialog.Type(IDC_PID_EDIT, "256");
        dialog.Type(IDC_DIRECTORY_EDIT, dir_.Path().string());
        dialog.Press(IDC_START_BUTTON);
        shown = dialog.Text(IDC_FILE_NAME_EDIT);
        dialog.Press(IDC_STOP_BUTTON);
    }));
    EXPECT_EQ(shown, "11362-H-22000 - pid256.dat");
    EXPECT_NE(GetFileAttributesA(dir_.File("11362-H-22000 - pid256.dat").c_str()),
              INVALID_FILE_ATTRIBUTES);
}

TEST_F(ModuleTest, StartReloadsSettingsAndAChannelNamesTheFile) {
    ASSERT_TRUE(module_.Handshake(host_.Window()));
    const std::string options = dir_.File("Options.ini");
    WritePrivateProfileStringA("Corvanlet", "Path", "Q:\\Saved", options.c_str());
    WritePrivateProfileStringA("Corvanlet", "Pid", "4660", options.c_str());
    module_.start();
    ChannelInfo channel{};
    channel.frequency = 12345;
    channel.symbolRate = 27500;
    channel.polarisation = 0;
    EXPECT_EQ(module_.setChannel(&channel), 1);
    EXPECT_EQ(module_.setChannel(nullptr), 1);  // no channel: the name stays
    std::string pid, name, directory;
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        pid = dialog.Text(IDC_PID_EDIT);
        name = dialog.Text(IDC_FILE_NAME_EDIT);
        directory = dialog.Text(IDC_DIRECTORY_EDIT);
    }));
    EXPECT_EQ(pid, "4660");
    EXPECT_EQ(name, "12345-H-27500 - pid4660.dat");
    EXPECT_EQ(directory, "Q:\\Saved");
    EXPECT_EQ(module_.stop(), 1);
}

// Every way a recording ends, through the real module with the host
// delivering: the file is closed and holds exactly what was delivered.
//   "stop-and-free": Module_Stop and at once FreeLibrary, a common shutdown
//   order (the writer must not be inside the library's code when it goes).
class ModuleStopPaths : public ::testing::TestWithParam<const char*> {};

TEST_P(ModuleStopPaths, TheFileIsClosedAndHoldsWhatWasDelivered) {
    const std::string way = GetParam();
    const int rounds = way == "stop-and-free" ? 10 : 1;
    for (int round = 0; round < rounds; ++round) {
        TempDir dir;
        hostsim::SimulatedHost host;
        ASSERT_TRUE(host.Create());
        LoadedModule module(dir.Path().string());
        ASSERT_TRUE(module.Loaded());
        ASSERT_TRUE(module.Handshake(host.Window()));
        EXPECT_EQ(module.start(), 1);
        ChannelInfo channel{};
        channel.frequency = 11362;
        channel.symbolRate = 22000;
        channel.polarisation = 1;
        host.SetStream(hostsim::MakeTransportStream({0x100, 0x200, 0x100}, 9000));
        host.SetRateMBps(4);
        host.SetLoop(true);
        const std::string path = dir.File("way.dat");
        ASSERT_TRUE(WithDialog(module, [&](DialogDriver& dialog) {
            ASSERT_TRUE(StartThroughDialog(dialog, "256", "way.dat", dir.Path().string()));
            Sleep(rounds == 1 ? 300 : 50);
            if (way == "dialog") {
                dialog.Press(IDC_STOP_BUTTON);
                // The final size, with the last blocks written, not a second-old one.
                EXPECT_EQ(dialog.Text(IDC_SIZE_EDIT), std::to_string(host.Delivered().bytes));
            }
        }));
        if (way == "module-stop") {
            EXPECT_EQ(module.stop(), 1);
        }
        if (way == "set-channel") {
            EXPECT_EQ(module.setChannel(&channel), 1);
        }
        if (way == "unload") module.Unload();  // no Module_Stop first
        if (way == "stop-and-free") {
            EXPECT_EQ(module.stop(), 1);
            module.Unload();
        }
        EXPECT_EQ(host.RemoveMessages(), 1u + 2u);  // and the dialog's two for its service list
        const auto delivered = host.Delivered();
        const auto file = ReadFileBytes(path);
        EXPECT_GT(delivered.bytes, 10000u);
        EXPECT_EQ(file.size(), delivered.bytes);
        EXPECT_EQ(hostsim::Fnv1a(file.data(), file.size()), delivered.checksum);
        EXPECT_TRUE(DeleteFileA(path.c_str()));  // closed
        // The recording's stop line says how it ended.
        const auto log = ReadFileBytes(dir.File("Corvanlet.log"));
        const std::string text(log.begin(), log.end());
        const std::string reason = way == "dialog"        ? "user"
                                   : way == "set-channel" ? "channel"
                                   : way == "unload"      ? "unload"
                                                          : "host-stop";
        EXPECT_NE(text.find(" reason=" + reason + " "), std::string::npos) << text;
        EXPECT_EQ(text.find(" reason=", text.find(" reason=") + 1), std::string::npos) << text;
        if (way == "set-channel") {
            ASSERT_TRUE(WithDialog(module, [&](DialogDriver& dialog) {
                EXPECT_EQ(dialog.Text(IDC_FILE_NAME_EDIT), "11362-V-22000 - pid256.dat");
            }));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, ModuleStopPaths,
                         ::testing::Values("dialog", "module-stop", "set-channel", "unload",
                                           "stop-and-free"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

}  // namespace
}  // namespace corvanlet
