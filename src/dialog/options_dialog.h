// The options dialog: edits the recorder's PID, file name and directory,
// starts and stops a recording, and shows its elapsed time and size once a
// second.
#pragma once

#include <cstdint>

namespace corvanlet {

class RecorderModule;

// Runs the dialog modally on the calling thread until it is closed, then
// saves the settings. A dialog already open is brought to the front instead.
void ShowOptionsDialog(RecorderModule& recorder);

// Enables Start and the edits exactly when no recording runs, and Stop
// exactly when one runs. Does nothing while the dialog is closed.
void UpdateControls(RecorderModule& recorder);

// The PID typed into the dialog: leading white space, an optional sign, then
// digits up to the first other character; no digits gives 0; values beyond
// 32 bits wrap modulo 2^32.
std::int32_t ParsePid(const char* text);

// "hh:mm:ss" for an elapsed time in milliseconds; the hours widen past 99.
void FormatElapsed(std::uint32_t elapsedMs, char (&out)[16]);

}  // namespace corvanlet
