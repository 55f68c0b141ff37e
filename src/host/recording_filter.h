// RecordingFilter: a recording of one PID. Its FileSink writes what the host
// delivers to a file; its StreamFilter, while it exists, has the host deliver
// into the sink. A recording runs exactly while the sink has a file open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "capture/file_sink.h"
#include "host/host_link.h"
#include "host/stream_filter.h"

namespace corvanlet {

class RecordingFilter {
  public:
    // Makes the sink of each recording; a test may give its own.
    using SinkMaker = std::unique_ptr<FileSink> (*)(std::int32_t ringCapacity);

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
    // for `pid` with the host `link` names. False (nothing registered) when
    // the file cannot be opened; true whether or not the host accepts.
    [[nodiscard]] bool Start(const HostLink& link, std::int32_t pid, const char* path,
                             std::int32_t ringBytes = 0, const RecordingLimits& limits = {});
    // Removes the registration (if the host accepted it), then closes the
    // sink with every accepted block written; `how` says whether the library
    // is unloading or the process exiting. A writer stuck in one write for
    // BlockRing::kStuckMs is left behind with its sink, which it frees if its
    // write ever returns; the next recording gets a new sink at once. No-op
    // when not recording.
    void Stop(platform::Teardown how = platform::Teardown::kNone);

    bool IsRecording() const { return sink_->IsOpen(); }
    // The current recording's figures, or the last one's once it stopped.
    FileSink::Figures Figures() const { return IsRecording() ? sink_->Read() : last_; }
    const FileSink& Sink() const { return *sink_; }
    // The registration while recording, or null.
    const StreamFilter* Filter() const { return filter_ ? &*filter_ : nullptr; }

  private:
    std::unique_ptr<FileSink> MakeSink() const;

    const std::int32_t ringCapacity_;
    const SinkMaker makeSink_;
    std::unique_ptr<FileSink> sink_;
    FileSink::Figures last_;
    bool stoppedAtExit_ = false;
    std::optional<StreamFilter> filter_;  // after the sink: it goes first
};

}  // namespace corvanlet
