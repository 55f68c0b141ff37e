#include "ts/crc32.h"

#include <array>

namespace corvanlet::ts {

namespace {

// The register after shifting each possible top byte through eight steps,
// worked out by the compiler: a byte per step at run time instead of a bit.
constexpr std::array<std::uint32_t, 256> MakeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t value = byte << 24;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 0x80000000u) ? (value << 1) ^ 0x04C11DB7u : value << 1;
        table[byte] = value;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = MakeTable();

}  // namespace

std::uint32_t Crc32Mpeg(const std::uint8_t* data, std::size_t length) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i)
        crc = (crc << 8) ^ kTable[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

}  // namespace corvanlet::ts
