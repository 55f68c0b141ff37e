// RecordingFilter: a recording of one PID. Its FileSink writes what the host
// delivers to a file; its StreamFilter, while it exists, has the host deliver
// into the sink. A recording runs exactly while the sink has a file open.
#pragma once

#include <cstdint>
#include <optional>

#include "capture/file_sink.h"
#include "host/host_link.h"
#include "host/stream_filter.h"

namespace corvanlet {

class RecordingFilter {
  public:
    explicit RecordingFilter(std::int32_t ringCapacity = FileSink::kCapacity)
        : sink_(ringCapacity) {}
    // Stops a running recording, every accepted block written.
    ~RecordingFilter() { Stop(); }
    RecordingFilter(const RecordingFilter&) = delete;
    RecordingFilter& operator=(const RecordingFilter&) = delete;

    // Stops a recording still running, opens the file at `path` with a ring
    // of `ringBytes` (0: the default; see FileSink::OpenFile) and registers
    // for `pid` with the host `link` names. False (nothing registered) when
    // the file cannot be opened; true whether or not the host accepts.
    [[nodiscard]] bool Start(const HostLink& link, std::int32_t pid, const char* path,
                             std::int32_t ringBytes = 0);
    // Removes the registration (if the host accepted it), then closes the
    // sink with every accepted block written; `how` says whether the library
    // is unloading or the process exiting. No-op when not recording.
    void Stop(platform::Teardown how = platform::Teardown::kNone);

    bool IsRecording() const { return sink_.IsOpen(); }
    const FileSink& Sink() const { return sink_; }
    // The registration while recording, or null.
    const StreamFilter* Filter() const { return filter_ ? &*filter_ : nullptr; }

  private:
    FileSink sink_;
    std::optional<StreamFilter> filter_;  // after the sink: it goes first
};

}  // namespace corvanlet
