// What a service recording says of what is on, from its SI: the dialog's
// line ("Rai 1 · TG1, 20:00 to 20:30") and the log's lines (the service
// once it is known, each programme that begins, the tables a source lacks).
// The text is UTF-8; times are the PC's local time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recorder/recording_log.h"
#include "ts/dvb_text.h"
#include "ts/service_stream.h"

namespace corvanlet {

// The dialog's line for a service: its name (and "scrambled"), then the
// present programme's title and its times when known; empty before the
// SDT names it and no programme is known.
void DescribeProgramme(const ts::ServiceGuide& guide, char* out, std::size_t size);

// The system's code pages for the Korean and Chinese tables of SI text.
ts::TextOptions SystemTextOptions(int defaultTable);

// The guide's log lines of one recording, written as its SI comes in.
class GuideLog {
  public:
    static constexpr std::uint32_t kMaxEventLines = 200;
    // A source that has sent no SDT or no EIT this long says so.
    static constexpr std::uint32_t kAbsentAfterMs = 10000;

    void Reset() { *this = GuideLog{}; }
    // Control thread, about once a second: the lines that what the guide
    // says now calls for, at `elapsedMs` into the recording.
    void Look(const ts::ServiceGuide& guide, std::uint32_t elapsedMs, const RecordingLog& log);

  private:
    void LogService(const ts::ServiceGuide& guide, std::uint32_t elapsedMs,
                    const RecordingLog& log);
    void LogEvent(const ts::ServiceGuide::Event& event, std::uint32_t elapsedMs,
                  const RecordingLog& log);

    bool loggedService_ = false;
    bool loggedAbsent_ = false;
    bool haveEvent_ = false;
    std::uint16_t lastEvent_ = 0;
    std::uint32_t eventLines_ = 0;
};

}  // namespace corvanlet
