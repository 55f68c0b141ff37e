// The character tables of broadcast text: the upper halves (0xA0 to 0xFF) of
// ISO/IEC 6937 as broadcasters use it (the euro sign at 0xA4) and of the
// ISO/IEC 8859 parts, as Unicode code points; the lower halves are ASCII.
// Made from the system's codecs by tools/text_tables/make_text_tables.py.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet::ts::text {

// 0 at the diacritical marks (0xC0 to 0xCF), which combine with the letter
// after them; U+FFFD where the table has no character.
extern const std::uint16_t kIso6937[96];

// A diacritical mark of ISO/IEC 6937 and a letter it precedes, as one
// character; sorted by mark, then letter.
struct Composition {
    std::uint8_t mark;
    std::uint8_t letter;
    std::uint16_t character;
};
extern const Composition kIso6937Compositions[];
extern const std::size_t kIso6937CompositionCount;

// The upper half of ISO/IEC 8859-`part` (1 to 16, not 12); nullptr for none.
const std::uint16_t* Iso8859UpperHalf(int part);

}  // namespace corvanlet::ts::text
