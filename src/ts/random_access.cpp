#include "ts/random_access.h"

#include "ts/packet.h"

namespace corvanlet::ts {

namespace {

enum class Codec { kMpeg2, kH264, kHevc, kVvc, kNone };

Codec CodecOf(std::uint8_t streamType) {
    switch (streamType) {
        case 0x01:
        case 0x02:
            return Codec::kMpeg2;
        case 0x1B:
            return Codec::kH264;
        case 0x24:
            return Codec::kHevc;
        case 0x33:
            return Codec::kVvc;
        default:
            return Codec::kNone;
    }
}

// Whether the unit that begins with `code` (the byte after 00 00 01) and
// `next` (the one after it) is an entry point of `codec`: Access::kPoint,
// kNot for a picture or slice that needs earlier ones, kUnknown for the
// rest (headers that say neither, such as an access unit delimiter).
Access UnitAccess(Codec codec, std::uint8_t code, std::uint8_t next) {
    switch (codec) {
        case Codec::kMpeg2:
            if (code == 0xB3) return Access::kPoint;                // sequence header
            return code == 0x00 ? Access::kNot : Access::kUnknown;  // a picture
        case Codec::kH264: {
            const int type = code & 0x1F;
            if (type == 5 || type == 7) return Access::kPoint;  // IDR slice, SPS
            return type == 1 ? Access::kNot : Access::kUnknown;
        }
        case Codec::kHevc: {
            const int type = (code >> 1) & 0x3F;
            if ((type >= 16 && type <= 21) || (type >= 32 && type <= 34)) return Access::kPoint;
            return type <= 9 ? Access::kNot : Access::kUnknown;
        }
        case Codec::kVvc: {
            const int type = (next >> 3) & 0x1F;
            if ((type >= 7 && type <= 9) || (type >= 14 && type <= 15)) return Access::kPoint;
            return type <= 6 ? Access::kNot : Access::kUnknown;
        }
        case Codec::kNone:
            break;
    }
    return Access::kUnknown;
}

// The offset in the packet of the elementary stream after the PES header
// that begins the payload, or -1 when the header is not whole here.
int ElementaryStart(const std::uint8_t* packet) {
    const int payload = PayloadOffset(packet);
    if (payload < 0 || payload + 9 > kPacketSize) return -1;
    const std::uint8_t* pes = packet + payload;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return -1;
    const int start = payload + 9 + pes[8];
    return start <= kPacketSize ? start : -1;
}

}  // namespace

bool ReadsEntryPoints(std::uint8_t streamType) {
    return CodecOf(streamType) != Codec::kNone;
}

Access RandomAccess(const std::uint8_t* packet, std::uint8_t streamType) {
    // The broadcaster's own word, where it gives it.
    if (HasAdaptationField(packet) && packet[4] > 0 && (packet[5] & 0x40) != 0) {
        return Access::kPoint;
    }
    const Codec codec = CodecOf(streamType);
    if (codec == Codec::kNone || Scrambling(packet) != 0 || !PayloadStart(packet)) {
        return Access::kUnknown;
    }
    const int start = ElementaryStart(packet);
    if (start < 0) return Access::kUnknown;
    // The first unit that says either way decides.
    for (int at = start; at + 4 < kPacketSize; ++at) {
        if (packet[at] != 0 || packet[at + 1] != 0 || packet[at + 2] != 1) continue;
        const Access access = UnitAccess(codec, packet[at + 3], packet[at + 4]);
        if (access != Access::kUnknown) return access;
        at += 2;
    }
    return Access::kUnknown;
}

}  // namespace corvanlet::ts
