// RecorderModule: the module's one object. It holds what the user chose (PID,
// file name, directory), whether the host has started the module, and the
// RecordingFilter that captures. A recording runs exactly while the filter's
// sink has a file open.
#pragma once

#include <cstdint>

#include <windows.h>

#include "capture/stream_filter.h"
#include "corvanlet/host_api.h"

namespace corvanlet {

class RecorderModule {
  public:
    static constexpr std::size_t kTextSize = 1000;  // file name and directory, with terminator
    static constexpr std::size_t kPathSize = 2000;  // the joined recording path

    RecorderModule();
    // Stops a running recording (every accepted block written) before the
    // filter goes.
    virtual ~RecorderModule();
    RecorderModule(const RecorderModule&) = delete;
    RecorderModule& operator=(const RecorderModule&) = delete;

    // Directory from the host's settings ("RecordDir"), else the host
    // executable's directory; PID 0.
    void LoadDefaults();
    // LoadDefaults, then "Path" and "Pid" from the module's own settings file.
    void LoadSettings();
    // Writes "Path" and "Pid" to the module's settings file (if it has one).
    void SaveSettings() const;
    // Builds the file name from the channel and the PID, unless `channel` is
    // null or a recording runs; shows it in the dialog when that is open.
    void NameFromChannel(const ChannelInfo* channel);
    // Starts recording into directory + file name. True when a recording
    // runs afterwards (also when one already ran: that one goes on); false
    // when the file cannot be created.
    bool StartRecording();
    void StopRecording();
    bool IsRecording() const { return filter.sink.IsOpen(); }

    // Joins directory and file name with a backslash when needed.
    static void JoinPath(const char* directory, const char* fileName, char (&path)[kPathSize]);

    std::int32_t recordPid = 0;
    char recordFileName[kTextSize] = {};
    bool hostStarted = false;
    char recordDirectory[kTextSize] = {};
    HWND dialogWindow = nullptr;
    std::uint32_t startTick = 0;
    RecordingFilter filter;
};

}  // namespace corvanlet
