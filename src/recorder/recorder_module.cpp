#include "recorder/recorder_module.h"

#include <cstdio>
#include <cstring>

#include "dialog/options_dialog.h"
#include "dialog/resource.h"
#include "module/process_values.h"

namespace corvanlet {

namespace {
constexpr char kModuleSection[] = "Corvanlet";
constexpr char kHostSection[] = "Siltrocke";

void CopyText(char* out, std::size_t size, const char* text) {
    std::snprintf(out, size, "%s", text);
}
}  // namespace

RecorderModule::RecorderModule() {
    LoadDefaults();
}

RecorderModule::~RecorderModule() {
    StopRecording();
}

void RecorderModule::LoadDefaults() {
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

    char directory[MAX_PATH] = {};
    if (exePath[0] != '\0') {
        GetPrivateProfileStringA(kHostSection, "RecordDir", defaultDirectory, directory, MAX_PATH,
                                 hostSettings);
    }
    CopyText(recordDirectory, sizeof recordDirectory, directory);
    recordPid = 0;
}

void RecorderModule::LoadSettings() {
    LoadDefaults();
    if (moduleSettingsPath[0] == '\0') return;  // no settings file: defaults only
    char fallback[kTextSize];
    CopyText(fallback, sizeof fallback, recordDirectory);
    GetPrivateProfileStringA(kModuleSection, "Path", fallback, recordDirectory, kTextSize,
                             moduleSettingsPath);
    recordPid = static_cast<std::int32_t>(
        GetPrivateProfileIntA(kModuleSection, "Pid", recordPid, moduleSettingsPath));
}

void RecorderModule::SaveSettings() const {
    if (moduleSettingsPath[0] == '\0') return;
    WritePrivateProfileStringA(kModuleSection, "Path", recordDirectory, moduleSettingsPath);
    char pid[16];
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(recordPid));
    WritePrivateProfileStringA(kModuleSection, "Pid", pid, moduleSettingsPath);
}

void RecorderModule::NameFromChannel(const ChannelInfo* channel) {
    if (channel == nullptr || IsRecording()) return;
    std::snprintf(recordFileName, sizeof recordFileName, "%i-%c-%i - pid%i.dat",
                  static_cast<int>(channel->frequency), channel->polarisation != 0 ? 'V' : 'H',
                  static_cast<int>(channel->symbolRate), static_cast<int>(recordPid));
    if (dialogWindow != nullptr) SetDlgItemTextA(dialogWindow, IDC_FILE_NAME_EDIT, recordFileName);
}

void RecorderModule::JoinPath(const char* directory, const char* fileName,
                              char (&path)[kPathSize]) {
    const std::size_t length = std::strlen(directory);
    const bool needsSeparator = length != 0 && directory[length - 1] != '\\';
    std::snprintf(path, sizeof path, "%s%s%s", directory, needsSeparator ? "\\" : "", fileName);
}

bool RecorderModule::StartRecording() {
    // A recording that runs goes on: starting again would only cut it short.
    if (IsRecording()) return true;
    char path[kPathSize];
    JoinPath(recordDirectory, recordFileName, path);
    if (!filter.Start(recordPid, path)) return false;
    startTick = GetTickCount();
    UpdateControls(*this);
    return true;
}

void RecorderModule::StopRecording() {
    if (!IsRecording()) return;
    filter.Stop();
    UpdateControls(*this);
}

}  // namespace corvanlet
