// Where a video stream may be entered: a packet from which a decoder can
// show pictures without what came before (a random access point).
#pragma once

#include <cstdint>

namespace corvanlet::ts {

enum class Access {
    kPoint,    // a decoder can start here
    kNot,      // a picture that needs earlier ones
    kUnknown,  // cannot tell (scrambled, a codec not read here, no start code)
};

// One 188-byte packet of a video stream of `streamType`. A point where the
// adaptation field sets random_access_indicator; otherwise, for a packet
// that starts a PES packet, by the elementary stream's own entry point in
// this packet: an MPEG-1/2 sequence header, an H.264 IDR picture or SPS, an
// HEVC IRAP picture or parameter set, a VVC IDR/CRA picture or parameter set.
Access RandomAccess(const std::uint8_t* packet, std::uint8_t streamType);

// Whether RandomAccess can read the elementary stream of `streamType`.
bool ReadsEntryPoints(std::uint8_t streamType);

}  // namespace corvanlet::ts
