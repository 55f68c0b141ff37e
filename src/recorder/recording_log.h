// RecordingLog: "Corvanlet.log" beside "Options.ini", one line at each start
// and each stop of a recording, so a user can tell afterwards what a
// recording lost, why it ended and whether the ring was big enough. Past
// 1 MiB the log is renamed to "Corvanlet.log.old" (replacing an older one)
// and begun anew; where that cannot be done, it is begun anew in place, so
// it stays bounded. Writing it never delays or fails a recording, and waits
// on nothing: every failure is ignored.
#pragma once

#include <cstdint>

namespace corvanlet {

class RecordingLog {
  public:
    static constexpr std::uint64_t kRotateBytes = 1024 * 1024;

    struct Stop {
        std::uint32_t durationMs;
        std::uint64_t bytesWritten;
        std::uint64_t refusedBlocks;
        std::uint64_t refusedBytes;
        std::uint64_t failedWrites;
        std::uint64_t failedWriteBytes;
        std::uint64_t continuityErrors;
        std::uint64_t transportErrors;
        bool sawPackets;  // else the error counts say nothing
        std::uint32_t peakFillPercent;
        const char* reason;   // why the recording ended: "user", "unload", ...
        std::uint32_t parts;  // files the recording was split into (1: not split)
        // Several PIDs or a service: " streams=PID:packets/cc_errors,...",
        // else empty.
        const char* streams;
        std::uint64_t scrambled;    // packets with scrambling bits set
        std::uint32_t longestGapS;  // the longest time without data, in seconds
        // Appended: " sid=N" for a service, and for one that watched its
        // programme's end " programme=..."; else empty or null.
        const char* programme;
    };

    // `settingsPath`: the full path of "Options.ini", or empty or null when
    // there is none (then there is no log either).
    explicit RecordingLog(const char* settingsPath);

    // `selection`: empty for one PID; else " pids=... refused=..." or
    // " sid=... refused=...", the fields it adds at the end.
    void Started(std::int32_t pid, const char* path, std::uint32_t ringBytes,
                 const char* selection = "") const;
    // A line of its own while recording: `event` and its fields, for
    // example "tables sid=28106 pmt_pid=256 pids=0,256,257".
    void Note(const char* event) const;
    void Stopped(std::int32_t pid, const Stop& stop) const;
    // A start whose file could not be opened, and why ("cannot-create",
    // "in-use", "low-space", "timeout", "no-memory").
    void StartFailed(std::int32_t pid, const char* path, const char* reason) const;
    // A next part of the recording began: its number (2 on) and path.
    void Part(std::uint32_t number, const char* path) const;
    // A Start refused before anything was asked of the host: the PID field
    // held `typed`, which means no PID (`why`): reason=bad-pid.
    void StartRefused(const char* typed, const char* path, const char* why) const;
    // The library was freed while `count` writers were still stuck in a
    // write: each was stopped for good, its file left open until the
    // process ends.
    void WritersStopped(std::uint32_t count) const;

    const char* Path() const { return path_; }

  private:
    void Append(const char* line) const;
    // Past kRotateBytes: the log moves to ".old", or else starts anew.
    void RotateIfFull() const;

    char path_[300] = {};
};

}  // namespace corvanlet
