#include "recorder/programme_watch.h"

#include <cstdio>
#include <cstring>

#include <windows.h>

namespace corvanlet {

namespace {

std::int64_t UtcNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<std::int64_t>((ticks - 116444736000000000ull) / 10000000ull);
}

// A UTC time as the PC's local time, "2026-12-09T20:30"; "unknown" for -1.
void LocalText(std::int64_t utc, char* out, std::size_t size) {
    std::snprintf(out, size, "unknown");
    if (utc < 0) return;
    const std::uint64_t ticks =
        static_cast<std::uint64_t>(utc) * 10000000ull + 116444736000000000ull;
    FILETIME file{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME local;
    SYSTEMTIME t;
    if (FileTimeToLocalFileTime(&file, &local) == 0 || FileTimeToSystemTime(&local, &t) == 0)
        return;
    std::snprintf(out, size, "%04u-%02u-%02uT%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute);
}

}  // namespace

void ProgrammeWatch::Start(std::uint32_t paddingMinutes, bool splits) {
    on_ = true;
    splits_ = splits;
    paddingMs_ = paddingMinutes * 60000u;
    elapsedMs_ = 0;
    timeCount_ = 0;
    streamTime_ = -1;
    streamTimeAtMs_ = 0;
    end_.Start(paddingMs_);
    sectionsKnown_ = false;
    title_[0] = '\0';
}

void ProgrammeWatch::FollowNext() {
    // The sections seen and the clock stay: only the programme is new.
    end_.FollowNext();
    title_[0] = '\0';
}

// The broadcast's clock, which the guide's times are on: its last TDT or
// TOT and the time since; the PC's clock until one came.
std::int64_t ProgrammeWatch::Now(const ts::ServiceStream& service, std::uint32_t elapsedMs) {
    std::uint32_t count = 0;
    const std::int64_t time = service.StreamTime(count);
    if (count != timeCount_ && time >= 0) {
        timeCount_ = count;
        streamTime_ = time;
        streamTimeAtMs_ = elapsedMs;
    }
    if (streamTime_ < 0) return UtcNow();
    return streamTime_ + (elapsedMs - streamTimeAtMs_) / 1000;
}

bool ProgrammeWatch::Look(const ts::ServiceStream& service, std::uint32_t elapsedMs) {
    if (!on_) return false;
    elapsedMs_ = elapsedMs;
    ts::ServiceGuide guide;
    service.Guide(guide);
    const std::uint32_t sections = service.PresentSections();
    ts::ProgrammeEnd::Look look;
    look.nowMs = elapsedMs;
    look.nowUtc = Now(service, elapsedMs);
    look.sectionCame = sectionsKnown_ ? sections != sections_ : sections != 0;
    sections_ = sections;
    sectionsKnown_ = true;
    look.presentKnown = guide.present.known;
    look.presentId = guide.present.id;
    look.running = guide.present.runningStatus;
    look.start = guide.present.start;
    look.duration = guide.present.duration;
    const bool stop = end_.Next(look);
    if (end_.Known() && guide.present.known && guide.present.id == end_.EventId()) {
        std::snprintf(title_, sizeof title_, "%s", guide.present.title);
    }
    return stop;
}

void ProgrammeWatch::Describe(char* out, std::size_t size) const {
    if (size != 0) out[0] = '\0';
    if (!on_ || !end_.Known()) return;
    char title[800];
    std::size_t used = 0;
    for (const char* c = title_; *c != '\0' && used + 3 < sizeof title; ++c) {
        if (*c == '"' || *c == '\\') title[used++] = '\\';
        title[used++] = *c;
    }
    title[used] = '\0';
    char announced[24];
    char actual[24];
    LocalText(end_.AnnouncedEnd(), announced, sizeof announced);
    LocalText(end_.SeenEnd(), actual, sizeof actual);
    std::snprintf(out, size, " programme=\"%s\" announced_end=%s actual_end=%s", title, announced,
                  actual);
}

void ProgrammeWatch::Say(char* out, std::size_t size) const {
    if (size != 0) out[0] = '\0';
    if (!on_) return;
    if (!end_.GuideSeen() && elapsedMs_ >= kNoGuideAfterMs) {
        std::snprintf(out, size, "no programme guide: %s",
                      splits_ ? "one file for all" : "will not stop by itself");
        return;
    }
    char at[24];
    LocalText(end_.StopsAt(), at, sizeof at);
    const char* clock = std::strlen(at) == 16 ? at + 11 : at;  // "HH:MM" of the local time
    if (end_.StopsAt() >= 0) {
        std::snprintf(out, size, "programme over: %s %s", splits_ ? "next file at" : "stops at",
                      clock);
    }
}

}  // namespace corvanlet
