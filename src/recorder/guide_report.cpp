#include "recorder/guide_report.h"

#include <cstdio>
#include <cstring>

#include <windows.h>

namespace corvanlet {

namespace {

// The local time of a UTC time in seconds since 1970; false when the system
// cannot say.
bool LocalTimeOf(std::int64_t utc, SYSTEMTIME& out) {
    if (utc < 0) return false;
    constexpr std::uint64_t kTicksTo1970 = 116444736000000000ull;  // 100 ns from 1601
    const std::uint64_t ticks = static_cast<std::uint64_t>(utc) * 10000000ull + kTicksTo1970;
    FILETIME file{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME local;
    return FileTimeToLocalFileTime(&file, &local) != 0 && FileTimeToSystemTime(&local, &out) != 0;
}

// A log field's text: quotes and backslashes escaped, so a line reads back.
void Quoted(const char* text, char* out, std::size_t size) {
    std::size_t used = 0;
    for (const char* c = text; *c != '\0' && used + 3 < size; ++c) {
        if (*c == '"' || *c == '\\') out[used++] = '\\';
        out[used++] = *c;
    }
    out[used] = '\0';
}

int CodePageDecoder(int selector, const std::uint8_t* text, std::size_t length, char* out,
                    std::size_t room) {
    const UINT codePage = selector == 0x12 ? 949 : selector == 0x13 ? 936 : 950;
    if (!IsValidCodePage(codePage) || length == 0 || length > 255) return length == 0 ? 0 : -1;
    wchar_t wide[256];
    const int count =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(text),
                            static_cast<int>(length), wide, 256);
    if (count <= 0) return -1;
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide, count, out, static_cast<int>(room), nullptr, nullptr);
    return bytes > 0 ? bytes : -1;
}

}  // namespace

ts::TextOptions SystemTextOptions(int defaultTable) {
    ts::TextOptions options;
    options.defaultTable = defaultTable;
    options.wide = &CodePageDecoder;
    return options;
}

void DescribeProgramme(const ts::ServiceGuide& guide, char* out, std::size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    const char* name = guide.haveService ? guide.name : "";
    const char* scrambled = guide.haveService && guide.freeCa ? " (scrambled)" : "";
    const ts::ServiceGuide::Event& now = guide.present;
    if (!now.known) {
        std::snprintf(out, size, "%s%s", name, scrambled);
        return;
    }
    const char* dot = name[0] != '\0' ? " \xC2\xB7 " : "";  // a middle dot between them
    SYSTEMTIME from;
    SYSTEMTIME to;
    if (LocalTimeOf(now.start, from) && LocalTimeOf(now.start + now.duration, to)) {
        std::snprintf(out, size, "%s%s%s%s, %02u:%02u to %02u:%02u", name, scrambled, dot,
                      now.title, from.wHour, from.wMinute, to.wHour, to.wMinute);
    } else {
        std::snprintf(out, size, "%s%s%s%s", name, scrambled, dot, now.title);
    }
}

void GuideLog::Look(const ts::ServiceGuide& guide, std::uint32_t elapsedMs,
                    const RecordingLog& log) {
    if (guide.haveService && !loggedService_) LogService(guide, elapsedMs, log);
    if (guide.present.known && (!haveEvent_ || guide.present.id != lastEvent_)) {
        haveEvent_ = true;
        lastEvent_ = guide.present.id;
        if (eventLines_ < kMaxEventLines) LogEvent(guide.present, elapsedMs, log);
        ++eventLines_;
    }
    if (!loggedAbsent_ && elapsedMs >= kAbsentAfterMs && (!guide.sawSdt || !guide.sawEit)) {
        loggedAbsent_ = true;
        char line[80];
        std::snprintf(line, sizeof line, "guide absent=%s%s%s: the file has no %s",
                      guide.sawSdt ? "" : "SDT", !guide.sawSdt && !guide.sawEit ? "," : "",
                      guide.sawEit ? "" : "EIT",
                      guide.sawSdt   ? "programme guide"
                      : guide.sawEit ? "channel name"
                                     : "channel name or guide");
        log.Note(line);
    }
}

namespace {

void Elapsed(std::uint32_t ms, char (&out)[16]) {
    const std::uint32_t s = ms / 1000;
    std::snprintf(out, sizeof out, "%02u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
}

}  // namespace

void GuideLog::LogService(const ts::ServiceGuide& guide, std::uint32_t elapsedMs,
                          const RecordingLog& log) {
    loggedService_ = true;
    char at[16];
    Elapsed(elapsedMs, at);
    char name[800];
    char provider[800];
    Quoted(guide.name, name, sizeof name);
    Quoted(guide.provider, provider, sizeof provider);
    const char* kind = guide.serviceType == 0           ? "unknown"
                       : ts::IsRadio(guide.serviceType) ? "radio"
                                                        : "tv";
    char line[1700];
    std::snprintf(line, sizeof line, "service at=%s name=\"%s\" provider=\"%s\" type=%s%s", at,
                  name, provider, kind, guide.freeCa ? " scrambled" : "");
    log.Note(line);
}

void GuideLog::LogEvent(const ts::ServiceGuide::Event& event, std::uint32_t elapsedMs,
                        const RecordingLog& log) {
    char at[16];
    Elapsed(elapsedMs, at);
    char start[24] = "unknown";
    SYSTEMTIME local;
    if (LocalTimeOf(event.start, local)) {
        std::snprintf(start, sizeof start, "%04u-%02u-%02uT%02u:%02u", local.wYear, local.wMonth,
                      local.wDay, local.wHour, local.wMinute);
    }
    char title[800];
    Quoted(event.title, title, sizeof title);
    char line[1000];
    std::snprintf(line, sizeof line, "event at=%s id=%u start=%s duration=%02u:%02u title=\"%s\"",
                  at, static_cast<unsigned>(event.id), start, event.duration / 3600,
                  event.duration / 60 % 60, title);
    log.Note(line);
}

}  // namespace corvanlet
