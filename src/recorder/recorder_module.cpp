#include "recorder/recorder_module.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "recorder/name_rule.h"

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
        case StopReason::kProgrammeEnd:
            return "programme-end";
    }
    return "user";
}

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
    stopAtProgrammeEnd_ = values.stopAtProgrammeEnd;
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
    browse_.Stop(platform::Teardown::kNone);
    if (haveChannel_ && std::strcmp(fileName_, builtName_) == 0) BuildName();
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
    if (choice_.kind == PidChoice::Kind::kService && stopAtProgrammeEnd_) {
        programme_.Start(static_cast<std::uint32_t>(paddingMinutes_));
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

void RecorderModule::SayWhyItStopped(StopReason reason) {
    switch (reason) {
        case StopReason::kSize:
            std::snprintf(startFailure_, sizeof startFailure_, "Stopped at %d MB (StopAfterMB)",
                          static_cast<int>(limits_.stopAfterMB));
            break;
        case StopReason::kTime:
            std::snprintf(startFailure_, sizeof startFailure_, "Stopped after %d min",
                          static_cast<int>(limits_.stopAfterMinutes));
            break;
        case StopReason::kLowSpace:
            std::snprintf(startFailure_, sizeof startFailure_, "Stopped: less than %d MB free",
                          static_cast<int>(limits_.minFreeMB));
            break;
        case StopReason::kDiskStuck:
            std::snprintf(startFailure_, sizeof startFailure_, "Stopped: the disk did not answer");
            break;
        case StopReason::kProgrammeEnd:
            std::snprintf(startFailure_, sizeof startFailure_, "Stopped: the programme ended");
            break;
        default:
            break;
    }
}

void RecorderModule::DescribeLimits(char* out, std::size_t size) const {
    const struct {
        const char* name;
        std::int32_t value;
    } fields[] = {{"split_mb", limits_.splitMB},
                  {"stop_after_mb", limits_.stopAfterMB},
                  {"stop_after_min", limits_.stopAfterMinutes},
                  {"min_free_mb", limits_.minFreeMB}};
    std::size_t used = std::strlen(out);
    for (const auto& field : fields) {
        if (field.value == 0 || used >= size) continue;  // not set
        const int n = std::snprintf(out + used, size - used, " %s=%d", field.name,
                                    static_cast<int>(field.value));
        if (n > 0) used += static_cast<std::size_t>(n);
    }
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
    LogSizeLimit();  // a limit found in the last second
    filter_.Stop(how);
    if (how != platform::Teardown::kProcessExit) LogParts();  // begun in the last second
    // A programme that began in the last second (a writer the process's
    // exit stopped may have held the guide's lock: not then).
    if (how != platform::Teardown::kProcessExit) LogGuide(platform::TickCountMs() - startTick_);
    const FileSink::Figures figures = filter_.Figures();
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
        FormatStreams(pids, pidCount, streams, sizeof streams);
    }
    stop.streams = streams;
    stop.scrambled = figures.leftBehind ? 0 : filter_.Sink().Continuity().Scrambled();
    stop.longestGapS = health_.LongestGapSeconds();
    // A service's stop line names it, as its start line does.
    char tail[1100] = "";
    if (choice_.kind == PidChoice::Kind::kService) {
        std::snprintf(tail, sizeof tail, " sid=%u", static_cast<unsigned>(choice_.serviceId));
    }
    const std::size_t used = std::strlen(tail);
    programme_.Describe(tail + used, sizeof tail - used);
    stop.programme = tail;
    programme_.Off();
    log_.Stopped(choice_.pid, stop);
}

void RecorderModule::FormatStreams(const std::uint16_t* pids, std::uint32_t count, char* out,
                                   std::size_t size) const {
    std::size_t used = static_cast<std::size_t>(std::snprintf(out, size, " streams="));
    const ContinuityCheck& counts = filter_.Sink().Continuity();
    for (std::uint32_t i = 0; i < count && used < size; ++i) {
        used += static_cast<std::size_t>(std::snprintf(
            out + used, size - used, "%s%u:%u/%u", i == 0 ? "" : ",",
            static_cast<unsigned>(pids[i]), static_cast<unsigned>(counts.PidPackets(pids[i])),
            static_cast<unsigned>(counts.PidErrors(pids[i]))));
    }
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

void RecorderModule::LogSizeLimit() {
    if (loggedSizeLimit_ || !IsRecording()) return;
    const std::uint64_t limit = filter_.Sink().SizeLimitFound();
    if (limit == 0) return;
    loggedSizeLimit_ = true;
    char line[160];
    std::snprintf(line, sizeof line,
                  "size-limit bytes=%llu: the file system would not let a part grow past this; "
                  "the recording goes on in the next part",
                  static_cast<unsigned long long>(limit));
    log_.Note(line);
}

void RecorderModule::LogParts() {
    const std::uint32_t parts = filter_.Sink().Parts();
    for (; loggedParts_ < parts; ++loggedParts_) {
        char path[FileSink::kPathSize];
        filter_.Sink().PartPath(loggedParts_ + 1, path);
        log_.Part(loggedParts_ + 1, path);
    }
}

void RecorderModule::OnSecond() {
    if (!IsRecording()) return;
    LogSizeLimit();
    LogParts();
    LogGuide(ElapsedMs());
    // The programme is over: the recording ends as at a limit.
    const ts::ServiceStream* service = filter_.Service();
    if (service != nullptr && programme_.Look(*service, ElapsedMs())) filter_.EndNow();
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

void RecorderModule::LogErrorIntervals() {
    HealthMonitor::ErrorInterval interval;
    bool leftOut = false;
    while (health_.TakeErrorInterval(interval, leftOut)) {
        char line[160];
        if (leftOut) {
            std::snprintf(line, sizeof line, "errors: more intervals had errors; left out");
        } else {
            const auto s = static_cast<unsigned>(interval.startMs / 1000);
            std::snprintf(line, sizeof line,
                          "errors at=%02u:%02u:%02u cc=%llu transport=%llu lost=%llu", s / 3600,
                          (s % 3600) / 60, s % 60,
                          static_cast<unsigned long long>(interval.continuityErrors),
                          static_cast<unsigned long long>(interval.transportErrors),
                          static_cast<unsigned long long>(interval.lostBytes));
        }
        log_.Note(line);
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

void RecorderModule::DescribeStartFailure(FileSink::OpenFailure failure, std::uint32_t error) {
    char reason[120] = "";
    switch (failure) {
        case FileSink::OpenFailure::kInUse:
            std::snprintf(reason, sizeof reason, "another program has it open");
            break;
        case FileSink::OpenFailure::kLowSpace:
            std::snprintf(startFailure_, sizeof startFailure_,
                          "Not started: less free space than MinFreeMB");
            return;
        case FileSink::OpenFailure::kTimedOut:
            std::snprintf(reason, sizeof reason, "the disk did not answer within 2 s");
            break;
        case FileSink::OpenFailure::kNoRing:
            std::snprintf(startFailure_, sizeof startFailure_,
                          "Not started: no memory for the ring");
            return;
        case FileSink::OpenFailure::kNone:
        case FileSink::OpenFailure::kNoFile:
            if (fileName_[0] == '\0') {
                std::snprintf(startFailure_, sizeof startFailure_,
                              haveChannel_ ? "No file name: type one"
                                           : "No file name: no channel yet, type one");
                return;
            }
            if (platform::IsMissingDirectory(error)) {
                std::snprintf(reason, sizeof reason, "the directory does not exist");
            } else {
                platform::ErrorText(error, reason, sizeof reason);
            }
            break;
    }
    std::snprintf(startFailure_, sizeof startFailure_, "Cannot create the file: %s",
                  reason[0] != '\0' ? reason : "the system gave no reason");
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

namespace {

// ",1,2,3" after `name`, or nothing for no PIDs.
// `name`, then the PIDs with `separator` between them: "," in the log,
// ", " for a person.
std::size_t ListPids(char* out, std::size_t size, const char* name, const std::uint16_t* pids,
                     std::uint32_t count, const char* separator = ",") {
    if (count == 0 || size == 0) return 0;
    std::size_t used = static_cast<std::size_t>(std::snprintf(out, size, "%s", name));
    for (std::uint32_t i = 0; i < count && used < size; ++i) {
        const int n = std::snprintf(out + used, size - used, "%s%u", i == 0 ? "" : separator,
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
        if (used >= size) return;
    }
    const std::uint32_t accepted = RegisteredPids(false, pids, RecordingFilter::kMaxFilters);
    used += ListPids(out + used, size - used, " pids=", pids, accepted);
    const std::uint32_t refused = RegisteredPids(true, pids, RecordingFilter::kMaxFilters);
    ListPids(out + used, size - used, " refused=", pids, refused);
}

void RecorderModule::Status(char* out, std::size_t size) const {
    out[0] = '\0';
    if (!IsRecording()) {
        std::snprintf(out, size, "%s", startFailure_);
        return;
    }
    if (RefusedStatus(out, size) || ServiceStatus(out, size)) return;
    if (health_.NoDataSeconds() >= HealthMonitor::kNoDataAfterS) {
        std::snprintf(out, size, "No data for %u s",
                      static_cast<unsigned>(health_.NoDataSeconds()));
    } else if (health_.Scrambled()) {
        ScrambledStatus(out, size);
    } else if (PartlyRefusedStatus(out, size)) {
    } else if (const std::uint64_t errors = health_.ErrorsLastMinute(); errors != 0) {
        std::snprintf(out, size, "Errors in the last minute: %llu",
                      static_cast<unsigned long long>(errors));
    }
}

bool RecorderModule::RefusedStatus(char* out, std::size_t size) const {
    std::uint16_t refused[RecordingFilter::kMaxFilters];
    const std::uint32_t count = RegisteredPids(true, refused, RecordingFilter::kMaxFilters);
    std::uint16_t accepted[1];
    if (count == 0) return false;
    const ts::ServiceStream* service = filter_.Service();
    const bool table =
        service != nullptr && (refused[0] == ts::kPatPid || refused[0] == service->PmtPid());
    if (table) {
        std::snprintf(out, size, "Not fed: the host refused PID %u (%s): nothing is recorded",
                      static_cast<unsigned>(refused[0]), refused[0] == ts::kPatPid ? "PAT" : "PMT");
        return true;
    }
    if (RegisteredPids(false, accepted, 1) != 0) return false;
    if (choice_.kind == PidChoice::Kind::kSingle) {
        std::snprintf(out, size, "Not fed: the host refused the PID");
    } else {
        ListPids(out, size,
                 count == 1 ? "Not fed: the host refused PID " : "Not fed: the host refused PIDs ",
                 refused, count, ", ");
    }
    return true;
}

bool RecorderModule::PartlyRefusedStatus(char* out, std::size_t size) const {
    std::uint16_t refused[RecordingFilter::kMaxFilters];
    const std::uint32_t count = RegisteredPids(true, refused, RecordingFilter::kMaxFilters);
    if (count == 0) return false;
    const std::size_t used =
        ListPids(out, size, count == 1 ? "PID " : "PIDs ", refused, count, ", ");
    std::snprintf(out + used, size - used, " refused");
    return true;
}

bool RecorderModule::ServiceStatus(char* out, std::size_t size) const {
    const ts::ServiceStream* service = filter_.Service();
    if (service == nullptr) return false;
    switch (service->CurrentState()) {
        case ts::ServiceStream::State::kNotFound:
            std::snprintf(out, size, "Service not found");
            return true;
        case ts::ServiceStream::State::kWaitingPat:
        case ts::ServiceStream::State::kWaitingPmt:
            std::snprintf(out, size, "Waiting for the service's tables");
            return true;
        case ts::ServiceStream::State::kRecording:
            break;
    }
    return false;
}

void RecorderModule::ScrambledStatus(char* out, std::size_t size) const {
    const int used = std::snprintf(out, size, "Scrambled");
    if (choice_.kind == PidChoice::Kind::kSingle || used < 0 ||
        static_cast<std::size_t>(used) >= size) {
        return;
    }
    std::uint16_t pids[RecordingFilter::kMaxFilters];
    std::uint32_t count = 0;
    for (const ScrambledCount& pid : scrambledPids_) {
        if (pid.mostly) pids[count++] = pid.pid;
    }
    ListPids(out + used, size - static_cast<std::size_t>(used), ": ", pids, count);
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
    LogDroppedStreams(*service);
}

namespace {
const char* DropReasonName(ts::ServiceStream::DropReason reason) {
    using R = ts::ServiceStream::DropReason;
    switch (reason) {
        case R::kNotProgramme:
            return "not-programme";
        case R::kReservedPid:
            return "reserved-pid";
        case R::kRepeatedPid:
            return "repeated-pid";
        case R::kNoRoom:
            return "too-many-streams";
        case R::kNone:
            break;
    }
    return "kept";
}
}  // namespace

void RecorderModule::LogDroppedStreams(const ts::ServiceStream& service) {
    // A stream the file does not get (a player would have had it, or it is
    // data): one line each, so that a silent picture is never a mystery.
    const ts::ServiceStream::DroppedList dropped = service.DroppedStreams();
    char line[160];
    for (std::uint32_t i = 0; i < dropped.count; ++i) {
        const ts::ServiceStream::DroppedStream& stream = dropped.streams[i];
        std::snprintf(line, sizeof line, "dropped pid=%u type=0x%02X reason=%s",
                      static_cast<unsigned>(stream.pid), static_cast<unsigned>(stream.streamType),
                      DropReasonName(stream.reason));
        log_.Note(line);
    }
    if (dropped.total > dropped.count) {
        std::snprintf(line, sizeof line, "dropped: %u more streams",
                      static_cast<unsigned>(dropped.total - dropped.count));
        log_.Note(line);
    }
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
