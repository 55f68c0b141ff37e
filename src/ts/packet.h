// The fixed header of a 188-byte transport packet (ISO/IEC 13818-1, 2.4.3.2)
// read from, or written to, a pointer to its first byte. Every function
// expects the whole packet to be there: the callers cut their streams into
// packets first, so nothing here reads past byte 187.
#pragma once

#include <cstdint>

namespace corvanlet::ts {

constexpr int kPacketSize = 188;
constexpr std::uint8_t kSync = 0x47;
constexpr std::uint16_t kPatPid = 0;
constexpr std::uint16_t kNullPid = 0x1FFF;

inline std::uint16_t Pid(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
}

// payload_unit_start_indicator: for PSI, a section starts in this packet and
// the payload opens with a pointer_field.
inline bool PayloadStart(const std::uint8_t* p) {
    return (p[1] & 0x40) != 0;
}

inline bool TransportError(const std::uint8_t* p) {
    return (p[1] & 0x80) != 0;
}

// transport_scrambling_control: 0 when the payload is in the clear.
inline std::uint8_t Scrambling(const std::uint8_t* p) {
    return static_cast<std::uint8_t>((p[3] >> 6) & 0x3);
}

inline std::uint8_t Counter(const std::uint8_t* p) {
    return static_cast<std::uint8_t>(p[3] & 0x0F);
}

inline void SetCounter(std::uint8_t* p, std::uint8_t cc) {
    p[3] = static_cast<std::uint8_t>((p[3] & 0xF0) | (cc & 0x0F));
}

// adaptation_field_control 01 or 11. The reserved value 00 counts as no
// payload, so such a packet is passed over as a decoder passes it over.
inline bool HasPayload(const std::uint8_t* p) {
    return (p[3] & 0x10) != 0;
}

inline bool HasAdaptationField(const std::uint8_t* p) {
    return (p[3] & 0x20) != 0;
}

// Whether the adaptation field carries a PCR: its length leaves room for
// the flags byte and the six PCR bytes, and PCR_flag is set.
inline bool HasPcr(const std::uint8_t* p) {
    return HasAdaptationField(p) && p[4] >= 7 && p[4] <= kPacketSize - 5 && (p[5] & 0x10) != 0;
}

// Where the payload starts, past the adaptation field when there is one; or
// kPacketSize when there is no payload to read: none is signalled, or the
// adaptation_field_length (untrusted) leaves no byte of the packet for it.
inline int PayloadOffset(const std::uint8_t* p) {
    if (!HasPayload(p)) return kPacketSize;
    if (!HasAdaptationField(p)) return 4;
    const int offset = 5 + p[4];
    return offset < kPacketSize ? offset : kPacketSize;
}

}  // namespace corvanlet::ts
