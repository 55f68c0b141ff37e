// Settings: the two settings files. The module's own "Options.ini" (section
// "Corvanlet") is read, and the keys the dialog shows are written; the host's
// own settings file (section "Siltrocke": "RecordDir") is only read, for
// defaults. Text from them is kept in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

#include "recorder/pid_choice.h"
#include "recorder/setting_text.h"

namespace corvanlet {

class Settings {
  public:
    static constexpr std::size_t kPathSize = 260;   // paths from the system
    static constexpr std::size_t kTextSize = 1000;  // the directory, with terminator

    // The ring's size in kilobytes: the default, and the range taken as given
    // (a value outside it takes the nearer bound; junk takes the default).
    static constexpr std::int32_t kDefaultBufferKB = 16384;
    static constexpr std::int32_t kSmallestBufferKB = 100;
    static constexpr std::int32_t kLargestBufferKB = 262144;

    // The opt-in limits of a recording; 0 (the default) means never.
    struct Limits {
        std::int32_t splitMB = 0;           // "SplitMB": a next part before one passes it
        std::int32_t stopAfterMinutes = 0;  // "StopAfterMinutes"
        std::int32_t stopAfterMB = 0;       // "StopAfterMB"
        std::int32_t minFreeMB = 0;         // "MinFreeMB": no start, and a stop, below it
    };

    struct Values {
        // "Pid" holds the one PID, or the first of a list (older readers
        // keep working); "Pids" holds a list or a service as typed.
        PidChoice choice;
        char directory[kTextSize] = {};
        std::int32_t bufferKB = kDefaultBufferKB;
        Limits limits;
        // "TextTable": the table of SI text that names none (0: ISO/IEC
        // 6937); only read.
        int textTable = 0;
        // "StopAtProgrammeEnd" (0 or 1; the dialog's check box) and
        // "PaddingMinutes" (0 to 60, default 2; only read): a service
        // recording stops when its programme has ended, that much later.
        bool stopAtProgrammeEnd = false;
        // "SplitAtProgrammes" (0 or 1; a check box): each programme of a
        // service recording begins a next part, cut as the end above.
        bool splitAtProgrammes = false;
        std::int32_t paddingMinutes = 2;
        // "NameTemplate": the form of a service recording's name built from
        // the guide (see GuideName); only read.
        char nameTemplate[200] = "%service% - %title% - %date% %time%.ts";
        // Keys whose text is no value they may have: each kept in the file
        // as typed, not used, and said once in the log, e.g.
        // "settings: SplitMB=0.5 is not a whole number of MB; not used".
        static constexpr std::size_t kMaxProblems = 8;
        char problems[kMaxProblems][160] = {};
        std::size_t problemCount = 0;
    };

    // "BufferKB" as the settings file holds it: decimal digits with an
    // optional sign, nothing else but blanks around them.
    static std::int32_t ParseBufferKB(const char* text) {
        return ParseSettingNumber(text, kDefaultBufferKB, kSmallestBufferKB, kLargestBufferKB);
    }

    // `settingsPath`: the full path of "Options.ini", or empty or null when
    // there is none (then defaults are read and nothing is written).
    explicit Settings(const char* settingsPath);

    // The settings in "Options.ini" beside the file of `module`; none when
    // that path does not fit in kPathSize characters.
    static Settings Beside(HMODULE module);

    // The defaults: the host's "RecordDir", else the host executable's
    // directory (with its trailing backslash); PID 0.
    Values Defaults() const;
    // The defaults, overridden by what "Options.ini" holds.
    Values Load() const;
    // Writes the keys the dialog shows, "Path", "Pid", "Pids",
    // "StopAtProgrammeEnd" and "SplitAtProgrammes", each only where it differs from what the file
    // holds; no other key is ever written. Failures are ignored. Nothing
    // without a file.
    void Save(const Values& values) const;

    const char* Path() const { return path_; }

  private:
    // Load's keys for a service's guide: the programme's end, the text
    // table, the name template.
    void LoadGuideKeys(Values& values) const;

    char path_[kPathSize] = {};
};

}  // namespace corvanlet
