// A service recording's file name from its guide: the service's name and
// the programme on at Start, in a form the user may set. Names and titles
// come from the broadcaster in any script and may hold anything, so the
// name is made safe for the file system here. Portable: text in, text out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet {

struct GuideNameFields {
    const char* service = "";  // UTF-8; empty when the SDT has not named it
    const char* title = "";    // UTF-8; empty when no programme is known
    std::uint16_t serviceId = 0;
    // The channel, as the host reports it.
    std::int32_t frequency = 0;
    char polarisation = 'H';
    std::int32_t symbolRate = 0;
    // The recording's start, local time.
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

// The title is cut to this many characters (not bytes).
constexpr std::size_t kGuideTitleCharacters = 100;
// The longest name Windows takes, in UTF-16 units.
constexpr std::size_t kMostNameUnits = 255;

// Expands `form` ("%service% - %title% - %date% %time%.ts" by default):
// %service%, %title%, %sid%, %date% (YYYY-MM-DD), %time% (HH.MM),
// %frequency%, %polarisation% (H or V) and %symbolrate%; any other text is
// kept. Then makes it a name Windows takes: \ / : * ? " < > | and control
// characters become _, a " - " left by an empty field goes, dots and spaces
// at the end of the stem and of the name go, and a device's name (NUL, COM1,
// ...) gets a _ after it. False, with `out` empty, when neither the service
// nor the title is known, or the result is empty, does not fit `size`, or
// with " (9)" added would pass kMostNameUnits.
bool GuideName(const char* form, const GuideNameFields& fields, char* out, std::size_t size);

}  // namespace corvanlet
