// The text of broadcast tables (service and provider names, event titles) as
// ETSI EN 300 468 codes it: an optional first byte that selects the
// character table, then the characters. Decoded to UTF-8.
//
//   - No selector (a first byte of 0x20 or more): the default table,
//     ISO/IEC 6937 with the euro sign at 0xA4, whose diacritical marks
//     (0xC1 to 0xCF) come before the letter they go on and are composed with
//     it into one character. `TextOptions::defaultTable` overrides it, for
//     broadcasters that send another table without saying so.
//   - 0x01 to 0x0B: ISO/IEC 8859-5 to -15; 0x10 0x00 NN: ISO/IEC 8859-NN.
//   - 0x11: UCS-2, big-endian. 0x15: UTF-8.
//   - 0x12 to 0x14 (Korean, simplified and traditional Chinese): through the
//     caller's `TextOptions::wide`, where it has one.
//   - Emphasis on and off (0x86, 0x87; 0xE086, 0xE087 in UCS-2) are dropped,
//     a line break (0x8A, 0xE08A) becomes a space, other control codes go.
//
// The bytes are untrusted: what cannot be read (a table not known or not
// available, a sequence cut short, a byte no character has) becomes U+FFFD,
// and nothing is read past `length` or written past `room`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet::ts {

struct TextOptions {
    // The table of text that names none: 0 for ISO/IEC 6937, 1 to 16 for
    // that part of ISO/IEC 8859, kUtf8Table for UTF-8.
    static constexpr int kUtf8Table = 0x15;
    int defaultTable = 0;
    // Decodes text in the table of selector 0x12, 0x13 or 0x14 (the bytes
    // after it) into UTF-8 at `out`; returns the bytes written, or -1 when it
    // cannot. Null: such text is U+FFFD.
    using WideDecoder = int (*)(int selector, const std::uint8_t* text, std::size_t length,
                                char* out, std::size_t room);
    WideDecoder wide = nullptr;
};

// Decodes `length` bytes of text into `out` as UTF-8, cut on a character
// boundary to fit `room` bytes with a terminator (room > 0). Returns the
// bytes written before the terminator.
std::size_t DecodeText(const std::uint8_t* text, std::size_t length, char* out, std::size_t room,
                       const TextOptions& options = {});

// Reads a table's name as a setting gives it: "iso-6937", "iso-8859-1" to
// "iso-8859-16" (not 12), "utf-8", in any case; false for anything else.
bool ParseTextTable(const char* name, int& table);

}  // namespace corvanlet::ts
