// What a recording says: the dialog's status line and the log's lines of
// its life (its tables, its dropped streams, its errors, its stop). The
// recording's life itself is in recorder_module.cpp.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "recorder/recorder_module.h"

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

void RecorderModule::LogStop(const FileSink::Figures& figures, StopReason reason,
                             const std::uint16_t* pids, std::uint32_t pidCount) {
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

}  // namespace corvanlet
