// The dialog's text rules. Portable: no system calls, so they can be checked
// on their own.
#pragma once

#include <cstdint>

#include "recorder/pid_choice.h"  // ParsePid, ParsePidChoice

namespace corvanlet {

// "hh:mm:ss" for an elapsed time in milliseconds; the hours widen past 99.
void FormatElapsed(std::uint32_t elapsedMs, char (&out)[16]);

}  // namespace corvanlet
