// Big-endian fields of PSI and SI sections.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet::ts {

inline std::uint16_t Read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
// A 13-bit PID behind three reserved bits.
inline std::uint16_t Read13(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(((p[0] & 0x1F) << 8) | p[1]);
}
// A 12-bit length behind four other bits.
inline std::uint16_t Read12(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(((p[0] & 0x0F) << 8) | p[1]);
}

// The checks every table with the long header shares: the table, the syntax
// indicator, a length within [shortest, longest] that is its section_length's,
// and its CRC_32.
bool SectionChecks(const std::uint8_t* section, std::size_t length, std::uint8_t tableId,
                   std::size_t shortest, std::size_t longest);
// The long header up to last_section_number, with section_length left for
// FinishSection: section 0 of 0, current, the reserved bits ones.
void WriteHeader(std::uint8_t* out, std::uint8_t tableId, std::uint16_t extension,
                 std::uint8_t version);
// Sets section_length for the body written up to `end` and appends the
// CRC_32; returns the section's whole length.
std::size_t FinishSection(std::uint8_t* out, std::size_t end);

}  // namespace corvanlet::ts
