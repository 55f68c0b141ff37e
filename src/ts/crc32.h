// The CRC_32 that closes every PSI section with section_syntax_indicator 1
// (ISO/IEC 13818-1, Annex A): polynomial 0x04C11DB7, register preset to all
// ones, bits taken most significant first, no final inversion. Run over a
// whole section, its CRC_32 included, it gives 0: that is how a received
// section is checked.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet::ts {

std::uint32_t Crc32Mpeg(const std::uint8_t* data, std::size_t length);

}  // namespace corvanlet::ts
