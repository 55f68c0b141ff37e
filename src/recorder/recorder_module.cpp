#include "recorder/recorder_module.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace corvanlet {

const char* StopReasonName(StopReason reason) {
    switch (reason) {
        case StopReason::kUser:
            return "user";
        case StopReason::kHostStop:
            return "host-stop";
        case StopReason::kChannel:
            return "channel";
        case StopReason::kUnload:
            return "unload";
        case StopReason::kExit:
            return "exit";
        case StopReason::kTime:
            return "time";
        case StopReason::kSize:
            return "size";
        case StopReason::kLowSpace:
            return "low-space";
        case StopReason::kDiskStuck:
            return "disk-stuck";
    }
    return "user";
}

RecorderModule::RecorderModule(const HostLink& link, const Settings& settings,
                               RecordingFilter::SinkMaker makeSink)
    : link_(link),
      settings_(settings),
      log_(settings.Path()),
      filter_(FileSink::kCapacity, makeSink) {
    LoadDefaults();
}

RecorderModule::~RecorderModule() {
    Shutdown(platform::Teardown::kNone);
}

void RecorderModule::Shutdown(platform::Teardown how) {
    Stop(how == platform::Teardown::kProcessExit ? StopReason::kExit : StopReason::kUnload, how);
    // Writers left stuck in a write, by this stop or an earlier one, must
    // never come back into the library's code once it is unmapped.
    if (how != platform::Teardown::kUnload) return;
    const std::uint32_t stopped = platform::StopGivenUpThreads();
    if (stopped != 0) log_.WritersStopped(stopped);
}

void RecorderModule::LoadDefaults() {
    Take(settings_.Defaults());
}

void RecorderModule::LoadSettings() {
    Take(settings_.Load());
    startedSinceRead_ = false;
}

void RecorderModule::Take(const Settings::Values& values) {
    std::snprintf(directory_, sizeof directory_, "%s", values.directory);
    pid_ = values.pid;
    bufferKB_ = values.bufferKB;
    limits_ = values.limits;
}

void RecorderModule::SaveSettings() const {
    Settings::Values values;
    values.pid = pid_;
    std::snprintf(values.directory, sizeof values.directory, "%s", directory_);
    values.bufferKB = bufferKB_;
    values.limits = limits_;
    settings_.Save(values);
}

void RecorderModule::SaveChosenSettings() const {
    if (startedSinceRead_) SaveSettings();
}

bool RecorderModule::NameFromChannel(const ChannelInfo* channel) {
    if (channel == nullptr || IsRecording()) return false;
    channel_ = *channel;
    haveChannel_ = true;
    BuildName();
    return true;
}

void RecorderModule::BuildName() {
    std::snprintf(fileName_, sizeof fileName_, "%i-%c-%i - pid%i.dat",
                  static_cast<int>(channel_.frequency), channel_.polarisation != 0 ? 'V' : 'H',
                  static_cast<int>(channel_.symbolRate), static_cast<int>(pid_));
    std::memcpy(builtName_, fileName_, sizeof builtName_);
}

void RecorderModule::SetChoice(std::int32_t pid, const char* fileName, const char* directory) {
    pid_ = pid;
    std::snprintf(fileName_, sizeof fileName_, "%s", fileName != nullptr ? fileName : "");
    std::snprintf(directory_, sizeof directory_, "%s", directory != nullptr ? directory : "");
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
    if (haveChannel_ && std::strcmp(fileName_, builtName_) == 0) BuildName();
    char path[kPathSize];
    JoinPath(directory_, fileName_, path);
    const RecordingLimits limits = LimitsOf(limits_);
    if (!filter_.Start(link_, pid_, path, bufferKB_ * 1024, limits)) {
        // Only our own stuck writer is stepped around; a file another
        // program holds fails the start, as any file that cannot be created.
        const FileSink::OpenFailure failure = filter_.Sink().LastOpenFailure();
        if (failure != FileSink::OpenFailure::kInUse || !HeldByStuckWriter(path) ||
            !StartBesideFileInUse(limits)) {
            log_.StartFailed(pid_, path, OpenFailureName(failure));
            return false;
        }
        JoinPath(directory_, fileName_, path);
    }
    std::memcpy(path_, path, sizeof path_);
    startTick_ = platform::TickCountMs();
    recorded_ = true;
    startedSinceRead_ = true;
    log_.Started(pid_, path, filter_.Figures().ringBytes);
    return true;
}

RecordingLimits RecorderModule::LimitsOf(const Settings::Limits& settings) {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    RecordingLimits limits;
    limits.splitBytes = static_cast<std::uint64_t>(settings.splitMB) * kMiB;
    limits.stopAfterBytes = static_cast<std::uint64_t>(settings.stopAfterMB) * kMiB;
    limits.stopAfterMs = static_cast<std::uint64_t>(settings.stopAfterMinutes) * 60000u;
    limits.minFreeBytes = static_cast<std::uint64_t>(settings.minFreeMB) * kMiB;
    return limits;
}

const char* RecorderModule::OpenFailureName(FileSink::OpenFailure failure) {
    switch (failure) {
        case FileSink::OpenFailure::kInUse:
            return "in-use";
        case FileSink::OpenFailure::kLowSpace:
            return "low-space";
        case FileSink::OpenFailure::kTimedOut:
            return "timeout";
        case FileSink::OpenFailure::kNoRing:
            return "no-memory";
        case FileSink::OpenFailure::kNone:
        case FileSink::OpenFailure::kNoFile:
            break;
    }
    return "cannot-create";
}

bool RecorderModule::HeldByStuckWriter(const char* path) const {
    for (const auto& stuck : stuckPaths_) {
        if (stuck[0] != '\0' && _stricmp(stuck, path) == 0) return true;
    }
    return false;
}

bool RecorderModule::StartBesideFileInUse(const RecordingLimits& limits) {
    const char* dot = std::strrchr(fileName_, '.');
    const int stem = dot != nullptr ? static_cast<int>(dot - fileName_)
                                    : static_cast<int>(std::strlen(fileName_));
    const char* extension = fileName_ + stem;
    for (int n = 2; n <= 9; ++n) {
        char name[kTextSize];
        const int length =
            std::snprintf(name, sizeof name, "%.*s (%d)%s", stem, fileName_, n, extension);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof name) return false;
        char path[kPathSize];
        JoinPath(directory_, name, path);
        if (filter_.Start(link_, pid_, path, bufferKB_ * 1024, limits)) {
            std::memcpy(fileName_, name, static_cast<std::size_t>(length) + 1);
            return true;
        }
        if (filter_.Sink().LastOpenFailure() != FileSink::OpenFailure::kInUse) return false;
    }
    return false;
}

void RecorderModule::StopRecording(StopReason reason) {
    Stop(reason, platform::Teardown::kNone);
}

void RecorderModule::Stop(StopReason reason, platform::Teardown how) {
    if (!IsRecording()) return;
    filter_.Stop(how);
    const FileSink::Figures figures = filter_.Figures();
    // A recording that ended at a limit ended then, whoever stopped it later
    // and whenever: its time and its reason are the limit's.
    const bool ended = figures.ended != FileSink::End::kNone;
    stopTick_ = ended ? startTick_ + static_cast<std::uint32_t>(figures.endedAfterMs)
                      : platform::TickCountMs();
    if (ended) reason = EndReason(figures.ended);
    if (figures.leftBehind) {
        std::memcpy(stuckPaths_[nextStuckPath_], path_, sizeof path_);
        nextStuckPath_ = (nextStuckPath_ + 1) % 4;
    }
    RecordingLog::Stop stop{};
    stop.durationMs = stopTick_ - startTick_;
    stop.bytesWritten = figures.bytesWritten;
    stop.refusedBlocks = figures.refusedBlocks;
    stop.refusedBytes = figures.refusedBytes;
    stop.failedWrites = figures.failedWrites;
    // What a stuck writer kept counts with what failed: it is not in the file.
    stop.failedWriteBytes = figures.failedWriteBytes + figures.unconfirmedBytes;
    stop.continuityErrors = figures.continuityErrors;
    stop.transportErrors = figures.transportErrors;
    stop.sawPackets = figures.sawPackets;
    stop.peakFillPercent = figures.peakFillPercent;
    stop.reason = StopReasonName(figures.leftBehind ? StopReason::kDiskStuck : reason);
    stop.parts = figures.parts;
    log_.Stopped(pid_, stop);
}

StopReason RecorderModule::EndReason(FileSink::End end) {
    switch (end) {
        case FileSink::End::kTime:
            return StopReason::kTime;
        case FileSink::End::kSize:
            return StopReason::kSize;
        case FileSink::End::kLowSpace:
            return StopReason::kLowSpace;
        case FileSink::End::kNone:
            break;
    }
    return StopReason::kUser;
}

bool RecorderModule::StopIfEnded() {
    if (!IsRecording() || filter_.Sink().Ended() == FileSink::End::kNone) return false;
    StopRecording(EndReason(filter_.Sink().Ended()));
    return true;
}

std::uint64_t RecorderModule::LostBytes() const {
    return filter_.Figures().LostBytes();
}

bool RecorderModule::StreamErrors(std::uint64_t& errors) const {
    const FileSink::Figures figures = filter_.Figures();
    errors = figures.continuityErrors + figures.transportErrors;
    return figures.sawPackets;
}

std::uint32_t RecorderModule::ElapsedMs() const {
    // Unsigned: a wrap of the tick count is harmless.
    return (IsRecording() ? platform::TickCountMs() : stopTick_) - startTick_;
}

}  // namespace corvanlet
