// RecorderModule: what the user chose (PID, file name, directory), the
// settings they are kept in, and the RecordingFilter that records. It starts
// and stops recordings and builds the file name from the channel the host
// reports. It makes no window calls: the dialog reads its state.
#pragma once

#include <cstdint>

#include "corvanlet/host_api.h"
#include "host/host_link.h"
#include "capture/health_monitor.h"
#include "host/recording_filter.h"
#include "host/service_browse.h"
#include "platform/platform.h"
#include "platform/call_lock.h"
#include "recorder/guide_name.h"
#include "recorder/guide_report.h"
#include "recorder/pid_choice.h"
#include "recorder/programme_watch.h"
#include "recorder/recording_log.h"
#include "recorder/settings.h"

namespace corvanlet {

// Why a recording ended, as the log names it.
enum class StopReason {
    kUser,          // the dialog's Stop button
    kHostStop,      // Module_Stop
    kChannel,       // the host reported another channel
    kUnload,        // the library was freed while recording
    kExit,          // the process ended while recording
    kTime,          // StopAfterMinutes
    kSize,          // StopAfterMB
    kLowSpace,      // MinFreeMB
    kDiskStuck,     // a write stopped answering; the writer was left behind
    kProgrammeEnd,  // StopAtProgrammeEnd: the programme recorded is over
};
const char* StopReasonName(StopReason reason);

class RecorderModule {
  public:
    static constexpr std::size_t kTextSize = Settings::kTextSize;  // file name, directory
    static constexpr std::size_t kPathSize = 2000;                 // the joined recording path

    // `link` is the host as the handshake describes it, read at each start.
    // Starts with the defaults (LoadDefaults). A test may make the sinks.
    RecorderModule(const HostLink& link, const Settings& settings,
                   RecordingFilter::SinkMaker makeSink = nullptr);
    // Stops a running recording, as Shutdown(Teardown::kNone) does.
    ~RecorderModule();
    RecorderModule(const RecorderModule&) = delete;
    RecorderModule& operator=(const RecorderModule&) = delete;

    // Directory from the host's settings ("RecordDir"), else the host
    // executable's directory; PID 0.
    void LoadDefaults();
    // LoadDefaults, then every key of the module's settings file.
    void LoadSettings();
    // Writes what the dialog shows (directory, PID choice, the programme
    // check box) to the module's settings file, if it has one, and only the
    // keys whose values changed.
    void SaveSettings() const;
    // SaveSettings, but only when a recording was started since the module
    // was loaded or the settings were last read: otherwise what the file
    // holds is newer than what this object holds.
    void SaveChosenSettings() const;

    // Builds the file name from the channel and the PID. False, with nothing
    // changed, when `channel` is null or a recording runs. The channel is
    // kept: a start renames a file name that is still the built one after
    // the PID it records.
    bool NameFromChannel(const ChannelInfo* channel);
    // What the user typed: taken as it is, each text cut to kTextSize - 1.
    void SetChoice(const PidChoice& choice, const char* fileName, const char* directory);
    void SetChoice(std::int32_t pid, const char* fileName, const char* directory) {
        SetChoice(PidChoice::Single(pid), fileName, directory);
    }
    // The lock every call into this object holds; a service's tables change
    // the registrations from the host's message loop, under it too.
    void SetLock(platform::CallLock* lock) { lock_ = lock; }

    // Starts recording into directory + file name. A file name that is still
    // exactly the one built from the last channel is built again with the
    // PID being started. True when a recording runs afterwards (also when
    // one already ran: that one goes on); false when the file cannot be
    // created.
    [[nodiscard]] bool StartRecording();
    // A Start with PID text that cannot mean a PID (`choice` kRefused): no
    // recording; the status line says why and the log has a start-failed
    // line. The choice in effect stays.
    void RefuseStart(const char* typed, const PidChoice& choice);
    void StopRecording(StopReason reason = StopReason::kUser);
    // A recording that ended by itself at one of its limits (the writer
    // stops writing and the ring takes no more) is stopped here, on the
    // caller's thread, with that reason. True when it did so.
    bool StopIfEnded();
    // The library is unloading or the process exiting (`how`): stops a
    // running recording, every accepted block written, waiting on nothing
    // that the loader lock or a dead thread holds, with its stop line.
    void Shutdown(platform::Teardown how);
    bool IsRecording() const { return filter_.IsRecording(); }
    // The thread that runs the recording's once-a-second work, 0 before any.
    std::uint32_t ControlThread() const { return filter_.ControlThread(); }

    std::int32_t Pid() const { return choice_.pid; }
    const PidChoice& Choice() const { return choice_; }
    // One line on what is wrong, the most important first, empty when all is
    // well. While recording: not fed at all, or a service without its
    // tables; a service not (yet) found; nothing taken for 5 s or more;
    // scrambled packets; some PIDs refused; errors in the last minute.
    // Otherwise why the last Start failed. Holds 160 characters.
    void Status(char* out, std::size_t size) const;
    // Control thread, about once a second while recording (the control
    // mailbox's timer): looks at the recording's health and writes its error
    // lines.
    void OnSecond();

    // While the options dialog is open and nothing records: the
    // transponder's services by name (PID 0 and the SDT registered with the
    // host). A Start ends it (the list stays: the same transponder), a
    // channel change begins it afresh, the dialog's closing and unload end it.
    void StartBrowsing();
    void StopBrowsing(platform::Teardown how = platform::Teardown::kNone);
    ServiceBrowse::State BrowseState() const { return browse_.Current(); }
    std::uint32_t BrowsingForMs() const { return platform::TickCountMs() - browse_.StartedAt(); }
    // What the browse found; false while it is what `out` holds.
    bool ReadServices(ts::ServiceListView& out) const { return browse_.Read(out); }
    // The name the module would build for `choice` on this channel, or
    // false when it builds none (no channel reported).
    bool BuiltNameFor(const PidChoice& choice, char* out, std::size_t size) const;
    // The same, and it becomes the built name (the field now shows it).
    bool BuildNameFor(const PidChoice& choice, char* out, std::size_t size);
    // StopAtProgrammeEnd, as the dialog's check box sets it (for the next
    // Start; a service recording only).
    bool StopsAtProgrammeEnd() const { return stopAtProgrammeEnd_; }
    void SetStopAtProgrammeEnd(bool on) { stopAtProgrammeEnd_ = on; }
    // SplitAtProgrammes, as its check box sets it: a service recording
    // begins a next part at each change of programme.
    bool SplitsAtProgrammes() const { return splitAtProgrammes_; }
    void SetSplitAtProgrammes(bool on) { splitAtProgrammes_ = on; }
    // Whether `fileName` is the name the module built (not the user's own).
    bool IsBuiltName(const char* fileName) const;
    // While a service records: its channel and programme as its SI says,
    // UTF-8 ("Rai 1 · TG1, 20:00 to 20:30"); else empty.
    void Programme(char* out, std::size_t size) const;
    // The recording's last minute, for the dialog's graph.
    const HealthMonitor& Health() const { return health_; }
    const char* FileName() const { return fileName_; }
    const char* Directory() const { return directory_; }
    // Whether a recording has started since the module was loaded.
    bool HasRecorded() const { return recorded_; }
    // The current recording, or the last one once it has stopped.
    std::uint32_t ElapsedMs() const;
    std::uint64_t BytesWritten() const { return filter_.Figures().bytesWritten; }
    // Bytes that did not reach the file: blocks refused plus failed writes.
    std::uint64_t LostBytes() const;
    // Continuity and transport errors in the received stream; false when no
    // block was made of packets, and the count says nothing.
    bool StreamErrors(std::uint64_t& errors) const;
    std::int32_t BufferKB() const { return bufferKB_; }
    const Settings::Limits& Limits() const { return limits_; }

    // The limits a recording gets from the settings: MiB and minutes to bytes
    // and milliseconds, in 64 bits.
    static RecordingLimits LimitsOf(const Settings::Limits& settings);
    // The start-failed line's reason for a file that could not be opened.
    static const char* OpenFailureName(FileSink::OpenFailure failure);
    // Joins directory and file name with a backslash when needed.
    static void JoinPath(const char* directory, const char* fileName, char (&path)[kPathSize]);

  private:
    static StopReason EndReason(FileSink::End end);
    void Take(const Settings::Values& values);
    void Stop(StopReason reason, platform::Teardown how);
    // The stop line, from the figures of the recording that stopped.
    void LogStop(const FileSink::Figures& figures, StopReason reason, const std::uint16_t* pids,
                 std::uint32_t pidCount);
    void BuildName();
    RecordingFilter::Selection SelectionOf() const;
    // " pids=1,2 refused=2" or " sid=7 refused=0": what the start line adds.
    void DescribeRegistrations(char* out, std::size_t size) const;
    // Appends the limits in force to `out`: " split_mb=7 stop_after_min=30".
    void DescribeLimits(char* out, std::size_t size) const;
    // The status line's words for a recording that ended by itself.
    void SayWhyItStopped(StopReason reason);
    // The registered PIDs, `refused` ones only or accepted ones only.
    std::uint32_t RegisteredPids(bool refused, std::uint16_t* out, std::uint32_t room) const;
    static void OnControl(void* self);
    void LogServiceChange();
    // The guide's lines that what the service's SI says now calls for.
    void LogGuide(std::uint32_t elapsedMs);
    void LogDroppedStreams(const ts::ServiceStream& service);
    // Control thread: the health's next sample, from these figures alone.
    void SampleHealth(const FileSink::Figures& figures);
    void LogErrorIntervals();
    // Control thread, once per recording: the size at which the file system
    // turned out to refuse growth, and that a next part took the bytes.
    void LogSizeLimit();
    // Control thread: a `part` line for each part begun since the last look.
    void LogParts();
    // A service recording into the built name is named from its guide:
    // BeginGuideName at Start, then NameFromGuide once a second asks the
    // writer to rename the file when the service and the programme are
    // known (or after 10 s with what is known), and FollowRename takes the
    // new name into the field and the log.
    void BeginGuideName(bool builtName);
    void NameFromGuide();
    void NameFirstPart(const ts::ServiceStream& service);
    // Asks the writer to rename part namingPart_ after what the guide says
    // now; `known`: the service and the title are (else 10 s have passed).
    void NamePart(const ts::ServiceGuide& guide, bool known);
    void StampNameTime();  // the name's date and time: now
    void FollowRename();
    // A programme change begins a next part: it is named after its own
    // programme once the writer has begun it.
    void AwaitProgrammePart();
    // Right before the stop: a name from what the guide has said so far.
    void NameBeforeStop();
    // At the stop: the rename's outcome, or that the built name stays.
    void EndGuideName(bool leftBehind);
    void KeepBuiltName(const char* reason);
    enum class Naming { kOff, kWaiting, kRenaming };
    Naming naming_ = Naming::kOff;
    bool guideNames_ = false;         // this recording's names come from its guide
    std::uint32_t namingPart_ = 1;    // the part being named
    bool awaiting_ = false;           // a programme's part to name once begun
    std::uint32_t awaitedAfter_ = 0;  // the writer's AskedPart before that cut
    GuideNameFields nameFields_;      // the channel's and the time's; names come per call
    char listName_[768] = {};         // the dialog's list's name of the service, if any
    char nameTemplate_[sizeof Settings::Values::nameTemplate] = {};
    std::uint32_t loggedParts_ = 1;
    void DescribeStartFailure(FileSink::OpenFailure failure, std::uint32_t error);
    // A file name or directory the name rule refuses: logged and told; true.
    bool RefusedName(const char* path);
    void FormatStreams(const std::uint16_t* pids, std::uint32_t count, char* out,
                       std::size_t size) const;
    bool RefusedStatus(char* out, std::size_t size) const;
    bool PartlyRefusedStatus(char* out, std::size_t size) const;
    bool ServiceStatus(char* out, std::size_t size) const;
    void ScrambledStatus(char* out, std::size_t size) const;
    // Whether `path` is the file of a recording whose writer was left stuck.
    bool HeldByStuckWriter(const char* path) const;
    // The file is held by a writer left stuck on it: the recording starts in
    // the first free "name (2).ext" ... "name (9).ext", which becomes the
    // file name. False when none can be opened.
    bool StartBesideFileInUse(const RecordingLimits& limits);

    const HostLink& link_;
    Settings settings_;
    RecordingLog log_;
    std::int32_t bufferKB_ = Settings::kDefaultBufferKB;
    Settings::Limits limits_;
    PidChoice choice_;
    int textTable_ = 0;  // the SI text's table where it names none
    bool stopAtProgrammeEnd_ = false;
    bool splitAtProgrammes_ = false;
    // Once a second: what the programme's end calls for, a stop or a cut.
    void FollowProgramme();
    std::int32_t paddingMinutes_ = 2;
    ProgrammeWatch programme_;
    // What the settings held that could not be used: logged at the first
    // Start after they were read.
    Settings::Values problems_;
    bool problemsLogged_ = false;
    GuideLog guideLog_;
    ServiceBrowse browse_;
    bool browseWanted_ = false;  // the dialog is open: a channel change browses afresh
    HealthMonitor health_;
    bool healthEnded_ = false;     // the recording's end, at a limit, was sampled
    char startFailure_[160] = {};  // why the last Start failed, for the status line
    // Each registration's packet counts at the last look, and whether most
    // of its packets since then were scrambled.
    struct ScrambledCount {
        std::uint16_t pid;
        std::uint32_t packets;
        std::uint32_t scrambled;
        bool mostly;
    };
    ScrambledCount scrambledPids_[RecordingFilter::kMaxFilters] = {};
    platform::CallLock* lock_ = nullptr;
    std::uint32_t loggedPmtChanges_ = 0;
    bool loggedTables_ = false;
    bool loggedSizeLimit_ = false;
    char fileName_[kTextSize] = {};
    char directory_[kTextSize] = {};
    std::uint32_t startTick_ = 0;
    std::uint32_t stopTick_ = 0;
    bool recorded_ = false;
    bool startedSinceRead_ = false;  // a recording started since load or LoadSettings
    bool haveChannel_ = false;
    ChannelInfo channel_{};           // the last channel reported
    char builtName_[kTextSize] = {};  // the name last built from it
    char path_[kPathSize] = {};       // the current (or last) recording's file
    // The files of the last few recordings whose writer was left stuck.
    char stuckPaths_[4][kPathSize] = {};
    std::uint32_t nextStuckPath_ = 0;
    RecordingFilter filter_;
};

}  // namespace corvanlet
