// The guide's text and tables: each character table against text worked out
// by hand, broken text, and SDT and EIT sections put together byte by byte.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ts/crc32.h"
#include "ts/dvb_text.h"
#include "ts/si_tables.h"

namespace corvanlet::ts {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Decoded(const Bytes& text, const TextOptions& options = {}, std::size_t room = 256) {
    std::vector<char> out(room, '#');
    const std::size_t used = DecodeText(text.data(), text.size(), out.data(), room, options);
    EXPECT_EQ(std::strlen(out.data()), used);
    return std::string(out.data());
}

TEST(GuideText, EachTableAsTheBroadcasterMeantIt) {
    // The default table: a diacritic before its letter, composed; the euro.
    EXPECT_EQ(Decoded({'T', 0xC1, 'e', 'l', 'e', ' ', 0xC2, 'E', ' ', 0xA4, '5'}),
              "T\u00e8le \u00c9 \u20ac5");
    // A letter with no composed form keeps its mark as a combining one.
    EXPECT_EQ(Decoded({0xC8, 'q'}), "q\u0308");
    // 8859-7 by its one-byte selector: a Greek title.
    EXPECT_EQ(Decoded({0x03, 0xC5, 0xE9, 0xE4, 0xDE, 0xF3, 0xE5, 0xE9, 0xF2}),
              "\u0395\u03b9\u03b4\u03ae\u03c3\u03b5\u03b9\u03c2");
    // 8859-5, Cyrillic.
    EXPECT_EQ(Decoded({0x01, 0xBC, 0xD8, 0xE0}), "\u041c\u0438\u0440");
    // 8859-2 by the three-byte selector.
    EXPECT_EQ(Decoded({0x10, 0x00, 0x02, 0xA3, 0xF3, 'd', 0xBC}), "\u0141\u00f3d\u017a");
    // UCS-2, with its line break as a space and its emphasis dropped.
    EXPECT_EQ(Decoded({0x11, 0x00, 'A', 0xE0, 0x8A, 0xE0, 0x86, 0x04, 0x1F, 0xE0, 0x87}),
              "A \u041f");
    // UTF-8 as it is, its C1 controls read as in the other tables.
    EXPECT_EQ(Decoded({0x15, 'a', 0xC2, 0x86, 0xC3, 0xA9, 0xC2, 0x8A, 'b'}), "a\u00e9 b");
    // Emphasis and line break in a one-byte table; other controls go.
    EXPECT_EQ(Decoded({0x86, 'N', 'e', 'w', 's', 0x87, 0x8A, '2', 0x0D}), "News 2");
}

int FakeWide(int selector, const std::uint8_t* text, std::size_t length, char* out,
             std::size_t room) {
    // Stands in for the system's code pages: selector 0x13 only.
    if (selector != 0x13 || length != 2 || text[0] != 0xD6 || text[1] != 0xD0 || room < 4)
        return -1;
    std::memcpy(out, "\xE4\xB8\xAD", 3);  // U+4E2D
    return 3;
}

TEST(GuideText, WideTablesGoThroughTheCallersDecoderOrBecomeAReplacement) {
    EXPECT_EQ(Decoded({0x13, 0xD6, 0xD0}), "\ufffd") << "no decoder";
    TextOptions options;
    options.wide = &FakeWide;
    EXPECT_EQ(Decoded({0x13, 0xD6, 0xD0}, options), "\u4e2d");
    EXPECT_EQ(Decoded({0x12, 0xB0, 0xA1}, options), "\ufffd") << "a table it does not have";
}

TEST(GuideText, BrokenTextIsAReplacementNeverAReadPastTheEnd) {
    EXPECT_EQ(Decoded({}), "");
    EXPECT_EQ(Decoded({0x10}), "\ufffd") << "selector cut short";
    EXPECT_EQ(Decoded({0x10, 0x00, 0x0C, 'a'}), "\ufffd") << "8859-12 does not exist";
    EXPECT_EQ(Decoded({0x0C, 'a'}), "\ufffd") << "a reserved selector";
    EXPECT_EQ(Decoded({0x1F, 0x01, 'a'}), "\ufffd") << "compressed text";
    EXPECT_EQ(Decoded({0x11, 0x00, 'A', 0x00}), "A\ufffd") << "half a UCS-2 character";
    EXPECT_EQ(Decoded({0x11, 0xD8, 0x00}), "\ufffd") << "half a surrogate pair";
    EXPECT_EQ(Decoded({0x15, 'a', 0xE2, 0x82}), "a\ufffd\ufffd") << "UTF-8 cut short";
    EXPECT_EQ(Decoded({0x15, 0xC0, 0xAF}), "\ufffd\ufffd") << "overlong UTF-8";
    EXPECT_EQ(Decoded({'a', 0xC2}), "a\ufffd") << "a diacritic with no letter";
    EXPECT_EQ(Decoded({0xD8}), "\ufffd") << "a byte the default table leaves empty";
    EXPECT_EQ(Decoded({'a', 0x00, 'b'}), "ab") << "a NUL is a control, not a mark";
    // Cut on a character boundary to fit, with the terminator.
    EXPECT_EQ(Decoded({'a', 0xC2, 'e', 'b'}, {}, 3), "a");
    EXPECT_EQ(Decoded({'a', 0xC2, 'e', 'b'}, {}, 4), "a\u00e9");
    EXPECT_EQ(Decoded({'a', 'b'}, {}, 1), "");
}

TEST(GuideText, ASettingNamesTheTableOfTextThatNamesNone) {
    int table = -1;
    ASSERT_TRUE(ParseTextTable("ISO-8859-9", table));
    EXPECT_EQ(table, 9);
    TextOptions options;
    options.defaultTable = table;
    EXPECT_EQ(Decoded({'T', 0xDD, 'R', 'T'}, options), "T\u0130RT");
    EXPECT_EQ(Decoded({0x05, 0xFD}, {}), "\u0131") << "a selector still wins";
    ASSERT_TRUE(ParseTextTable("utf-8", table));
    EXPECT_EQ(table, TextOptions::kUtf8Table);
    ASSERT_TRUE(ParseTextTable("iso-6937", table));
    EXPECT_EQ(table, 0);
    for (const char* bad : {"", "iso-8859-12", "iso-8859-0", "iso-8859-17", "iso-8859-", "latin1",
                            "iso-8859-1x", "iso-8859-01"}) {
        EXPECT_FALSE(ParseTextTable(bad, table)) << bad;
    }
}

void Put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

Bytes Sealed(Bytes section) {
    const std::size_t length = section.size() + 4 - 3;
    section[1] = static_cast<std::uint8_t>(0xF0 | (length >> 8));
    section[2] = static_cast<std::uint8_t>(length);
    const std::uint32_t crc = Crc32Mpeg(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<std::uint8_t>(crc >> shift));
    return section;
}

void PutService(Bytes& s, std::uint16_t id, std::uint8_t flags, std::uint8_t running, bool ca,
                const Bytes& descriptors) {
    Put16(s, id);
    s.push_back(flags);
    Put16(s, (running << 13) | (ca ? 0x1000 : 0) | descriptors.size());
    s.insert(s.end(), descriptors.begin(), descriptors.end());
}

TEST(GuideTables, TheSdtOfOneServiceKeepsItsEntryAndTheStreamsIds) {
    const Bytes descriptor = {0x48, 9, 0x01, 3, 'R', 'A', 'I', 3, 'R', 'a', 'i'};
    Bytes s = {0x42, 0, 0, 0x04, 0x4C, 0xC5, 0, 0, 0x01, 0x3E, 0xFF};  // ts 0x44C v2, onid 0x13E
    PutService(s, 3401, 0xFD, 4, false, {0x48, 3, 0x01, 0, 0});
    PutService(s, 3402, 0xFF, 4, true, descriptor);
    PutService(s, 3403, 0xFC, 1, false, {});
    const Bytes source = Sealed(s);

    SdtHeader header;
    SdtService service;
    ASSERT_TRUE(FindSdtService(source.data(), source.size(), 3402, header, service));
    EXPECT_EQ(header.transportStreamId, 0x44C);
    EXPECT_EQ(header.originalNetworkId, 0x13E);
    EXPECT_EQ(header.version, 2);
    EXPECT_TRUE(service.freeCa);
    EXPECT_EQ(service.runningStatus, 4);
    EXPECT_FALSE(FindSdtService(source.data(), source.size(), 999, header, service));

    ASSERT_TRUE(FindSdtService(source.data(), source.size(), 3402, header, service));
    std::uint8_t out[1024];
    const std::size_t length = BuildSdt(header, service, 7, out);
    Bytes expected = {0x42, 0, 0, 0x04, 0x4C, 0xC0 | 7 << 1 | 1, 0, 0, 0x01, 0x3E, 0xFF};
    PutService(expected, 3402, 0xFF, 4, true, descriptor);
    expected = Sealed(expected);
    expected[1] = static_cast<std::uint8_t>(0xB0 | (expected[1] & 0x0F));  // as a builder marks it
    const std::uint32_t crc = Crc32Mpeg(expected.data(), expected.size() - 4);
    for (int i = 0; i < 4; ++i)
        expected[expected.size() - 4 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    EXPECT_EQ(Bytes(out, out + length), expected);
    EXPECT_EQ(Crc32Mpeg(out, length), 0u);

    ServiceDescriptor names;
    ASSERT_TRUE(FindServiceDescriptor(service.descriptors, service.descriptorsLength, names));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(names.provider), names.providerLength),
              "RAI");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(names.name), names.nameLength), "Rai");
    EXPECT_FALSE(names.cut);
    // A name whose length runs past its descriptor is cut there.
    const Bytes longName = {0x48, 6, 0x02, 0, 40, 'R', 'a', 'd'};
    ASSERT_TRUE(FindServiceDescriptor(longName.data(), longName.size(), names));
    EXPECT_TRUE(names.cut);
    EXPECT_EQ(names.nameLength, 3);
    EXPECT_TRUE(IsRadio(names.serviceType));
    // A descriptor running past its loop is no descriptor.
    EXPECT_FALSE(FindServiceDescriptor(longName.data(), 5, names));
}

TEST(GuideTables, TheEitSaysTheEventItsTimeAndItsTitle) {
    // The time of the standard's own example: 1993-10-13 12:45:00 UTC.
    const std::uint8_t when[5] = {0xC0, 0x79, 0x12, 0x45, 0x00};
    EXPECT_EQ(SiTime(when), 750516300);
    const std::uint8_t unknown[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(SiTime(unknown), -1);
    const std::uint8_t length[3] = {0x01, 0x30, 0x05};
    EXPECT_EQ(SiDuration(length), 5405u);

    Bytes s = {0x4E, 0, 0, 0x0D, 0x49, 0xC1 | 3 << 1, 0, 1, 0x04, 0x4C, 0x01, 0x3E, 1, 0x4E};
    Put16(s, 248);                                                        // event_id
    s.insert(s.end(), {0xC0, 0x79, 0x20, 0x30, 0x00, 0x00, 0x30, 0x00});  // 20:30, 30 min
    const Bytes shortEvent = {0x4D, 9, 'i', 't', 'a', 3, 'T', 'G', '1', 1, 'x'};
    Put16(s, (4 << 13) | shortEvent.size());
    s.insert(s.end(), shortEvent.begin(), shortEvent.end());
    const Bytes section = Sealed(s);

    EitHeader header;
    ASSERT_TRUE(ParseEitHeader(section.data(), section.size(), header));
    EXPECT_EQ(header.serviceId, 3401);
    EXPECT_EQ(header.version, 3);
    EXPECT_EQ(header.transportStreamId, 0x44C);
    EXPECT_TRUE(KeptEit(header, 3401));
    EXPECT_FALSE(KeptEit(header, 3402));
    EitHeader other = header;
    other.tableId = 0x4F;
    EXPECT_FALSE(KeptEit(other, 3401)) << "EIT other";
    other.tableId = 0x5F;
    EXPECT_TRUE(KeptEit(other, 3401)) << "schedule actual";
    other.tableId = 0x60;
    EXPECT_FALSE(KeptEit(other, 3401)) << "schedule other";

    EitEvent event;
    ASSERT_TRUE(FirstEvent(section.data(), section.size(), event));
    EXPECT_EQ(event.eventId, 248);
    EXPECT_EQ(event.start, 750516300 + 7 * 3600 + 45 * 60);
    EXPECT_EQ(event.duration, 1800u);
    EXPECT_EQ(event.runningStatus, 4);
    const std::uint8_t* name = nullptr;
    std::uint8_t nameLength = 0;
    bool cut = true;
    ASSERT_TRUE(FindEventName(event.descriptors, event.descriptorsLength, name, nameLength, cut));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name), nameLength), "TG1");
    EXPECT_FALSE(cut);
    // A damaged section says nothing.
    Bytes damaged = section;
    damaged[20] ^= 1;
    EXPECT_FALSE(FirstEvent(damaged.data(), damaged.size(), event));
}

}  // namespace
}  // namespace corvanlet::ts
