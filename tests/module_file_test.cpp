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

#include "corvanlet/ids.h"
#include "platform/handles.h"
#include "support/pe_file.h"
#include "support/temp_dir.h"

namespace corvanlet {
namespace {

using testing::ReadFileBytes;
using testing::WindowsPath;

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

std::wstring ReadWide(const std::uint8_t*& at) {
    std::wstring text;
    const auto* chars = reinterpret_cast<const wchar_t*>(at);
    while (*chars != 0) text += *chars++;
    at = reinterpret_cast<const std::uint8_t*>(chars + 1);
    return text;
}

// A class or text field of a template: an ordinal (0xFFFF, n) or a string.
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

struct TemplateItem {
    std::uint16_t controlClass;  // 0x80 button, 0x81 edit, 0x82 static
    std::wstring text;
    DWORD style;
};

struct DialogTemplate {
    bool extended = false;
    DWORD style = 0;
    DWORD exStyle = 0;
    std::wstring caption;
    std::map<std::int32_t, TemplateItem> controls;  // by id; unnamed statics left out
};

// Reads an extended dialog template: its header, then each item, aligned to 4 bytes.
DialogTemplate ReadTemplate(const std::uint8_t* at) {
    struct Header {
        WORD version, signature;
        DWORD helpId, exStyle, style;
        WORD items;
        short x, y, cx, cy;
    } header;
    std::memcpy(&header, at, sizeof header);
    at += 26;
    DialogTemplate dialog;
    dialog.extended = header.signature == 0xFFFF;
    dialog.style = header.style;
    dialog.exStyle = header.exStyle;
    std::wstring ignored;
    ReadClassOrText(at, ignored);  // menu
    ReadClassOrText(at, ignored);  // class
    dialog.caption = ReadWide(at);
    at += 6;       // points, weight, italic, charset
    ReadWide(at);  // the font's name
    for (WORD i = 0; i < header.items; ++i) {
        at =
            reinterpret_cast<const std::uint8_t*>((reinterpret_cast<std::uintptr_t>(at) + 3) & ~3u);
        struct Item {
            DWORD helpId, exStyle, style;
            short x, y, cx, cy;
            std::int32_t id;
        } item;
        std::memcpy(&item, at, sizeof item);
        at += 24;
        TemplateItem control{};
        control.controlClass = ReadClassOrText(at, ignored);
        ReadClassOrText(at, control.text);
        control.style = item.style;
        WORD extra;
        std::memcpy(&extra, at, 2);
        at += 2 + extra;
        if (item.id != -1) {
            EXPECT_TRUE(dialog.controls.emplace(item.id, control).second) << item.id;
        }
    }
    return dialog;
}

// What a host and its users rely on in dialog template 101: the window's
// kind and caption, the controls' ids, classes and texts, which fields are
// read-only, and that no button is the default one.
TEST_P(ModuleFile, DialogTemplateHasWhatAHostReliesOn) {
    // Loaded as data, which works for either width in a process of either.
    platform::UniqueLibrary data(
        LoadLibraryExA(GetParam().path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(data);
    HRSRC resource = FindResourceA(data.Get(), MAKEINTRESOURCEA(IDD_OPTIONS), RT_DIALOG);
    ASSERT_NE(resource, nullptr);
    const auto* at =
        static_cast<const std::uint8_t*>(LockResource(LoadResource(data.Get(), resource)));
    ASSERT_NE(at, nullptr);
    DialogTemplate dialog = ReadTemplate(at);
    EXPECT_TRUE(dialog.extended);
    EXPECT_EQ(dialog.style & ~DS_SETFONT,
              static_cast<DWORD>(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU));
    EXPECT_EQ(dialog.exStyle, static_cast<DWORD>(WS_EX_TOOLWINDOW));
    EXPECT_TRUE(dialog.caption == L"Corvanlet");

    auto& controls = dialog.controls;
    for (const std::int32_t id : {IDC_PID_EDIT, IDC_FILE_NAME_EDIT, IDC_DIRECTORY_EDIT}) {
        SCOPED_TRACE(id);
        ASSERT_EQ(controls.count(id), 1u);
        EXPECT_EQ(controls[id].controlClass, 0x81);
        EXPECT_EQ(controls[id].style & ES_READONLY, 0u);
        EXPECT_NE(controls[id].style & ES_AUTOHSCROLL, 0u);
    }
    for (const std::int32_t id : {IDC_SIZE_EDIT, IDC_TIME_EDIT}) {
        SCOPED_TRACE(id);
        ASSERT_EQ(controls.count(id), 1u);
        EXPECT_EQ(controls[id].controlClass, 0x81);
        EXPECT_NE(controls[id].style & ES_READONLY, 0u);
    }
    const std::pair<std::int32_t, const wchar_t*> buttons[] = {
        {IDC_START_BUTTON, L"Start"}, {IDC_STOP_BUTTON, L"Stop"}, {IDCANCEL, L"Close"}};
    for (const auto& [id, text] : buttons) {
        SCOPED_TRACE(id);
        ASSERT_EQ(controls.count(id), 1u);
        EXPECT_EQ(controls[id].controlClass, 0x80);
        EXPECT_TRUE(controls[id].text == text);
        EXPECT_EQ(controls[id].style & 0x0F, static_cast<DWORD>(BS_PUSHBUTTON));  // none is default
    }
    EXPECT_EQ(IDC_CLOSE_BUTTON, IDCANCEL);
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
