// The built "Corvanlet.Module" itself: loaded from a copy in a fresh
// directory, driven through its exports and its dialog, against the
// simulated host in this process.
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "corvanlet/host_api.h"
#include "simulated_host.h"
#include "dialog_driver.h"
#include "support/module_harness.h"
#include "support/pe_file.h"
#include "support/temp_dir.h"
#include "support/ts_maker.h"
#include "transport_stream.h"

namespace corvanlet {
namespace {

using hostsim::DialogDriver;
using testing::kModuleFile;
using testing::LoadedModule;
using testing::ReadFileBytes;
using testing::StartThroughDialog;
using testing::TempDir;
using testing::WithDialog;

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(host_.Create());
        ASSERT_TRUE(module_.Loaded()) << kModuleFile;
    }
    std::string Ini(const char* key) const {
        char value[1024] = {};
        GetPrivateProfileStringA("Corvanlet", key, "(none)", value, sizeof value,
                                 dir_.File("Options.ini").c_str());
        return value;
    }

    TempDir dir_;
    hostsim::SimulatedHost host_;
    LoadedModule module_{dir_.Path().string()};
};

TEST_F(ModuleTest, HandshakeChecksSizeAndVersionAndRecordsTheHost) {
    EXPECT_EQ(module_.getInfo(nullptr), 0);
    ModuleInfo info{};
    info.size = 35;
    info.interfaceVersion = 111;
    ModuleInfo before = info;
    EXPECT_EQ(module_.getInfo(&info), 0);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);  // untouched
    info.size = 36;
    info.interfaceVersion = 110;
    before = info;
    EXPECT_EQ(module_.getInfo(&info), 0);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);

    info = ModuleInfo{};
    info.size = 0xFFFFFFFFu;  // passes the size test
    info.interfaceVersion = 200;
    info.hostWindow = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(host_.Window()));
    EXPECT_EQ(module_.getInfo(&info), 1);
    EXPECT_EQ(info.moduleVersion, 100u);
    EXPECT_EQ(info.interfaceVersion, 111u);
    EXPECT_EQ(info.entryCount, 1u);
    EXPECT_EQ(info.moduleInterfaceVersion, 111u);

    // A refused handshake later changes nothing: registrations still go to
    // the first host's window, with its id (0 means 256).
    hostsim::SimulatedHost other;
    ASSERT_TRUE(other.Create());
    ModuleInfo refused{};
    refused.size = 36;
    refused.interfaceVersion = 110;
    refused.hostWindow =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(other.Window()));
    refused.hostAssignedId = 7;
    EXPECT_EQ(module_.getInfo(&refused), 0);
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        EXPECT_TRUE(StartThroughDialog(dialog, "70000", "h.dat", dir_.Path().string()));
        dialog.Press(1001);
    }));
    EXPECT_EQ(other.AddMessages(), 0u);
    ASSERT_EQ(host_.AddMessages(), 1u);
    EXPECT_EQ(host_.LastRegistration().ownerId, 256);
    EXPECT_EQ(host_.LastRegistration().pid, 70000 & 0xFFFF);
    EXPECT_STREQ(host_.LastRegistration().moduleName, "Corvanlet.Module");

    ASSERT_TRUE(module_.Handshake(host_.Window(), 0x12345));
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        EXPECT_TRUE(StartThroughDialog(dialog, "1", "h.dat", dir_.Path().string()));
        dialog.Press(1001);
    }));
    EXPECT_EQ(host_.LastRegistration().ownerId, 0x2345);
}

TEST_F(ModuleTest, EntryDescriptionByIndexOrId) {
    EXPECT_EQ(module_.getSubInfo(nullptr), 0);
    char name[32];
    std::memset(name, 'x', sizeof name);
    ModuleEntryInfo entry{};
    entry.size = 32;
    entry.index = 1;  // by index: entry 1 does not exist
    EXPECT_EQ(module_.getSubInfo(&entry), 0);
    EXPECT_EQ(entry.id, 1u);

    entry = ModuleEntryInfo{};
    entry.size = 32;
    entry.byId = 1;
    entry.id = 0;
    entry.index = 7;
    entry.nameBuffer = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(name));
    EXPECT_EQ(module_.getSubInfo(&entry), 1);
    EXPECT_EQ(entry.index, 0u);
    EXPECT_EQ(entry.entryType, 256u);
    EXPECT_EQ(entry.entryFlag, 1);
    EXPECT_EQ(entry.entryFlag2, 0);
    EXPECT_STREQ(name, "Corvanlet");
    EXPECT_EQ(name[10], 'x');  // nothing beyond the terminator

    entry = ModuleEntryInfo{};
    entry.size = 32;
    entry.entryFlag2 = 9;
    EXPECT_EQ(module_.getSubInfo(&entry), 1);  // no name buffer: the rest still written
    EXPECT_EQ(entry.entryType, 256u);
    EXPECT_EQ(entry.entryFlag, 1);
    EXPECT_EQ(entry.entryFlag2, 0);

    entry.size = 31;
    EXPECT_EQ(module_.getSubInfo(&entry), 0);
}

TEST(ModuleFile, ExportsSixFunctionsByOrdinalAndImportsOnlySystemLibraries) {
    testing::PeFile pe(ReadFileBytes(kModuleFile));
    ASSERT_TRUE(pe.Is32BitDll());
    const std::map<std::string, std::uint32_t> expected = {
        {"Module_GetInfo", 1},           {"Module_GetSubInfo", 2}, {"Module_SetChannel", 3},
        {"Module_ShowOptionsDialog", 4}, {"Module_Start", 5},      {"Module_Stop", 6}};
    EXPECT_EQ(pe.Exports(), expected);
    EXPECT_EQ(pe.ExportedFunctionCount(), 6u);
    const std::vector<std::string> system = {"KERNEL32.DLL", "USER32.DLL", "MSVCRT.DLL",
                                             "ADVAPI32.DLL", "GDI32.DLL"};
    const auto imports = pe.ImportedDlls();
    EXPECT_FALSE(imports.empty());
    for (std::string dll : imports) {
        for (char& c : dll) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_NE(std::find(system.begin(), system.end(), dll), system.end()) << dll;
    }
}

// The dialog template as the module carries it.
struct TemplateItem {
    std::uint16_t controlClass;  // 0x80 button, 0x81 edit, 0x82 static
    std::int32_t id;
    std::wstring text;
    short x, y, cx, cy;
    DWORD style;
};

std::wstring ReadWide(const std::uint8_t*& at) {
    std::wstring text;
    const auto* chars = reinterpret_cast<const wchar_t*>(at);
    while (*chars != 0) text += *chars++;
    at = reinterpret_cast<const std::uint8_t*>(chars + 1);
    return text;
}

std::uint16_t ReadClassOrText(const std::uint8_t*& at, std::wstring& text) {
    std::uint16_t first;
    std::memcpy(&first, at, 2);
    if (first == 0xFFFF) {
        std::uint16_t ordinal;
        std::memcpy(&ordinal, at + 2, 2);
        at += 4;
        return ordinal;
    }
    text = ReadWide(at);
    return 0;
}

TEST(ModuleFile, DialogTemplateMatchesTheLayout) {
    HMODULE data = LoadLibraryExA(kModuleFile.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(data, nullptr);
    HRSRC resource = FindResourceA(data, MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(5));  // RT_DIALOG
    ASSERT_NE(resource, nullptr);
    const auto* at = static_cast<const std::uint8_t*>(LockResource(LoadResource(data, resource)));
    ASSERT_NE(at, nullptr);

    struct Header {
        WORD version, signature;
        DWORD helpId, exStyle, style;
        WORD items;
        short x, y, cx, cy;
    } header;
    std::memcpy(&header, at, sizeof header);
    at += 26;
    EXPECT_EQ(header.version, 1);
    EXPECT_EQ(header.signature, 0xFFFF);  // the extended form
    EXPECT_EQ(header.style & ~DS_SETFONT,
              static_cast<DWORD>(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU));
    EXPECT_EQ(header.exStyle, static_cast<DWORD>(WS_EX_TOOLWINDOW));
    EXPECT_EQ(header.x, 0);
    EXPECT_EQ(header.y, 0);
    EXPECT_EQ(header.cx, 230);
    EXPECT_EQ(header.cy, 153);
    std::wstring ignored;
    EXPECT_EQ(ReadClassOrText(at, ignored), 0);  // no menu
    EXPECT_EQ(ReadClassOrText(at, ignored), 0);  // the standard dialog class
    EXPECT_EQ(ReadWide(at), L"Corvanlet");
    ASSERT_NE(header.style & DS_SETFONT, 0u);
    WORD points;
    std::memcpy(&points, at, 2);
    at += 6;  // points, weight, italic, charset
    EXPECT_EQ(points, 8);
    EXPECT_EQ(ReadWide(at), L"MS Sans Serif");

    const DWORD edit = WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL;
    const DWORD readOnly = edit | ES_READONLY;
    const DWORD button = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
    const DWORD group = WS_CHILD | WS_VISIBLE | BS_GROUPBOX;
    const DWORD label = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
    const std::vector<TemplateItem> expected = {
        {0x81, 1002, L"", 57, 15, 40, 12, edit | WS_TABSTOP},
        {0x81, 1003, L"", 57, 33, 157, 12, edit | WS_TABSTOP},
        {0x81, 1005, L"", 49, 60, 58, 12, readOnly},
        {0x81, 1006, L"", 49, 74, 40, 12, readOnly},
        {0x81, 1004, L"", 15, 105, 199, 12, edit | WS_TABSTOP},
        {0x80, 1000, L"Start", 49, 132, 50, 14, button},
        {0x80, 1001, L"Stop", 111, 132, 50, 14, button},
        {0x80, 2, L"Close", 173, 132, 50, 14, button},
        {0x80, -1, L"", 7, 4, 216, 120, group},
        {0x82, -1, L"Pid :", 36, 18, 15, 8, label},
        {0x82, -1, L"Size :", 27, 60, 18, 8, label},
        {0x82, -1, L"Time :", 25, 74, 20, 8, label},
        {0x82, -1, L"File name :", 16, 34, 35, 8, label},
        {0x80, -1, L" Directory ", 7, 93, 216, 31, group},
    };
    ASSERT_EQ(header.items, expected.size());
    for (const auto& want : expected) {
        at =
            reinterpret_cast<const std::uint8_t*>((reinterpret_cast<std::uintptr_t>(at) + 3) & ~3u);
        struct Item {
            DWORD helpId, exStyle, style;
            short x, y, cx, cy;
            std::int32_t id;
        } item;
        std::memcpy(&item, at, sizeof item);
        at += 24;
        std::wstring className;
        std::wstring text;
        const std::uint16_t controlClass = ReadClassOrText(at, className);
        ReadClassOrText(at, text);
        WORD extra;
        std::memcpy(&extra, at, 2);
        at += 2 + extra;
        SCOPED_TRACE(::testing::Message()
                     << "control " << want.id << " at " << want.x << "," << want.y);
        EXPECT_EQ(controlClass, want.controlClass);
        EXPECT_EQ(item.id, want.id);
        EXPECT_TRUE(text == want.text);
        EXPECT_EQ(item.x, want.x);
        EXPECT_EQ(item.y, want.y);
        EXPECT_EQ(item.cx, want.cx);
        EXPECT_EQ(item.cy, want.cy);
        EXPECT_EQ(item.style, want.style);
        EXPECT_EQ(item.exStyle, 0u);
    }
    FreeLibrary(data);
}

TEST_F(ModuleTest, DialogBeforeHandshakeFindsNoTemplateAndReturns) {
    EXPECT_EQ(module_.showOptionsDialog(), 1);  // looked up in the executable: not there
    EXPECT_EQ(Ini("Path"), "(none)");           // nothing saved
}

TEST_F(ModuleTest, DialogFollowsTheRecordingAndSavesOnEveryClose) {
    ASSERT_TRUE(module_.Handshake(host_.Window()));
    module_.start();
    host_.SetStream(testing::MakeTransportStream({0x101, 0x102}, 2000));
    host_.SetLoop(true);
    host_.SetRateMBps(0.2);
    const std::string directory = dir_.Path().string();

    struct Seen {
        std::string size, time;
        bool startEnabled, stopEnabled, editsEnabled;
        std::vector<int> tabOrder;
        std::string sizeAfterTick, timeAfterTick;
        bool startAfter, stopAfter, openAfterEnter;
    } seen{};
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        seen.size = dialog.Text(1005);
        seen.time = dialog.Text(1006);
        seen.stopEnabled = dialog.Enabled(1001);
        HWND control = GetDlgItem(dialog.Window(), 1002);
        for (int i = 0; i < 6; ++i) {
            seen.tabOrder.push_back(GetDlgCtrlID(control));
            control = GetNextDlgTabItem(dialog.Window(), control, FALSE);
        }
        dialog.Key(1003, VK_RETURN);  // command 1: not handled, the dialog stays
        Sleep(200);
        seen.openAfterEnter = dialog.Open();
        StartThroughDialog(dialog, "  257xyz", "rec.dat", directory);
        seen.startEnabled = dialog.Enabled(1000);
        seen.editsEnabled = dialog.Enabled(1002) || dialog.Enabled(1003) || dialog.Enabled(1004);
        // The timer ticks each second from the dialog's opening: wait for a
        // tick that comes at least a second into the recording.
        for (int i = 0; i < 500 && (dialog.Text(1006).empty() || dialog.Text(1006) == "00:00:00");
             ++i) {
            Sleep(10);
        }
        seen.sizeAfterTick = dialog.Text(1005);
        seen.timeAfterTick = dialog.Text(1006);
        dialog.Press(1001);
        seen.startAfter = dialog.Enabled(1000);
        seen.stopAfter = dialog.Enabled(1001);
    }));
    EXPECT_EQ(seen.size, "");
    EXPECT_EQ(seen.time, "");
    EXPECT_FALSE(seen.stopEnabled);
    // Tab skips the disabled Stop button; the template test covers its place.
    EXPECT_EQ(seen.tabOrder, (std::vector<int>{1002, 1003, 1004, 1000, 2, 1002}));
    EXPECT_TRUE(seen.openAfterEnter);
    EXPECT_FALSE(seen.startEnabled);
    EXPECT_FALSE(seen.editsEnabled);
    EXPECT_TRUE(seen.timeAfterTick == "00:00:01" || seen.timeAfterTick == "00:00:02")
        << seen.timeAfterTick;
    EXPECT_NE(seen.sizeAfterTick, "");
    EXPECT_GT(std::stoull(seen.sizeAfterTick), 0u);
    EXPECT_TRUE(seen.startAfter);
    EXPECT_FALSE(seen.stopAfter);
    EXPECT_EQ(host_.LastRegistration().pid, 257);
    // Closed with the Close button: the settings are saved.
    EXPECT_EQ(Ini("Path"), directory);
    EXPECT_EQ(Ini("Pid"), "257");

    // Escape closes and saves as well.
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        StartThroughDialog(dialog, "300", "esc.dat", directory);
        dialog.Press(1001);
        dialog.Key(1002, VK_ESCAPE);
        for (int i = 0; i < 200 && dialog.Open(); ++i) Sleep(10);
    }));
    EXPECT_EQ(Ini("Pid"), "300");

    // So does the frame's close; a recording goes on after the dialog closes,
    // and a new dialog shows it running.
    bool startDisabledWhileRecording = false;
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        StartThroughDialog(dialog, "12345678901234567890123", "frame.dat", directory);
        dialog.CloseFrame();
        for (int i = 0; i < 200 && dialog.Open(); ++i) Sleep(10);
    }));
    // Only the first 19 characters of the PID field count, and they wrap.
    EXPECT_EQ(Ini("Pid"), std::to_string(static_cast<std::int32_t>(
                              static_cast<std::uint32_t>(1234567890123456789ull & 0xFFFFFFFFu))));
    ASSERT_TRUE(WithDialog(module_, [&](DialogDriver& dialog) {
        startDisabledWhileRecording = !dialog.Enabled(1000) && dialog.Enabled(1001);
    }));
    EXPECT_TRUE(startDisabledWhileRecording);
    module_.stop();
    EXPECT_EQ(host_.RemoveMessages(), host_.AddMessages());
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
        pid = dialog.Text(1002);
        name = dialog.Text(1003);
        directory = dialog.Text(1004);
    }));
    EXPECT_EQ(pid, "4660");
    EXPECT_EQ(name, "12345-H-27500 - pid4660.dat");
    EXPECT_EQ(directory, "Q:\\Saved");
    EXPECT_EQ(module_.stop(), 1);
}

// Records the host's stream through the real module and stops it one way.
void RecordAndStop(const char* way) {
    TempDir dir;
    hostsim::SimulatedHost host;
    ASSERT_TRUE(host.Create());
    LoadedModule module(dir.Path().string());
    ASSERT_TRUE(module.Loaded());
    ASSERT_TRUE(module.Handshake(host.Window()));
    module.start();
    ChannelInfo channel{};
    channel.frequency = 11362;
    channel.symbolRate = 22000;
    channel.polarisation = 1;
    host.SetStream(testing::MakeTransportStream({0x100, 0x200, 0x100}, 9000));
    host.SetRateMBps(4);
    host.SetLoop(true);
    const std::string path = dir.File("way.dat");
    ASSERT_TRUE(WithDialog(module, [&](DialogDriver& dialog) {
        ASSERT_TRUE(StartThroughDialog(dialog, "256", "way.dat", dir.Path().string()));
        Sleep(300);
        if (std::strcmp(way, "dialog") == 0) dialog.Press(1001);
    }));
    if (std::strcmp(way, "module-stop") == 0) module.stop();
    if (std::strcmp(way, "set-channel") == 0) module.setChannel(&channel);
    if (std::strcmp(way, "unload") == 0) module.Unload();  // no Module_Stop first
    EXPECT_EQ(host.RemoveMessages(), 1u);
    const auto delivered = host.Delivered();
    const auto file = ReadFileBytes(path);
    EXPECT_GT(delivered.bytes, 100000u);
    EXPECT_EQ(file.size(), delivered.bytes);
    EXPECT_EQ(hostsim::Fnv1a(file.data(), file.size()), delivered.checksum);
    // The file is closed: it can be deleted.
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    if (std::strcmp(way, "set-channel") == 0) {
        ASSERT_TRUE(WithDialog(module, [&](DialogDriver& dialog) {
            EXPECT_EQ(dialog.Text(1003), "11362-V-22000 - pid256.dat");
        }));
    }
}

TEST(ModuleStopPaths, DialogStop) {
    RecordAndStop("dialog");
}
TEST(ModuleStopPaths, ModuleStop) {
    RecordAndStop("module-stop");
}
TEST(ModuleStopPaths, SetChannel) {
    RecordAndStop("set-channel");
}
TEST(ModuleStopPaths, UnloadWhileDataFlows) {
    RecordAndStop("unload");
}

}  // namespace
}  // namespace corvanlet
