// The numbers in the module's settings file, read from their text. Portable:
// no system calls, so it can be checked on its own.
#pragma once

#include <cstdint>

namespace corvanlet {

// Decimal digits with an optional sign, nothing else but blanks around them.
// A value outside [least, most] takes the nearer bound; text that is no such
// number (nothing, junk after the digits, "0x400") takes `fallback`.
std::int32_t ParseSettingNumber(const char* text, std::int32_t fallback, std::int32_t least,
                                std::int32_t most);

}  // namespace corvanlet
