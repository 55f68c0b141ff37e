#include "recorder/recording_log.h"

#include <cstdio>
#include <cstring>

#include <windows.h>

#include "platform/handles.h"

namespace corvanlet {

namespace {

// Local date and time, ISO 8601: 2026-12-08T23:45:12.
void LocalTime(char (&out)[24]) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::snprintf(out, sizeof out, "%04u-%02u-%02uT%02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
}

// Text as the system's code page has it (the PID field), in UTF-8 as the
// log is written.
void Utf8Of(const char* text, char* out, std::size_t size) {
    wchar_t wide[2100];
    const int count = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 2100);
    if (count <= 0 || WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, static_cast<int>(size),
                                          nullptr, nullptr) <= 0) {
        std::snprintf(out, size, "%s", text);
    }
}

unsigned long long Wide(std::uint64_t value) {
    return static_cast<unsigned long long>(value);
}

}  // namespace

RecordingLog::RecordingLog(const char* settingsPath) {
    if (settingsPath == nullptr) return;
    const char* slash = std::strrchr(settingsPath, '\\');
    if (slash == nullptr) return;
    const int written = std::snprintf(path_, sizeof path_, "%.*sCorvanlet.log",
                                      static_cast<int>(slash - settingsPath + 1), settingsPath);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof path_) path_[0] = '\0';
}

void RecordingLog::Started(std::int32_t pid, const char* path, std::uint32_t ringBytes,
                           const char* selection) const {
    char when[24];
    LocalTime(when);
    const char* file = path;  // paths are UTF-8, as the log
    char line[7000];
    std::snprintf(line, sizeof line, "%s start pid=%d file=\"%s\" ring=%uKB%s\r\n", when,
                  static_cast<int>(pid), file, ringBytes / 1024, selection);
    Append(line);
}

void RecordingLog::Note(const char* event) const {
    char when[24];
    LocalTime(when);
    char line[2000];
    std::snprintf(line, sizeof line, "%s %s\r\n", when, event);
    Append(line);
}

void RecordingLog::StartFailed(std::int32_t pid, const char* path, const char* reason) const {
    char when[24];
    LocalTime(when);
    const char* file = path;  // paths are UTF-8, as the log
    char line[6400];
    std::snprintf(line, sizeof line, "%s start-failed pid=%d file=\"%s\" reason=%s\r\n", when,
                  static_cast<int>(pid), file, reason);
    Append(line);
}

void RecordingLog::Stopped(std::int32_t pid, const Stop& stop) const {
    char when[24];
    LocalTime(when);
    const std::uint32_t s = stop.durationMs / 1000;
    char errors[64];
    if (stop.sawPackets) {
        std::snprintf(errors, sizeof errors, "cc_errors=%llu transport_errors=%llu",
                      Wide(stop.continuityErrors), Wide(stop.transportErrors));
    } else {
        std::snprintf(errors, sizeof errors, "cc_errors=- transport_errors=-");
    }
    char parts[24] = "";
    if (stop.parts > 1) std::snprintf(parts, sizeof parts, " parts=%u", stop.parts);
    // Bits per millisecond are kilobits per second.
    const std::uint64_t kbps = stop.durationMs == 0 ? 0 : stop.bytesWritten * 8 / stop.durationMs;
    char line[3000];
    // The fields of earlier versions first, in their order, for whoever reads them.
    std::snprintf(line, sizeof line,
                  "%s stop pid=%d duration=%02u:%02u:%02u bytes=%llu refused_blocks=%llu "
                  "refused_bytes=%llu failed_writes=%llu failed_bytes=%llu %s ring_peak=%u%% "
                  "reason=%s kbps=%llu%s%s scrambled=%llu nodata_s=%u%s\r\n",
                  when, static_cast<int>(pid), s / 3600, (s % 3600) / 60, s % 60,
                  Wide(stop.bytesWritten), Wide(stop.refusedBlocks), Wide(stop.refusedBytes),
                  Wide(stop.failedWrites), Wide(stop.failedWriteBytes), errors,
                  stop.peakFillPercent, stop.reason, Wide(kbps), parts,
                  stop.streams != nullptr ? stop.streams : "", Wide(stop.scrambled),
                  stop.longestGapS, stop.programme != nullptr ? stop.programme : "");
    Append(line);
}

void RecordingLog::Part(std::uint32_t number, const char* path) const {
    char when[24];
    LocalTime(when);
    const char* file = path;  // paths are UTF-8, as the log
    char line[6100];
    std::snprintf(line, sizeof line, "%s part number=%u file=\"%s\"\r\n", when, number, file);
    Append(line);
}

void RecordingLog::StartRefused(const char* typed, const char* path, const char* why) const {
    char when[24];
    LocalTime(when);
    const char* file = path;  // paths are UTF-8, as the log
    char text[200];
    Utf8Of(typed, text, sizeof text);
    char line[6600];
    std::snprintf(line, sizeof line,
                  "%s start-failed pid=\"%s\" file=\"%s\" reason=bad-pid why=\"%s\"\r\n", when,
                  text, file, why);
    Append(line);
}

void RecordingLog::WritersStopped(std::uint32_t count) const {
    char when[24];
    LocalTime(when);
    char line[200];
    std::snprintf(line, sizeof line,
                  "%s unload stuck_writers=%u: stopped inside their write; their files stay "
                  "open until the host ends\r\n",
                  when, count);
    Append(line);
}

void RecordingLog::RotateIfFull() const {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExA(path_, GetFileExInfoStandard, &info)) return;
    const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (size < kRotateBytes) return;
    char old[sizeof path_ + 4];
    const int length = std::snprintf(old, sizeof old, "%s.old", path_);
    // An ".old" name past the system's path limit cannot be made.
    if (length > 0 && length < MAX_PATH && MoveFileExA(path_, old, MOVEFILE_REPLACE_EXISTING)) {
        return;
    }
    // The old log is read-only or held open, or the directory takes no
    // renames: begin anew in place rather than grow without bound.
    platform::UniqueFileHandle file(CreateFileA(path_, GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void RecordingLog::Append(const char* line) const {
    if (path_[0] == '\0') return;
    RotateIfFull();
    platform::UniqueFileHandle file(CreateFileA(path_, FILE_APPEND_DATA,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.Get(), line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
}

}  // namespace corvanlet
