#include "ts/dvb_text.h"

#include <cctype>
#include <cstring>

#include "ts/text_tables.h"

namespace corvanlet::ts {

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

// UTF-8 into a fixed buffer: a character that does not fit whole, with the
// terminator, ends the text there.
class Utf8Out {
  public:
    Utf8Out(char* out, std::size_t room) : out_(out), room_(room) { out_[0] = '\0'; }

    void Put(std::uint32_t point) {
        if (full_) return;
        char bytes[4];
        const std::size_t count = Encode(point, bytes);
        if (used_ + count + 1 > room_) {
            full_ = true;
            return;
        }
        std::memcpy(out_ + used_, bytes, count);
        used_ += count;
        out_[used_] = '\0';
    }
    std::size_t Used() const { return used_; }

  private:
    static std::size_t Encode(std::uint32_t point, char* bytes) {
        if (point < 0x80) {
            bytes[0] = static_cast<char>(point);
            return 1;
        }
        if (point < 0x800) {
            bytes[0] = static_cast<char>(0xC0 | (point >> 6));
            bytes[1] = static_cast<char>(0x80 | (point & 0x3F));
            return 2;
        }
        if (point < 0x10000) {
            bytes[0] = static_cast<char>(0xE0 | (point >> 12));
            bytes[1] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | (point & 0x3F));
            return 3;
        }
        bytes[0] = static_cast<char>(0xF0 | (point >> 18));
        bytes[1] = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (point & 0x3F));
        return 4;
    }

    char* out_;
    std::size_t room_;
    std::size_t used_ = 0;
    bool full_ = false;
};

// The control codes every table shares, by their code point: emphasis goes,
// a line break is a space, other controls go. True when `point` was one.
bool PutControl(std::uint32_t point, Utf8Out& out) {
    const bool c0 = point < 0x20 || point == 0x7F;
    const bool c1 = point >= 0x80 && point < 0xA0;
    const bool privateC1 = point >= 0xE080 && point < 0xE0A0;  // the two-byte tables' codes
    if (!c0 && !c1 && !privateC1) return false;
    if ((point & 0xFF) == 0x8A && !c0) out.Put(' ');
    return true;
}

// The combining mark of each ISO/IEC 6937 diacritic (0xC1 to 0xCF), for a
// letter that has no composed form: 0 where the mark has none.
constexpr std::uint16_t kCombining[15] = {0x0300, 0x0301, 0x0302, 0x0303, 0x0304,
                                          0x0306, 0x0307, 0x0308, 0x0308, 0x030A,
                                          0x0327, 0x0332, 0x030B, 0x0328, 0x030C};

std::uint32_t Composed(std::uint8_t mark, std::uint8_t letter) {
    for (std::size_t i = 0; i < text::kIso6937CompositionCount; ++i) {
        const text::Composition& c = text::kIso6937Compositions[i];
        if (c.mark == mark && c.letter == letter) return c.character;
    }
    return 0;
}

void DecodeIso6937(const std::uint8_t* text, std::size_t length, Utf8Out& out) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = text[i];
        if (byte < 0xC0 || byte > 0xCF) {  // not a diacritical mark
            const std::uint32_t single = byte < 0xA0 ? byte : text::kIso6937[byte - 0xA0];
            if (!PutControl(single, out)) out.Put(single);
            continue;
        }
        // A diacritical mark: it goes on the next character, a printable one.
        if (i + 1 == length || text[i + 1] < 0x20 || text[i + 1] >= 0x7F) {
            out.Put(kReplacement);
            continue;
        }
        const std::uint8_t letter = text[++i];
        const std::uint32_t composed = Composed(byte, letter);
        if (composed != 0) {
            out.Put(composed);
            continue;
        }
        out.Put(letter);
        // 0xC0 is no mark at all; 0xC1 to 0xCF have their combining forms.
        const std::uint16_t combining = byte == 0xC0 ? 0 : kCombining[byte - 0xC1];
        if (combining != 0) out.Put(combining);
    }
}

void DecodeIso8859(int part, const std::uint8_t* text, std::size_t length, Utf8Out& out) {
    const std::uint16_t* upper = text::Iso8859UpperHalf(part);
    if (upper == nullptr) {
        out.Put(kReplacement);
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = text[i];
        const std::uint32_t point = byte < 0xA0 ? byte : upper[byte - 0xA0];
        if (!PutControl(point, out)) out.Put(point);
    }
}

void DecodeUcs2(const std::uint8_t* text, std::size_t length, Utf8Out& out) {
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        const std::uint32_t point = (static_cast<std::uint32_t>(text[i]) << 8) | text[i + 1];
        if (PutControl(point, out)) continue;
        out.Put(point >= 0xD800 && point < 0xE000 ? kReplacement : point);  // no lone halves
    }
    if (length % 2 != 0) out.Put(kReplacement);
}

// One UTF-8 sequence at text[i]: its code point and length, or U+FFFD and 1
// for a sequence that is cut short, overlong, a surrogate or past U+10FFFF.
std::uint32_t NextUtf8(const std::uint8_t* text, std::size_t length, std::size_t i,
                       std::size_t& taken) {
    const std::uint8_t lead = text[i];
    taken = 1;
    if (lead < 0x80) return lead;
    const std::size_t count = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (count == 0 || lead > 0xF4 || i + count > length) return kReplacement;
    std::uint32_t point = lead & (0x7F >> count);
    for (std::size_t k = 1; k < count; ++k) {
        if ((text[i + k] & 0xC0) != 0x80) return kReplacement;
        point = (point << 6) | (text[i + k] & 0x3F);
    }
    constexpr std::uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[count] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) {
        return kReplacement;
    }
    taken = count;
    return point;
}

void DecodeUtf8(const std::uint8_t* text, std::size_t length, Utf8Out& out) {
    for (std::size_t i = 0; i < length;) {
        std::size_t taken = 1;
        const std::uint32_t point = NextUtf8(text, length, i, taken);
        i += taken;
        if (!PutControl(point, out)) out.Put(point);
    }
}

// The wide decoder's UTF-8 goes through the UTF-8 reader: it is checked,
// and cut on a character boundary like any other text.
void DecodeWide(int selector, const std::uint8_t* text, std::size_t length,
                const TextOptions& options, Utf8Out& out) {
    std::uint8_t buffer[1024];
    const int written =
        options.wide == nullptr
            ? -1
            : options.wide(selector, text, length, reinterpret_cast<char*>(buffer), sizeof buffer);
    if (written < 0 || static_cast<std::size_t>(written) > sizeof buffer) {
        out.Put(kReplacement);
        return;
    }
    DecodeUtf8(buffer, static_cast<std::size_t>(written), out);
}

void DecodeInTable(int table, const std::uint8_t* text, std::size_t length, Utf8Out& out) {
    if (table == 0) {
        DecodeIso6937(text, length, out);
    } else if (table == TextOptions::kUtf8Table) {
        DecodeUtf8(text, length, out);
    } else {
        DecodeIso8859(table, text, length, out);
    }
}

}  // namespace

std::size_t DecodeText(const std::uint8_t* text, std::size_t length, char* out, std::size_t room,
                       const TextOptions& options) {
    if (out == nullptr || room == 0) return 0;
    Utf8Out utf8(out, room);
    if (text == nullptr || length == 0) return 0;
    const std::uint8_t selector = text[0];
    if (selector >= 0x20) {
        DecodeInTable(options.defaultTable, text, length, utf8);
    } else if (selector >= 0x01 && selector <= 0x0B) {
        DecodeIso8859(selector + 4, text + 1, length - 1, utf8);
    } else if (selector == 0x10) {
        if (length < 3 || text[1] != 0x00) {
            utf8.Put(kReplacement);
        } else {
            DecodeIso8859(text[2], text + 3, length - 3, utf8);
        }
    } else if (selector == 0x11) {
        DecodeUcs2(text + 1, length - 1, utf8);
    } else if (selector >= 0x12 && selector <= 0x14) {
        DecodeWide(selector, text + 1, length - 1, options, utf8);
    } else if (selector == 0x15) {
        DecodeUtf8(text + 1, length - 1, utf8);
    } else {
        utf8.Put(kReplacement);  // reserved, or a compressed encoding not read here
    }
    return utf8.Used();
}

bool ParseTextTable(const char* name, int& table) {
    if (name == nullptr) return false;
    char lower[16] = {};
    std::size_t n = 0;
    for (; name[n] != '\0'; ++n) {
        if (n + 1 >= sizeof lower) return false;
        lower[n] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[n])));
    }
    if (std::strcmp(lower, "iso-6937") == 0) {
        table = 0;
        return true;
    }
    if (std::strcmp(lower, "utf-8") == 0) {
        table = TextOptions::kUtf8Table;
        return true;
    }
    if (std::strncmp(lower, "iso-8859-", 9) != 0) return false;
    const char* digits = lower + 9;
    const std::size_t count = std::strlen(digits);
    if (count == 0 || count > 2 || !std::isdigit(static_cast<unsigned char>(digits[0])) ||
        (count == 2 && !std::isdigit(static_cast<unsigned char>(digits[1])))) {
        return false;
    }
    const int part = count == 1 ? digits[0] - '0' : (digits[0] - '0') * 10 + (digits[1] - '0');
    if (text::Iso8859UpperHalf(part) == nullptr || digits[0] == '0') return false;
    table = part;
    return true;
}

}  // namespace corvanlet::ts
