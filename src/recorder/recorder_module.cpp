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
    filter_.SetChangeHook(&RecorderModule::OnServiceChange, this);
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
    choice_ = values.choice;
    bufferKB_ = values.bufferKB;
    limits_ = values.limits;
}

void RecorderModule::SaveSettings() const {
    Settings::Values values;
    values.choice = choice_;
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
    char tail[200];
    PidChoiceFileTail(choice_, tail, sizeof tail);
    std::snprintf(fileName_, sizeof fileName_, "%i-%c-%i - %s",
                  static_cast<int>(channel_.frequency), channel_.polarisation != 0 ? 'V' : 'H',
                  static_cast<int>(channel_.symbolRate), tail);
    std::memcpy(builtName_, fileName_, sizeof builtName_);
}

void RecorderModule::SetChoice(const PidChoice& choice, const char* fileName,
                               const char* directory) {
    choice_ = choice;
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
    loggedPmtChanges_ = 0;
    loggedTables_ = false;
    if (!filter_.Start(link_, SelectionOf(), path, bufferKB_ * 1024, limits)) {
        // Only our own stuck writer is stepped around; a file another
        // program holds fails the start, as any file that cannot be created.
        const FileSink::OpenFailure failure = filter_.Sink().LastOpenFailure();
        if (failure != FileSink::OpenFailure::kInUse || !HeldByStuckWriter(path) ||
            !StartBesideFileInUse(limits)) {
            log_.StartFailed(choice_.pid, path, OpenFailureName(failure));
            return false;
        }
        JoinPath(directory_, fileName_, path);
    }
    std::memcpy(path_, path, sizeof path_);
    startTick_ = platform::TickCountMs();
    recorded_ = true;
    startedSinceRead_ = true;
    char selection[400];
    DescribeRegistrations(selection, sizeof selection);
    log_.Started(choice_.pid, path, filter_.Figures().ringBytes, selection);
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
        if (filter_.Start(link_, SelectionOf(), path, bufferKB_ * 1024, limits)) {
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
    std::uint16_t pids[RecordingFilter::kMaxFilters];
    const std::uint32_t pidCount = RegisteredPids(false, pids, RecordingFilter::kMaxFilters);
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
    char streams[RecordingFilter::kMaxFilters * 32 + 16] = "";
    if (choice_.kind != PidChoice::Kind::kSingle && !figures.leftBehind) {
        std::size_t used = std::snprintf(streams, sizeof streams, " streams=");
        const ContinuityCheck& counts = filter_.Sink().Continuity();
        for (std::uint32_t i = 0; i < pidCount && used < sizeof streams; ++i) {
            used += static_cast<std::size_t>(
                std::snprintf(streams + used, sizeof streams - used, "%s%u:%llu/%llu",
                              i == 0 ? "" : ",", static_cast<unsigned>(pids[i]),
                              static_cast<unsigned long long>(counts.PidPackets(pids[i])),
                              static_cast<unsigned long long>(counts.PidErrors(pids[i]))));
        }
    }
    stop.streams = streams;
    log_.Stopped(choice_.pid, stop);
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

RecordingFilter::Selection RecorderModule::SelectionOf() const {
    RecordingFilter::Selection selection = RecordingFilter::Selection::Pid(choice_.pid);
    if (choice_.kind == PidChoice::Kind::kService) {
        selection.service = true;
        selection.serviceId = choice_.serviceId;
    } else if (choice_.kind == PidChoice::Kind::kList) {
        selection.count = choice_.count;
        for (std::uint32_t i = 0; i < choice_.count; ++i) selection.pids[i] = choice_.pids[i];
    }
    return selection;
}

std::uint32_t RecorderModule::RegisteredPids(bool refused, std::uint16_t* out,
                                             std::uint32_t room) const {
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; const StreamFilter* filter = filter_.FilterAt(i); ++i) {
        if (filter->Accepted() != refused && count < room) {
            out[count++] = static_cast<std::uint16_t>(filter->Pid());
        }
    }
    return count;
}

namespace {

// ",1,2,3" after `name`, or nothing for no PIDs.
std::size_t ListPids(char* out, std::size_t size, const char* name, const std::uint16_t* pids,
                     std::uint32_t count) {
    if (count == 0 || size == 0) return 0;
    std::size_t used = static_cast<std::size_t>(std::snprintf(out, size, "%s", name));
    for (std::uint32_t i = 0; i < count && used < size; ++i) {
        const int n = std::snprintf(out + used, size - used, i == 0 ? "%u" : ",%u",
                                    static_cast<unsigned>(pids[i]));
        if (n < 0) break;
        used += static_cast<std::size_t>(n);
    }
    return used < size ? used : size - 1;
}

}  // namespace

void RecorderModule::DescribeRegistrations(char* out, std::size_t size) const {
    out[0] = '\0';
    if (choice_.kind == PidChoice::Kind::kSingle) return;
    std::uint16_t pids[RecordingFilter::kMaxFilters];
    std::size_t used = 0;
    if (choice_.kind == PidChoice::Kind::kService) {
        used = static_cast<std::size_t>(
            std::snprintf(out, size, " sid=%u", static_cast<unsigned>(choice_.serviceId)));
    }
    const std::uint32_t accepted = RegisteredPids(false, pids, RecordingFilter::kMaxFilters);
    used += ListPids(out + used, size - used, " pids=", pids, accepted);
    const std::uint32_t refused = RegisteredPids(true, pids, RecordingFilter::kMaxFilters);
    ListPids(out + used, size - used, " refused=", pids, refused);
}

void RecorderModule::Status(char* out, std::size_t size) const {
    out[0] = '\0';
    if (!IsRecording()) return;
    std::uint16_t refused[RecordingFilter::kMaxFilters];
    const std::uint32_t count = RegisteredPids(true, refused, RecordingFilter::kMaxFilters);
    std::uint16_t accepted[1];
    const bool none = RegisteredPids(false, accepted, 1) == 0;
    const ts::ServiceStream* service = filter_.Service();
    if (count != 0) {
        const std::size_t used = ListPids(out, size, "", refused, count);
        std::snprintf(
            out + used, size - used, " refused%s",
            none ? ": not fed, nothing is recorded"
                 : (service != nullptr && (refused[0] == 0 || refused[0] == service->PmtPid())
                        ? ": no tables, nothing is recorded"
                        : ""));
        return;
    }
    if (service == nullptr) return;
    switch (service->CurrentState()) {
        case ts::ServiceStream::State::kNotFound:
            std::snprintf(out, size, "service not found");
            break;
        case ts::ServiceStream::State::kWaitingPat:
        case ts::ServiceStream::State::kWaitingPmt:
            std::snprintf(out, size, "waiting for the service's tables");
            break;
        case ts::ServiceStream::State::kRecording:
            break;
    }
}

void RecorderModule::OnServiceChange(void* self) {
    auto* recorder = static_cast<RecorderModule*>(self);
    if (recorder->lock_ == nullptr) {
        recorder->LogServiceChange();
        return;
    }
    platform::CallGuard guard(*recorder->lock_);
    recorder->LogServiceChange();
}

void RecorderModule::LogServiceChange() {
    if (!filter_.ApplyServiceChange()) return;
    const ts::ServiceStream* service = filter_.Service();
    if (service == nullptr) return;
    const bool tables = service->CurrentState() == ts::ServiceStream::State::kRecording;
    const std::uint32_t changes = service->PmtChanges();
    const char* event = nullptr;
    if (tables && !loggedTables_) event = "tables";
    if (tables && loggedTables_ && changes != loggedPmtChanges_) event = "pmt-change";
    if (event == nullptr) return;
    loggedTables_ = true;
    loggedPmtChanges_ = changes;
    char pids[400];
    DescribeRegistrations(pids, sizeof pids);
    char line[600];
    std::snprintf(line, sizeof line, "%s pmt_pid=%u version=%u%s", event,
                  static_cast<unsigned>(service->PmtPid()),
                  static_cast<unsigned>(service->PmtVersion()), pids);
    log_.Note(line);
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
