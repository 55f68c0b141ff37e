#include "recorder/guide_name.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "recorder/name_rule.h"

namespace corvanlet {

namespace {

// A name being built, in a fixed buffer: no allocation on the module's
// paths. Text that does not fit marks it as too long.
struct NameText {
    static constexpr std::size_t kRoom = 1024;
    char text[kRoom] = {};
    std::size_t length = 0;
    bool tooLong = false;

    void Append(std::string_view more) {
        if (length + more.size() >= kRoom) {
            tooLong = true;
            return;
        }
        std::memcpy(text + length, more.data(), more.size());
        length += more.size();
        text[length] = '\0';
    }
    void Erase(std::size_t at, std::size_t count) {
        std::memmove(text + at, text + at + count, length - at - count + 1);
        length -= count;
    }
    std::string_view View() const { return {text, length}; }
};

// The first `characters` characters of UTF-8 `text`, never half of one.
std::string_view FirstCharacters(std::string_view text, std::size_t characters) {
    std::size_t at = 0;
    for (std::size_t count = 0; at < text.size() && count < characters; ++count) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    }
    return text.substr(0, at);
}

void AppendField(std::string_view name, const GuideNameFields& fields, NameText& out) {
    char text[32] = {};
    if (name == "service") {
        out.Append(fields.service);
    } else if (name == "title") {
        out.Append(FirstCharacters(fields.title, kGuideTitleCharacters));
    } else if (name == "sid") {
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(fields.serviceId));
    } else if (name == "date") {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", fields.year, fields.month, fields.day);
    } else if (name == "time") {
        std::snprintf(text, sizeof text, "%02d.%02d", fields.hour, fields.minute);
    } else if (name == "frequency") {
        std::snprintf(text, sizeof text, "%d", static_cast<int>(fields.frequency));
    } else if (name == "polarisation") {
        text[0] = fields.polarisation;
    } else if (name == "symbolrate") {
        std::snprintf(text, sizeof text, "%d", static_cast<int>(fields.symbolRate));
    } else {
        out.Append("%");  // not a placeholder: kept as typed
        out.Append(name);
        out.Append("%");
    }
    out.Append(text);
}

void Expand(std::string_view form, const GuideNameFields& fields, NameText& out) {
    for (;;) {
        const std::size_t open = form.find('%');
        const std::size_t close = open == form.npos ? form.npos : form.find('%', open + 1);
        if (close == form.npos) break;
        out.Append(form.substr(0, open));
        AppendField(form.substr(open + 1, close - open - 1), fields, out);
        form.remove_prefix(close + 1);
    }
    out.Append(form);
}

// Characters Windows refuses in a name, and controls (C0, DEL, and C1 as
// UTF-8 encodes them), become _.
void ReplaceForbidden(NameText& name) {
    for (std::size_t i = 0; i < name.length; ++i) {
        const auto c = static_cast<unsigned char>(name.text[i]);
        if (c < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c) != nullptr) name.text[i] = '_';
        const auto next = i + 1 < name.length ? static_cast<unsigned char>(name.text[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            name.text[i] = '_';
            name.Erase(i + 1, 1);
        }
    }
}

bool EndsWith(const NameText& name, std::size_t end, std::string_view tail) {
    return end >= tail.size() && name.View().substr(end - tail.size(), tail.size()) == tail;
}

// A field that was empty leaves " -  - ", a leading "- " or a trailing
// " - ": one separator stays where there were two, none at either end of
// the stem. Dots and spaces at the end of the stem and of the name go too.
// A hyphen that belongs to a title ("-273") stays.
void TidySeparators(NameText& name) {
    while (name.length != 0 &&
           (name.text[name.length - 1] == ' ' || name.text[name.length - 1] == '.')) {
        name.Erase(name.length - 1, 1);
    }
    for (std::size_t at; (at = name.View().find(" -  - ")) != std::string_view::npos;) {
        name.Erase(at, 3);
    }
    while (name.View().substr(0, 2) == "- " || name.View().substr(0, 1) == " ") {
        name.Erase(0, name.text[0] == ' ' ? 1 : 2);
    }
    const std::size_t dot = name.View().rfind('.');
    std::size_t stem = dot != std::string_view::npos && name.length - dot <= 5 ? dot : name.length;
    for (bool trimmed = true; trimmed && stem != 0;) {
        const std::size_t cut = EndsWith(name, stem, " -")                                 ? 2
                                : name.text[stem - 1] == ' ' || name.text[stem - 1] == '.' ? 1
                                                                                           : 0;
        trimmed = cut != 0;
        stem -= cut;
        name.Erase(stem, cut);
    }
}

// UTF-16 units of UTF-8 `text`: Windows allows 255 in one name.
std::size_t Utf16Units(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

}  // namespace

bool GuideName(const char* form, const GuideNameFields& fields, char* out, std::size_t size) {
    if (size != 0) out[0] = '\0';
    if (fields.service[0] == '\0' && fields.title[0] == '\0') return false;
    NameText name;
    Expand(form, fields, name);
    ReplaceForbidden(name);
    TidySeparators(name);
    // An empty stem ("%title%.ts" with no title) is no name.
    if (name.tooLong || name.length == 0 || name.View().rfind('.') == 0) return false;
    if (FileNameProblem(name.text) != nullptr) {
        // A device's name (the only problem left): a _ after its stem.
        NameText device;
        const std::size_t stem = name.View().find('.');
        device.Append(name.View().substr(0, stem));
        device.Append("_");
        if (stem != std::string_view::npos) device.Append(name.View().substr(stem));
        name = device;
    }
    // Room for " (9)" where the name is taken.
    if (name.tooLong || FileNameProblem(name.text) != nullptr || name.length + 1 > size ||
        Utf16Units(name.View()) + 4 > kMostNameUnits) {
        return false;
    }
    std::memcpy(out, name.text, name.length + 1);
    return true;
}

}  // namespace corvanlet
