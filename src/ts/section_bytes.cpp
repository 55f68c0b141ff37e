#include "ts/section_bytes.h"

#include "ts/crc32.h"

namespace corvanlet::ts {

// The checks every table with the long header shares: the table, the syntax
// indicator, a section_length that is the section's, and its CRC_32.
bool SectionChecks(const std::uint8_t* section, std::size_t length, std::uint8_t tableId,
                   std::size_t shortest, std::size_t longest) {
    if (section == nullptr || length < shortest || length > longest) return false;
    if (section[0] != tableId || (section[1] & 0x80) == 0) return false;
    if (3u + Read12(section + 1) != length) return false;
    return Crc32Mpeg(section, length) == 0;
}

// The header up to last_section_number, with section_length left for
// FinishSection: section 0 of 0, current, the reserved bits ones.
void WriteHeader(std::uint8_t* out, std::uint8_t tableId, std::uint16_t extension,
                 std::uint8_t version) {
    out[0] = tableId;
    out[3] = static_cast<std::uint8_t>(extension >> 8);
    out[4] = static_cast<std::uint8_t>(extension & 0xFF);
    out[5] = static_cast<std::uint8_t>(0xC0 | ((version & 0x1F) << 1) | 0x01);
    out[6] = 0;
    out[7] = 0;
}

// Sets section_length for the body written up to `end` and appends the
// CRC_32; returns the section's whole length.
std::size_t FinishSection(std::uint8_t* out, std::size_t end) {
    const std::size_t sectionLength = end + 4 - 3;
    out[1] = static_cast<std::uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F));
    out[2] = static_cast<std::uint8_t>(sectionLength & 0xFF);
    const std::uint32_t crc = Crc32Mpeg(out, end);
    for (int i = 0; i < 4; ++i) out[end + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    return end + 4;
}

}  // namespace corvanlet::ts
