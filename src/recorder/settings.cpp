#include "recorder/settings.h"

#include <cstdio>
#include <cstring>

#include "ts/dvb_text.h"

namespace corvanlet {

namespace {
constexpr char kModuleSection[] = "Corvanlet";
constexpr char kHostSection[] = "Siltrocke";

void CopyText(char* out, std::size_t size, const char* text) {
    std::snprintf(out, size, "%s", text);
}

// The settings files hold text in the system's code page; the module keeps
// it in UTF-8. False, with `out` untouched, when it does not convert or
// does not fit (a cut path would name another directory).
bool Utf8FromSystem(const char* text, char* out, std::size_t size) {
    wchar_t wide[Settings::kTextSize];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, Settings::kTextSize) <= 0) return false;
    char utf8[Settings::kTextSize * 3];
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (length <= 0 || static_cast<std::size_t>(length) > size) return false;
    std::memcpy(out, utf8, static_cast<std::size_t>(length));
    return true;
}

// UTF-8 in the system's code page: false when a character has none there,
// so that a lossy copy is never written over what the file holds.
bool SystemFromUtf8(const char* text, char* out, std::size_t size) {
    if (GetACP() == CP_UTF8) {  // the code page is UTF-8 itself (and takes no lossy flag)
        const std::size_t length = std::strlen(text);
        if (length >= size) return false;
        std::memcpy(out, text, length + 1);
        return true;
    }
    wchar_t wide[Settings::kTextSize];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, Settings::kTextSize) <=
        0) {
        return false;
    }
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out,
                                           static_cast<int>(size), nullptr, &lossy);
    return length > 0 && lossy == FALSE;
}

// The limits' keys: a whole number from 0 to `most`; anything else is not
// set (0, never), and said.
struct LimitKey {
    const char* name;
    std::int32_t Settings::Limits::*field;
    std::int32_t most;
    const char* unit;
};
constexpr LimitKey kLimitKeys[] = {
    {"SplitMB", &Settings::Limits::splitMB, 1 << 30, "MB"},
    {"StopAfterMinutes", &Settings::Limits::stopAfterMinutes, 60 * 24 * 366, "minutes"},
    {"StopAfterMB", &Settings::Limits::stopAfterMB, 1 << 30, "MB"},
    {"MinFreeMB", &Settings::Limits::minFreeMB, 1 << 30, "MB"},
};

// Writes `text` under `key` unless the file holds it already.
void WriteChanged(const char* key, const char* text, const char* path) {
    char now[Settings::kTextSize] = {};
    const DWORD length =
        GetPrivateProfileStringA(kModuleSection, key, "\x01", now, sizeof now, path);
    const bool absent = length == 1 && now[0] == '\x01';
    if (text == nullptr ? absent : !absent && std::strcmp(now, text) == 0) return;
    WritePrivateProfileStringA(kModuleSection, key, text, path);
}

void WriteNumber(const char* key, std::int32_t value, const char* path) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
    WriteChanged(key, text, path);
}

// A check box's key: a file without the key already says "off".
void WriteCheckBox(const char* key, bool on, const char* path) {
    char now[8] = {};
    GetPrivateProfileStringA(kModuleSection, key, "", now, sizeof now, path);
    if (on || now[0] != '\0') WriteNumber(key, on ? 1 : 0, path);
}

// A whole number from 0 up, blanks around; text that is none is noted.
void NoteProblem(Settings::Values& values, const char* key, const char* text, const char* what) {
    if (values.problemCount == Settings::Values::kMaxProblems) return;
    std::snprintf(values.problems[values.problemCount++], sizeof values.problems[0],
                  "settings: %s=%.60s is not %s; not used", key, text, what);
}
}  // namespace

Settings::Settings(const char* settingsPath) {
    if (settingsPath != nullptr && std::strlen(settingsPath) < sizeof path_) {
        CopyText(path_, sizeof path_, settingsPath);
    }
}

Settings Settings::Beside(HMODULE module) {
    char file[32768] = {};
    const DWORD length = GetModuleFileNameA(module, file, sizeof file);
    if (length == 0 || length >= sizeof file) return Settings(nullptr);
    char* slash = std::strrchr(file, '\\');
    if (slash == nullptr) return Settings(nullptr);
    slash[1] = '\0';
    char path[kPathSize + 1] = {};
    const int written = std::snprintf(path, sizeof path, "%sOptions.ini", file);
    if (written < 0 || static_cast<std::size_t>(written) >= kPathSize) return Settings(nullptr);
    return Settings(path);
}

Settings::Values Settings::Defaults() const {
    char exePath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, exePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) exePath[0] = '\0';

    // The directory keeps its trailing backslash.
    char defaultDirectory[MAX_PATH] = {};
    if (const char* slash = std::strrchr(exePath, '\\')) {
        std::memcpy(defaultDirectory, exePath, static_cast<std::size_t>(slash - exePath) + 1);
    }
    // The host's settings file: the executable's path with its extension
    // replaced by "ini" (or ".ini" added when its name has none).
    char hostSettings[MAX_PATH + 4] = {};
    CopyText(hostSettings, sizeof hostSettings, exePath);
    char* dot = std::strrchr(hostSettings, '.');
    const char* slash = std::strrchr(hostSettings, '\\');
    if (dot != nullptr && (slash == nullptr || dot > slash)) {
        std::strcpy(dot + 1, "ini");
    } else {
        std::strcat(hostSettings, ".ini");
    }

    Values values;
    char directory[MAX_PATH] = {};
    if (exePath[0] != '\0') {
        GetPrivateProfileStringA(kHostSection, "RecordDir", defaultDirectory, directory, MAX_PATH,
                                 hostSettings);
    }
    if (!Utf8FromSystem(directory, values.directory, sizeof values.directory)) {
        CopyText(values.directory, sizeof values.directory,
                 defaultDirectory);  // plain ASCII or empty
        (void)Utf8FromSystem(defaultDirectory, values.directory, sizeof values.directory);
    }
    return values;
}

Settings::Values Settings::Load() const {
    Values values = Defaults();
    if (path_[0] == '\0') return values;  // no settings file: defaults only
    char directory[kTextSize];
    const DWORD length =
        GetPrivateProfileStringA(kModuleSection, "Path", "\x01", directory, kTextSize, path_);
    // No key, or a directory that does not convert, keeps the default.
    if (length != 1 || directory[0] != '\x01') {
        (void)Utf8FromSystem(directory, values.directory, sizeof values.directory);
    }
    values.choice = PidChoice::Single(
        static_cast<std::int32_t>(GetPrivateProfileIntA(kModuleSection, "Pid", 0, path_)));
    char pids[200] = {};
    GetPrivateProfileStringA(kModuleSection, "Pids", "", pids, sizeof pids, path_);
    // Only a list or a service: anything else leaves "Pid" in charge.
    const PidChoice typed = ParsePidChoice(pids);
    if (typed.kind == PidChoice::Kind::kList || typed.kind == PidChoice::Kind::kService) {
        values.choice = typed;
    }
    char buffer[64] = {};
    GetPrivateProfileStringA(kModuleSection, "BufferKB", "", buffer, sizeof buffer, path_);
    values.bufferKB = ParseBufferKB(buffer);
    if (buffer[0] != '\0' && ParseSettingNumber(buffer, -1, 0, kLargestBufferKB) < 0) {
        NoteProblem(values, "BufferKB", buffer, "a whole number of KB (the default is used)");
    }
    for (const LimitKey& key : kLimitKeys) {
        GetPrivateProfileStringA(kModuleSection, key.name, "", buffer, sizeof buffer, path_);
        values.limits.*key.field = ParseSettingNumber(buffer, 0, 0, key.most);
        if (buffer[0] != '\0' && ParseSettingNumber(buffer, -1, -1, key.most) < 0) {
            char what[48];
            std::snprintf(what, sizeof what, "a whole number of %s", key.unit);
            NoteProblem(values, key.name, buffer, what);
        }
    }
    LoadGuideKeys(values);
    return values;
}

void Settings::LoadGuideKeys(Values& values) const {
    char buffer[64] = {};
    GetPrivateProfileStringA(kModuleSection, "StopAtProgrammeEnd", "", buffer, sizeof buffer,
                             path_);
    values.stopAtProgrammeEnd = ParseSettingNumber(buffer, 0, 0, 1) == 1;
    GetPrivateProfileStringA(kModuleSection, "SplitAtProgrammes", "", buffer, sizeof buffer, path_);
    values.splitAtProgrammes = ParseSettingNumber(buffer, 0, 0, 1) == 1;
    GetPrivateProfileStringA(kModuleSection, "PaddingMinutes", "", buffer, sizeof buffer, path_);
    values.paddingMinutes = ParseSettingNumber(buffer, 2, 0, 60);
    if (buffer[0] != '\0' && ParseSettingNumber(buffer, -1, 0, 60) < 0) {
        NoteProblem(values, "PaddingMinutes", buffer, "a whole number of minutes (2 are used)");
    }
    GetPrivateProfileStringA(kModuleSection, "TextTable", "", buffer, sizeof buffer, path_);
    if (buffer[0] != '\0' && !ts::ParseTextTable(buffer, values.textTable)) {
        values.textTable = 0;
        NoteProblem(values, "TextTable", buffer, "a table's name (the default table is used)");
    }
    char form[sizeof values.nameTemplate];
    GetPrivateProfileStringA(kModuleSection, "NameTemplate", "", form, sizeof form, path_);
    if (form[0] != '\0')
        (void)Utf8FromSystem(form, values.nameTemplate, sizeof values.nameTemplate);
}

void Settings::Save(const Values& values) const {
    if (path_[0] == '\0') return;
    char directory[kTextSize];
    if (SystemFromUtf8(values.directory, directory, sizeof directory)) {
        WriteChanged("Path", directory, path_);
    }
    WriteNumber("Pid", values.choice.pid, path_);
    char pids[160] = {};
    FormatPidChoice(values.choice, pids, sizeof pids);
    // One PID has no "Pids": the key goes, so an older list is not read back.
    WriteChanged("Pids", values.choice.kind == PidChoice::Kind::kSingle ? nullptr : pids, path_);
    WriteCheckBox("StopAtProgrammeEnd", values.stopAtProgrammeEnd, path_);
    WriteCheckBox("SplitAtProgrammes", values.splitAtProgrammes, path_);
}

}  // namespace corvanlet
