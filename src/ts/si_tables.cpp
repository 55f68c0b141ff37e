#include "ts/si_tables.h"

#include <cstring>

#include "ts/section_bytes.h"

namespace corvanlet::ts {

namespace {

constexpr std::size_t kMaxSdtSection = 1024;
constexpr std::size_t kMaxEitSection = 4096;
constexpr std::size_t kSdtHeader = 11;  // through the reserved byte after original_network_id
constexpr std::size_t kEitHeader = 14;  // through last_table_id
constexpr std::uint8_t kServiceDescriptor = 0x48;
constexpr std::uint8_t kShortEventDescriptor = 0x4D;

// The descriptor `tag` of a loop, tag and length bytes included; nullptr
// when the loop has none before its end or a descriptor that runs past it.
const std::uint8_t* FindDescriptor(const std::uint8_t* loop, std::size_t length, std::uint8_t tag,
                                   std::size_t& size) {
    std::size_t at = 0;
    while (loop != nullptr && at + 2 <= length) {
        size = 2u + loop[at + 1];
        if (at + size > length) return nullptr;
        if (loop[at] == tag) return loop + at;
        at += size;
    }
    return nullptr;
}

// A length-prefixed text inside a descriptor body [at, end): its bytes, cut
// at the body's end. Returns the offset after it (end when cut).
std::size_t ReadText(const std::uint8_t* body, std::size_t at, std::size_t end,
                     const std::uint8_t*& text, std::uint8_t& length, bool& cut) {
    text = nullptr;
    length = 0;
    if (at >= end) {
        cut = true;
        return end;
    }
    std::size_t wanted = body[at++];
    if (at + wanted > end) {
        cut = true;
        wanted = end - at;
    }
    text = body + at;
    length = static_cast<std::uint8_t>(wanted);
    return at + wanted;
}

int Bcd(std::uint8_t byte) {
    const int high = byte >> 4;
    const int low = byte & 0x0F;
    return high > 9 || low > 9 ? -1 : high * 10 + low;
}

}  // namespace

bool FindSdtService(const std::uint8_t* section, std::size_t length, std::uint16_t serviceId,
                    SdtHeader& header, SdtService& out) {
    if (!SectionChecks(section, length, kSdtActual, kSdtHeader + 4, kMaxSdtSection)) return false;
    header.transportStreamId = Read16(section + 3);
    header.version = static_cast<std::uint8_t>((section[5] >> 1) & 0x1F);
    header.current = (section[5] & 0x01) != 0;
    header.originalNetworkId = Read16(section + 8);
    const std::size_t end = length - 4;
    std::size_t at = kSdtHeader;
    while (at + 5 <= end) {
        const std::uint16_t loopLength = Read12(section + at + 3);
        if (at + 5 + loopLength > end) return false;
        if (Read16(section + at) == serviceId) {
            out.serviceId = serviceId;
            out.flags = section[at + 2];
            out.runningStatus = static_cast<std::uint8_t>(section[at + 3] >> 5);
            out.freeCa = (section[at + 3] & 0x10) != 0;
            out.descriptors = section + at + 5;
            out.descriptorsLength = loopLength;
            return true;
        }
        at += 5u + loopLength;
    }
    return false;
}

std::size_t BuildSdt(const SdtHeader& source, const SdtService& service, std::uint8_t version,
                     std::uint8_t* out) {
    if (kSdtHeader + 5 + service.descriptorsLength + 4 > kMaxSdtSection) return 0;
    WriteHeader(out, kSdtActual, source.transportStreamId, version);
    out[8] = static_cast<std::uint8_t>(source.originalNetworkId >> 8);
    out[9] = static_cast<std::uint8_t>(source.originalNetworkId & 0xFF);
    out[10] = 0xFF;
    std::uint8_t* entry = out + kSdtHeader;
    entry[0] = static_cast<std::uint8_t>(service.serviceId >> 8);
    entry[1] = static_cast<std::uint8_t>(service.serviceId & 0xFF);
    entry[2] = service.flags;
    entry[3] =
        static_cast<std::uint8_t>((service.runningStatus << 5) | (service.freeCa ? 0x10 : 0) |
                                  ((service.descriptorsLength >> 8) & 0x0F));
    entry[4] = static_cast<std::uint8_t>(service.descriptorsLength & 0xFF);
    if (service.descriptorsLength != 0) {
        std::memcpy(entry + 5, service.descriptors, service.descriptorsLength);
    }
    return FinishSection(out, kSdtHeader + 5 + service.descriptorsLength);
}

bool FindServiceDescriptor(const std::uint8_t* descriptors, std::size_t length,
                           ServiceDescriptor& out) {
    std::size_t size = 0;
    const std::uint8_t* d = FindDescriptor(descriptors, length, kServiceDescriptor, size);
    if (d == nullptr || size < 3) return false;
    out = ServiceDescriptor{};
    out.serviceType = d[2];
    const std::size_t next = ReadText(d, 3, size, out.provider, out.providerLength, out.cut);
    ReadText(d, next, size, out.name, out.nameLength, out.cut);
    return true;
}

bool IsRadio(std::uint8_t serviceType) {
    return serviceType == 0x02 || serviceType == 0x07 || serviceType == 0x0A;
}

bool ParseEitHeader(const std::uint8_t* section, std::size_t length, EitHeader& out) {
    if (section == nullptr || length < 1 || section[0] < 0x4E || section[0] > 0x6F) return false;
    if (!SectionChecks(section, length, section[0], kEitHeader + 4, kMaxEitSection)) return false;
    out.tableId = section[0];
    out.serviceId = Read16(section + 3);
    out.version = static_cast<std::uint8_t>((section[5] >> 1) & 0x1F);
    out.current = (section[5] & 0x01) != 0;
    out.sectionNumber = section[6];
    out.transportStreamId = Read16(section + 8);
    out.originalNetworkId = Read16(section + 10);
    return true;
}

bool KeptEit(const EitHeader& header, std::uint16_t serviceId) {
    const bool actual = header.tableId == kEitPresentFollowing ||
                        (header.tableId >= 0x50 && header.tableId <= 0x5F);
    return actual && header.current && header.serviceId == serviceId;
}

bool FirstEvent(const std::uint8_t* section, std::size_t length, EitEvent& out) {
    EitHeader header;
    if (!ParseEitHeader(section, length, header)) return false;
    const std::size_t end = length - 4;
    const std::size_t at = kEitHeader;
    if (at + 12 > end) return false;  // no event: an empty following, say
    const std::uint16_t loopLength = Read12(section + at + 10);
    if (at + 12 + loopLength > end) return false;
    out.eventId = Read16(section + at);
    out.start = SiTime(section + at + 2);
    out.duration = SiDuration(section + at + 7);
    out.runningStatus = static_cast<std::uint8_t>(section[at + 10] >> 5);
    out.freeCa = (section[at + 10] & 0x10) != 0;
    out.descriptors = section + at + 12;
    out.descriptorsLength = loopLength;
    return true;
}

bool FindEventName(const std::uint8_t* descriptors, std::size_t length, const std::uint8_t*& name,
                   std::uint8_t& nameLength, bool& cut) {
    std::size_t size = 0;
    const std::uint8_t* d = FindDescriptor(descriptors, length, kShortEventDescriptor, size);
    if (d == nullptr || size < 5) return false;  // tag, length, language code
    cut = false;
    ReadText(d, 5, size, name, nameLength, cut);
    return true;
}

std::int64_t SiTime(const std::uint8_t* field) {
    const int hours = Bcd(field[2]);
    const int minutes = Bcd(field[3]);
    const int seconds = Bcd(field[4]);
    if (hours < 0 || minutes < 0 || seconds < 0 || hours > 23 || minutes > 59 || seconds > 60) {
        return -1;  // all ones (not given) fails here too
    }
    constexpr std::int64_t kMjdOf1970 = 40587;
    const std::int64_t days = static_cast<std::int64_t>(Read16(field)) - kMjdOf1970;
    return days * 86400 + hours * 3600 + minutes * 60 + seconds;
}

std::uint32_t SiDuration(const std::uint8_t* field) {
    const int hours = Bcd(field[0]);
    const int minutes = Bcd(field[1]);
    const int seconds = Bcd(field[2]);
    if (hours < 0 || minutes < 0 || seconds < 0) return 0;
    return static_cast<std::uint32_t>(hours * 3600 + minutes * 60 + seconds);
}

}  // namespace corvanlet::ts
