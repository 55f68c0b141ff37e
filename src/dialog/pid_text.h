// The dialog's text rules. Portable: no system calls, so they can be checked
// on their own.
#pragma once

#include <cstdint>

namespace corvanlet {

// The PID typed into the dialog: leading white space, an optional sign, then
// digits up to the first other character; no digits gives 0; values beyond
// 32 bits wrap modulo 2^32.
std::int32_t ParsePid(const char* text);

// "hh:mm:ss" for an elapsed time in milliseconds; the hours widen past 99.
void FormatElapsed(std::uint32_t elapsedMs, char (&out)[16]);

}  // namespace corvanlet
