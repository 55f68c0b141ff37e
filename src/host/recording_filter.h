// RecordingFilter: one recording. Its FileSink writes what the host delivers
// to a file; while it runs, its registrations have the host deliver into the
// sink: one PID, several PIDs into one file, or a whole service (its PAT,
// PMT and streams, rewritten by a ts::ServiceStream into a stream that
// plays on its own). A recording runs exactly while the sink has a file open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "capture/file_sink.h"
#include "host/control_mailbox.h"
#include "host/host_link.h"
#include "host/stream_filter.h"
#include "ts/service_stream.h"

namespace corvanlet {

class RecordingFilter {
  public:
    // Makes the sink of each recording; a test may give its own.
    using SinkMaker = std::unique_ptr<FileSink> (*)(std::int32_t ringCapacity);
    // Registrations at once: a service's PAT, PMT, streams and PCR PID.
    static constexpr std::uint32_t kMaxFilters = ts::ServiceStream::kMaxWanted;

    // What the host is asked to deliver.
    struct Selection {
        static constexpr std::uint32_t kMaxPids = 16;
        std::int32_t pids[kMaxPids] = {};  // each registered once, in this order
        std::uint32_t count = 0;
        bool service = false;  // else the PIDs, unchanged, into one file
        std::uint16_t serviceId = 0;
        ts::TextOptions text;  // how a service's SI text is read
        static Selection Pid(std::int32_t pid) {
            Selection selection;
            selection.pids[0] = pid;
            selection.count = 1;
            return selection;
        }
    };

    explicit RecordingFilter(std::int32_t ringCapacity = FileSink::kCapacity,
                             SinkMaker makeSink = nullptr);
    // Stops a running recording, every accepted block written. After a stop
    // at process exit the sink is not freed: a writer the system has not yet
    // ended may still look at it, and the process takes it anyway.
    ~RecordingFilter();
    RecordingFilter(const RecordingFilter&) = delete;
    RecordingFilter& operator=(const RecordingFilter&) = delete;

    // Stops a recording still running, opens the file at `path` with a ring
    // of `ringBytes` (0: the default; see FileSink::OpenFile) and registers
    // what `selection` asks for with the host `link` names (a service: PID 0
    // first; the rest as its tables come). False (nothing registered) when
    // the file cannot be opened; true whether or not the host accepts.
    [[nodiscard]] bool Start(const HostLink& link, const Selection& selection, const char* path,
                             std::int32_t ringBytes = 0, const RecordingLimits& limits = {});
    [[nodiscard]] bool Start(const HostLink& link, std::int32_t pid, const char* path,
                             std::int32_t ringBytes = 0, const RecordingLimits& limits = {}) {
        return Start(link, Selection::Pid(pid), path, ringBytes, limits);
    }
    // Removes every accepted registration, then closes the sink with every
    // accepted block written; `how` says whether the library is unloading or
    // the process exiting. A writer stuck in one write for BlockRing::kStuckMs
    // is left behind with its sink, which it frees if its write ever
    // returns; the next recording gets a new sink at once. No-op when not
    // recording.
    void Stop(platform::Teardown how = platform::Teardown::kNone);

    bool IsRecording() const { return sink_->IsOpen(); }
    // The current recording's figures, or the last one's once it stopped.
    FileSink::Figures Figures() const { return IsRecording() ? sink_->Read() : last_; }
    const FileSink& Sink() const { return *sink_; }
    // The recording ends as at a limit (its programme is over); the owner
    // then stops it as it stops one that ended at a limit.
    void EndNow() { sink_->EndNow(); }
    // The writer begins a next part (FileSink::SplitNow): a programme changed.
    void SplitNow() { sink_->SplitNow(); }
    std::uint32_t AskedPart() const { return sink_->AskedPart(); }
    // The writer renames the recording's file (FileSink::RenameTo).
    bool RenameFile(std::uint32_t part, const char* to) { return sink_->RenameTo(part, to); }
    // The first registration while recording, or null.
    const StreamFilter* Filter() const { return FilterAt(0); }
    // The registrations made so far, accepted or refused, in order, while
    // recording (for a service, the dropped ones are gone).
    const StreamFilter* FilterAt(std::uint32_t index) const;
    // The thread that runs the recording's timer and table changes (that of
    // the last Start), 0 before any.
    std::uint32_t ControlThread() const { return mailbox_.Thread(); }
    // The service being recorded, or null.
    const ts::ServiceStream* Service() const { return service_; }

    // Runs on the control thread once a second while recording, and when a
    // service's tables ask for other PIDs; it calls ApplyServiceChange (under
    // the owner's own lock). Without a hook, ApplyServiceChange runs alone.
    using ChangeHook = void (*)(void* context);
    void SetChangeHook(ChangeHook hook, void* context) {
        hook_ = hook;
        hookContext_ = context;
    }
    // Control thread: registers the PIDs the service's tables now name and
    // removes those they no longer name. True when anything changed.
    bool ApplyServiceChange();

  private:
    std::unique_ptr<FileSink> MakeSink(bool service) const;
    void Register(const HostLink& link, std::int32_t pid);
    bool IsRegistered(std::int32_t pid) const;
    static void OnMailbox(void* self);
    static void Notify(void* self);

    const std::int32_t ringCapacity_;
    const SinkMaker makeSink_;
    std::unique_ptr<FileSink> sink_;
    bool serviceSink_ = false;
    FileSink::Figures last_;
    bool stoppedAtExit_ = false;
    HostLink link_;
    const ts::ServiceStream* service_ = nullptr;  // the service sink's, while it records one
    ControlMailbox mailbox_;
    std::uint32_t appliedGeneration_ = 0;
    bool applying_ = false;
    ChangeHook hook_ = nullptr;
    void* hookContext_ = nullptr;
    // After the sink: they go first.
    std::optional<DeliveryRoute> route_;
    std::optional<StreamFilter> filters_[kMaxFilters];
    std::uint32_t filterCount_ = 0;
};

}  // namespace corvanlet
