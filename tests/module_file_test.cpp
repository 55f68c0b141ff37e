// The built "Corvanlet.Module" files, read as files: headers, exports,
// imports and the dialog template. Nothing in them runs, so the shipped
// 32-bit module is checked here even where 32-bit code cannot run; the
// 64-bit module is checked too whenever it was built.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/pe_file.h"
#include "support/temp_dir.h"

namespace corvanlet {
namespace {

using testing::ReadFileBytes;

// Build paths arrive as Linux paths when cross-compiled; wine sees them on Z:.
std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') {
        for (char& c : path) c = c == '/' ? '\\' : c;
        path = "Z:" + path;
    }
    return path;
}

struct BuiltModule {
    int bits;
    std::string path;
};

void PrintTo(const BuiltModule& module, std::ostream* out) {
    *out << module.bits << "-bit " << module.path;
}

// This configuration's module, and the other width's when the build names it.
std::vector<BuiltModule> BuiltModules() {
    std::vector<BuiltModule> modules;
    if (CORVANLET_MODULE32_FILE[0] != '\0')
        modules.push_back({32, WindowsPath(CORVANLET_MODULE32_FILE)});
    if (CORVANLET_MODULE64_FILE[0] != '\0')
        modules.push_back({64, WindowsPath(CORVANLET_MODULE64_FILE)});
    return modules;
}

class ModuleFile : public ::testing::TestWithParam<BuiltModule> {
  protected:
    void SetUp() override {
        ASSERT_EQ(GetFileAttributesA(GetParam().path.c_str()) == INVALID_FILE_ATTRIBUTES, false)
            << GetParam().path << " is missing: build both Windows presets first";
    }
};

TEST_P(ModuleFile, ExportsSixFunctionsByOrdinalAndImportsOnlySystemLibraries) {
    testing::PeFile pe(ReadFileBytes(GetParam().path));
    ASSERT_TRUE(pe.Valid()) << GetParam().path;
    EXPECT_TRUE(pe.IsDll());
    if (GetParam().bits == 32) {
        EXPECT_TRUE(pe.IsI386Pe32());
    } else {
        EXPECT_TRUE(pe.IsAmd64Pe32Plus());
    }
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

TEST_P(ModuleFile, DialogTemplateMatchesTheLayout) {
    // Loaded as data, which works for either width in a process of either.
    HMODULE data = LoadLibraryExA(GetParam().path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
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

// What a user sees in the file's Properties: the build's version and names.
TEST_P(ModuleFile, VersionResourceNamesTheBuild) {
    const std::string& path = GetParam().path;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource in " << path;
    std::vector<std::uint8_t> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD high = (CORVANLET_VERSION_MAJOR << 16) | CORVANLET_VERSION_MINOR;
    const DWORD low = CORVANLET_VERSION_PATCH << 16;
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    auto text = [&](const char* name) {
        char* value = nullptr;
        UINT chars = 0;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars)) {
            return std::string("(missing)");
        }
        return std::string(value);
    };
    EXPECT_EQ(text("FileVersion"), CORVANLET_VERSION_TEXT);
    EXPECT_EQ(text("ProductVersion"), CORVANLET_VERSION_TEXT);
    EXPECT_EQ(text("ProductName"), "Corvanlet");
    EXPECT_EQ(text("OriginalFilename"), "Corvanlet.Module");
    EXPECT_NE(text("FileDescription"), "(missing)");
}

INSTANTIATE_TEST_SUITE_P(Built, ModuleFile, ::testing::ValuesIn(BuiltModules()),
                         [](const auto& info) { return std::to_string(info.param.bits) + "bit"; });

}  // namespace
}  // namespace corvanlet
