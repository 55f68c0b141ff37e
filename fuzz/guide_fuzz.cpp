// The guide's readers on whatever bytes a broadcaster sends. The first byte
// picks the default text table and the second the room for the decoded
// text; the rest is read as text (which must come out as well-formed UTF-8,
// terminated, within the room), as an SDT section (a service found and
// written alone must read back the same), as an EIT section (its first event
// and title), and, cut into packets on the SI PIDs, through a service
// stream that must emit only whole packets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ts/dvb_text.h"
#include "ts/packet.h"
#include "ts/service_stream.h"
#include "ts/si_tables.h"

namespace {

using namespace corvanlet::ts;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Well-formed UTF-8: lead bytes with their continuation bytes, no overlong
// forms, no surrogates, nothing past U+10FFFF.
void CheckUtf8(const char* text, std::size_t length) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text);
    for (std::size_t i = 0; i < length;) {
        const std::uint8_t lead = p[i];
        const std::size_t count = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        Check(lead < 0x80 || (lead >= 0xC2 && lead <= 0xF4));
        Check(i + count <= length);
        std::uint32_t point = count == 1 ? lead : lead & (0x7F >> count);
        for (std::size_t k = 1; k < count; ++k) {
            Check((p[i + k] & 0xC0) == 0x80);
            point = (point << 6) | (p[i + k] & 0x3F);
        }
        constexpr std::uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        Check(count == 1 || point >= kLeast[count]);
        Check(point <= 0x10FFFF && (point < 0xD800 || point >= 0xE000));
        i += count;
    }
}

void DecodeAll(const std::uint8_t* data, std::size_t size, int table, std::size_t room) {
    TextOptions options;
    options.defaultTable = table;
    char out[800];
    std::memset(out, 0x55, sizeof out);
    const std::size_t used = DecodeText(data, size, out, room, options);
    Check(used < room && out[used] == '\0' && std::strlen(out) == used);
    Check(room == sizeof out || out[room] == 0x55);  // nothing past the room
    CheckUtf8(out, used);
}

void ReadSdt(const std::uint8_t* data, std::size_t size) {
    SdtHeader header;
    SdtService service;
    const std::uint16_t id = size >= 13 ? static_cast<std::uint16_t>(data[11] << 8 | data[12]) : 0;
    if (!FindSdtService(data, size, id, header, service)) return;
    std::uint8_t built[1024];
    const std::size_t length = BuildSdt(header, service, 3, built);
    if (length == 0) return;
    SdtHeader again;
    SdtService found;
    Check(FindSdtService(built, length, id, again, found));
    Check(again.transportStreamId == header.transportStreamId && again.version == 3);
    Check(found.descriptorsLength == service.descriptorsLength);
    Check(std::memcmp(found.descriptors, service.descriptors, service.descriptorsLength) == 0);
    ServiceDescriptor names;
    if (FindServiceDescriptor(service.descriptors, service.descriptorsLength, names)) {
        DecodeAll(names.name, names.nameLength, 0, 800);
    }
}

void ReadEit(const std::uint8_t* data, std::size_t size) {
    EitEvent event;
    if (!FirstEvent(data, size, event)) return;
    Check(event.descriptors >= data && event.descriptors + event.descriptorsLength <= data + size);
    const std::uint8_t* name = nullptr;
    std::uint8_t length = 0;
    bool cut = false;
    if (FindEventName(event.descriptors, event.descriptorsLength, name, length, cut)) {
        Check(name >= event.descriptors &&
              name + length <= event.descriptors + event.descriptorsLength);
    }
}

void Emitted(void*, const std::uint8_t* data, std::int32_t length, std::uint8_t tag) {
    if (tag != ServiceStream::kPacketsTag && tag != ServiceStream::kEntryTag) return;
    Check(length > 0 && length % kPacketSize == 0);
    for (std::int32_t at = 0; at < length; at += kPacketSize) Check(data[at] == kSync);
}

// The input as packets of PID 0, 0x11, 0x12 and 0x14 in turn, through a
// service stream of service 1.
void Stream(const std::uint8_t* data, std::size_t size) {
    static auto* stream = new ServiceStream;
    stream->Start(1, &Emitted, nullptr, nullptr);
    constexpr std::uint16_t kPids[] = {0x0000, kSdtPid, kEitPid, kTdtPid};
    std::uint8_t packet[kPacketSize];
    for (std::size_t at = 0, i = 0; at < size; at += kPacketSize - 4, ++i) {
        std::memset(packet, 0xFF, sizeof packet);
        const std::size_t n = size - at < kPacketSize - 4 ? size - at : kPacketSize - 4;
        std::memcpy(packet + 4, data + at, n);
        packet[0] = kSync;
        packet[1] = static_cast<std::uint8_t>(0x40 | kPids[i % 4] >> 8);
        packet[2] = static_cast<std::uint8_t>(kPids[i % 4]);
        packet[3] = static_cast<std::uint8_t>(0x10 | ((i / 4) & 0x0F));
        stream->Feed(packet, kPacketSize);
    }
    ServiceGuide guide;
    stream->Guide(guide);
    CheckUtf8(guide.name, std::strlen(guide.name));
    CheckUtf8(guide.present.title, std::strlen(guide.present.title));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int tables[] = {0, 1, 2, 5, 7, 9, 15, TextOptions::kUtf8Table};
    const int table = tables[data[0] % 8];
    const std::size_t room = 1 + data[1] % 799;
    DecodeAll(data + 2, size - 2, table, room);
    ReadSdt(data + 2, size - 2);
    ReadEit(data + 2, size - 2);
    Stream(data + 2, size - 2);
    return 0;
}
