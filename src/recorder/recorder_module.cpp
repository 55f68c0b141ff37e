#include "recorder/recorder_module.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "recorder/name_rule.h"

namespace corvanlet {

RecorderModule::RecorderModule(const HostLink& link, const Settings& settings,
                               RecordingFilter::SinkMaker makeSink)
    : link_(link),
      settings_(settings),
      log_(settings.Path()),
      filter_(FileSink::kCapacity, makeSink) {
    filter_.SetChangeHook(&RecorderModule::OnControl, this);
    LoadDefaults();
}

RecorderModule::~RecorderModule() {
    Shutdown(platform::Teardown::kNone);
}

void RecorderModule::Shutdown(platform::Teardown how) {
    StopBrowsing(how);
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
    textTable_ = values.textTable;
    std::memcpy(nameTemplate_, values.nameTemplate, sizeof nameTemplate_);
    stopAtProgrammeEnd_ = values.stopAtProgrammeEnd;
    splitAtProgrammes_ = values.splitAtProgrammes;
    paddingMinutes_ = values.paddingMinutes;
    std::memcpy(problems_.problems, values.problems, sizeof problems_.problems);
    problems_.problemCount = values.problemCount;
    problemsLogged_ = false;
}

void RecorderModule::SaveSettings() const {
    Settings::Values values;
    values.choice = choice_;
    std::snprintf(values.directory, sizeof values.directory, "%s", directory_);
    values.bufferKB = bufferKB_;
    values.limits = limits_;
    values.stopAtProgrammeEnd = stopAtProgrammeEnd_;
    values.splitAtProgrammes = splitAtProgrammes_;
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
    // Another transponder, with the dialog open: its services, afresh.
    if (browseWanted_) (void)browse_.Start(link_, SystemTextOptions(textTable_));
    return true;
}

void RecorderModule::StartBrowsing() {
    browseWanted_ = true;
    if (IsRecording()) return;
    (void)browse_.Start(link_, SystemTextOptions(textTable_));
}

void RecorderModule::StopBrowsing(platform::Teardown how) {
    browseWanted_ = false;
    browse_.Stop(how);
}

bool RecorderModule::BuiltNameFor(const PidChoice& choice, char* out, std::size_t size) const {
    if (!haveChannel_) return false;
    char tail[200];
    PidChoiceFileTail(choice, tail, sizeof tail);
    std::snprintf(out, size, "%i-%c-%i - %s", static_cast<int>(channel_.frequency),
                  channel_.polarisation != 0 ? 'V' : 'H', static_cast<int>(channel_.symbolRate),
                  tail);
    return true;
}

bool RecorderModule::BuildNameFor(const PidChoice& choice, char* out, std::size_t size) {
    if (!BuiltNameFor(choice, builtName_, sizeof builtName_)) return false;
    std::snprintf(out, size, "%s", builtName_);
    return true;
}

bool RecorderModule::IsBuiltName(const char* fileName) const {
    return haveChannel_ && std::strcmp(fileName, builtName_) == 0;
}

void RecorderModule::BuildName() {
    (void)BuiltNameFor(choice_, fileName_, sizeof fileName_);
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
    // The browse's registrations end before the recording's begin: one
    // route at a time. The list stays as it was (the same transponder).
    const bool builtName = haveChannel_ && std::strcmp(fileName_, builtName_) == 0;
    if (builtName) BuildName();
    BeginGuideName(builtName);  // before the browse ends: its list may name the service
    browse_.Stop(platform::Teardown::kNone);
    char path[kPathSize];
    JoinPath(directory_, fileName_, path);
    if (RefusedName(path)) return false;
    const RecordingLimits limits = LimitsOf(limits_);
    loggedPmtChanges_ = 0;
    loggedTables_ = false;
    loggedSizeLimit_ = false;
    if (!filter_.Start(link_, SelectionOf(), path, bufferKB_ * 1024, limits)) {
        // Only our own stuck writer is stepped around; a file another
        // program holds fails the start, as any file that cannot be created.
        const FileSink::OpenFailure failure = filter_.Sink().LastOpenFailure();
        if (failure != FileSink::OpenFailure::kInUse || !HeldByStuckWriter(path) ||
            !StartBesideFileInUse(limits)) {
            log_.StartFailed(choice_.pid, path, OpenFailureName(failure));
            DescribeStartFailure(failure, filter_.Sink().LastOpenError());
            return false;
        }
        JoinPath(directory_, fileName_, path);
    }
    std::memcpy(path_, path, sizeof path_);
    startTick_ = platform::TickCountMs();
    startFailure_[0] = '\0';
    health_.Start(startTick_);
    healthEnded_ = false;
    std::memset(scrambledPids_, 0, sizeof scrambledPids_);
    recorded_ = true;
    startedSinceRead_ = true;
    char selection[600];
    DescribeRegistrations(selection, sizeof selection);
    DescribeLimits(selection, sizeof selection);
    log_.Started(choice_.pid, path, filter_.Figures().ringBytes, selection);
    guideLog_.Reset();
    loggedParts_ = 1;  // the first is the start line's file
    programme_.Off();
    // Stopping at the programme's end wins: a next part would have no programme.
    if (choice_.kind == PidChoice::Kind::kService && (stopAtProgrammeEnd_ || splitAtProgrammes_)) {
        programme_.Start(static_cast<std::uint32_t>(paddingMinutes_), !stopAtProgrammeEnd_);
    }
    if (!problemsLogged_) {
        problemsLogged_ = true;
        for (std::size_t i = 0; i < problems_.problemCount; ++i) log_.Note(problems_.problems[i]);
    }
    return true;
}

void RecorderModule::RefuseStart(const char* typed, const PidChoice& choice) {
    if (IsRecording()) return;
    char path[kPathSize];
    JoinPath(directory_, fileName_, path);
    log_.StartRefused(typed != nullptr ? typed : "", path, choice.why);
    std::snprintf(startFailure_, sizeof startFailure_, "%s", choice.why);
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
    LogSizeLimit();  // a limit found in the last second
    if (how == platform::Teardown::kNone) NameBeforeStop();
    filter_.Stop(how);
    if (how != platform::Teardown::kProcessExit) LogParts();  // begun in the last second
    // A programme that began in the last second (a writer the process's
    // exit stopped may have held the guide's lock: not then).
    if (how != platform::Teardown::kProcessExit) LogGuide(platform::TickCountMs() - startTick_);
    const FileSink::Figures figures = filter_.Figures();
    if (how != platform::Teardown::kProcessExit) EndGuideName(figures.leftBehind);
    // The last second and the interval under way, with every block written.
    if (how != platform::Teardown::kProcessExit) SampleHealth(figures);
    health_.Finish();
    LogErrorIntervals();
    // A recording that ended at a limit ended then, whoever stopped it later
    // and whenever: its time and its reason are the limit's.
    const bool ended = figures.ended != FileSink::End::kNone;
    stopTick_ = ended ? startTick_ + static_cast<std::uint32_t>(figures.endedAfterMs)
                      : platform::TickCountMs();
    if (ended) reason = EndReason(figures.ended);
    // Until the next Start the status line says a recording ended by itself.
    SayWhyItStopped(figures.leftBehind ? StopReason::kDiskStuck : reason);
    if (figures.leftBehind) {
        std::memcpy(stuckPaths_[nextStuckPath_], path_, sizeof path_);
        nextStuckPath_ = (nextStuckPath_ + 1) % 4;
    }
    LogStop(figures, reason, pids, pidCount);
}

void RecorderModule::SampleHealth(const FileSink::Figures& figures) {
    // One source for every total: after a stuck writer was left behind the
    // figures are those it was left with, while the sink is a fresh one.
    HealthMonitor::Totals totals;
    totals.inBytes = figures.takenBytes;
    totals.refusedBytes = figures.refusedBytes;
    totals.packets = figures.packets;
    totals.scrambled = figures.scrambledPackets;
    totals.latestScrambled = figures.latestScrambled;
    totals.continuityErrors = figures.continuityErrors;
    totals.transportErrors = figures.transportErrors;
    totals.lostBytes = figures.LostBytes();
    // A recording that ended at a limit has no time after its end: it is
    // sampled once, up to then, however long its owner takes to stop it.
    std::uint32_t now = platform::TickCountMs();
    if (figures.ended != FileSink::End::kNone) {
        if (healthEnded_) return;
        healthEnded_ = true;
        if (figures.endedAfterMs <= health_.ElapsedMs()) return;
        now = startTick_ + static_cast<std::uint32_t>(figures.endedAfterMs);
    }
    health_.Sample(now, totals);
}

void RecorderModule::LogParts() {
    const std::uint32_t parts = filter_.Sink().Parts();
    for (; loggedParts_ < parts; ++loggedParts_) {
        char path[FileSink::kPathSize];
        filter_.Sink().PartPath(loggedParts_ + 1, path);
        log_.Part(loggedParts_ + 1, path);
    }
}

void RecorderModule::FollowProgramme() {
    const ts::ServiceStream* service = filter_.Service();
    if (service == nullptr || !programme_.Look(*service, ElapsedMs())) return;
    if (!programme_.Splits()) {
        filter_.EndNow();  // the programme is over: the recording ends as at a limit
        return;
    }
    // The next programme begins a next part, and is the one followed now.
    AwaitProgrammePart();
    filter_.SplitNow();
    programme_.FollowNext();
}

void RecorderModule::OnSecond() {
    if (!IsRecording()) return;
    LogSizeLimit();
    LogParts();
    LogGuide(ElapsedMs());
    NameFromGuide();
    FollowProgramme();
    SampleHealth(filter_.Figures());
    LogErrorIntervals();
    // Which of the registered PIDs were mostly scrambled since the last look.
    const ContinuityCheck& stream = filter_.Sink().Continuity();
    for (std::uint32_t i = 0; const StreamFilter* filter = filter_.FilterAt(i); ++i) {
        if (i >= RecordingFilter::kMaxFilters) break;
        const auto pid = static_cast<std::uint16_t>(filter->Pid());
        ScrambledCount& last = scrambledPids_[i];
        const std::uint32_t packets = stream.PidPackets(pid) - (last.pid == pid ? last.packets : 0);
        const std::uint32_t scrambled =
            stream.PidScrambled(pid) - (last.pid == pid ? last.scrambled : 0);
        last = {pid, stream.PidPackets(pid), stream.PidScrambled(pid),
                packets != 0 ? scrambled * 2 > packets : last.pid == pid && last.mostly};
    }
}

bool RecorderModule::RefusedName(const char* path) {
    // Checked before anything is created: on NTFS a colon would record into
    // a hidden stream of another file, which no folder listing shows.
    const char* problem = FileNameProblem(fileName_);
    const char* reason = "bad-name";
    if (problem == nullptr) {
        problem = DirectoryProblem(directory_);
        reason = "bad-directory";
    }
    // No directory would put the file in the host's current folder, which
    // nobody chose.
    if (problem == nullptr && directory_[0] == '\0') {
        log_.StartFailed(choice_.pid, path, "bad-directory");
        std::snprintf(startFailure_, sizeof startFailure_, "No directory: choose one");
        return true;
    }
    if (problem == nullptr) return false;
    log_.StartFailed(choice_.pid, path, reason);
    std::snprintf(startFailure_, sizeof startFailure_, "Cannot create the file: %s", problem);
    return true;
}

StopReason RecorderModule::EndReason(FileSink::End end) {
    switch (end) {
        case FileSink::End::kTime:
            return StopReason::kTime;
        case FileSink::End::kSize:
            return StopReason::kSize;
        case FileSink::End::kLowSpace:
            return StopReason::kLowSpace;
        case FileSink::End::kProgramme:
            return StopReason::kProgrammeEnd;
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
        selection.text = SystemTextOptions(textTable_);
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

void RecorderModule::OnControl(void* self) {
    auto* recorder = static_cast<RecorderModule*>(self);
    if (recorder->lock_ == nullptr) {
        recorder->LogServiceChange();
        recorder->OnSecond();
        return;
    }
    platform::CallGuard guard(*recorder->lock_);
    recorder->LogServiceChange();
    recorder->OnSecond();
}

void RecorderModule::LogGuide(std::uint32_t elapsedMs) {
    const ts::ServiceStream* service = filter_.Service();
    if (service == nullptr || choice_.kind != PidChoice::Kind::kService) return;
    ts::ServiceGuide guide;
    service->Guide(guide);
    guideLog_.Look(guide, elapsedMs, log_);
}

void RecorderModule::Programme(char* out, std::size_t size) const {
    if (size != 0) out[0] = '\0';
    const ts::ServiceStream* service = filter_.Service();
    if (!IsRecording() || service == nullptr) return;
    ts::ServiceGuide guide;
    service->Guide(guide);
    DescribeProgramme(guide, out, size);
    char watch[120];
    programme_.Say(watch, sizeof watch);
    if (watch[0] == '\0') return;
    const std::size_t used = std::strlen(out);
    std::snprintf(out + used, size - used, "%s%s", used != 0 ? " \xC2\xB7 " : "", watch);
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
