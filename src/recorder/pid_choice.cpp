#include "recorder/pid_choice.h"

#include <cstdio>
#include <cstring>

namespace corvanlet {

namespace {

bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A whole number at `at`, decimal or "0x" hex, no larger than `most`; moves
// `at` past it. False (with `at` unmoved) when there is none or it is larger.
bool ReadNumber(const char*& at, std::uint32_t most, std::uint32_t& value) {
    const char* p = at;
    value = 0;
    const bool hex = p[0] == '0' && Lower(p[1]) == 'x' && HexDigit(p[2]) >= 0;
    const std::uint32_t base = hex ? 16 : 10;
    if (hex) p += 2;
    const char* digits = p;
    for (int d; (d = hex ? HexDigit(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1)) >= 0; ++p) {
        value = value * base + static_cast<std::uint32_t>(d);
        if (value > most) return false;
    }
    if (p == digits) return false;
    at = p;
    return true;
}

void SkipBlanks(const char*& at) {
    while (IsBlank(*at)) ++at;
}

// "sid 28106", "sid=28106", "sid:28106", any case, blanks around.
bool ReadService(const char* at, PidChoice& choice) {
    SkipBlanks(at);
    if (Lower(at[0]) != 's' || Lower(at[1]) != 'i' || Lower(at[2]) != 'd') return false;
    at += 3;
    SkipBlanks(at);
    if (*at == '=' || *at == ':') ++at;
    SkipBlanks(at);
    std::uint32_t id = 0;
    // Program 0 is the network's entry in the PAT, no service.
    if (!ReadNumber(at, 0xFFFF, id) || id == 0) return false;
    SkipBlanks(at);
    if (*at != '\0') return false;
    choice.kind = PidChoice::Kind::kService;
    choice.serviceId = static_cast<std::uint16_t>(id);
    return true;
}

void Refuse(PidChoice& choice, const char* why) {
    choice = PidChoice{};
    choice.kind = PidChoice::Kind::kRefused;
    std::snprintf(choice.why, sizeof choice.why, "%s", why);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A number of a list, unbounded (clamped far past any PID); moves `at`.
bool ReadListNumber(const char*& at, std::uint32_t& value) {
    return ReadNumber(at, 0xFFFFFFFFu, value);
}

// How a text read as a list came out.
// kBigFirst: a first number no PID of a list has, whole: a list only if
// more follow (alone it may be 8192, or the old reading's).
enum class ListRead { kNotAList, kList, kRefused, kBigFirst };

// One PID of a list, at `at`: added once. kRefused (with why) for a value
// no PID has or a token that is none; kNotAList where the text is the old
// reading's ("42abc").
ListRead ReadListPid(const char*& at, std::uint32_t tokens, PidChoice& choice, char* why,
                     std::size_t size) {
    const char* start = at;
    std::uint32_t pid = 0;
    if (!ReadListNumber(at, pid)) at = start + 1;  // too long for 32 bits
    const char next = *at;
    const bool ends = next == '\0' || IsBlank(next) || next == ',';
    if (!ends) {
        const bool separator = next != '-' && next != '+' && next > ' ' && next < 0x7F &&
                               !IsDigit(next) && HexDigit(next) < 0 && Lower(next) != 'x' &&
                               IsDigit(at[1]);
        if (separator) {
            std::snprintf(why, size, "'%c' is not a separator: use spaces or commas", next);
            return ListRead::kRefused;
        }
        if (tokens == 0) return ListRead::kNotAList;
        const char* end = at;
        while (*end != '\0' && !IsBlank(*end) && *end != ',') ++end;
        std::snprintf(why, size, "'%.*s' is not a PID", static_cast<int>(end - start), start);
        return ListRead::kRefused;
    }
    if (pid > static_cast<std::uint32_t>(PidChoice::kHighestPid)) {
        std::snprintf(why, size, "%.*s is not a PID (0 to 8191 in a list)",
                      static_cast<int>(at - start), start);
        return tokens == 0 ? ListRead::kBigFirst : ListRead::kRefused;
    }
    for (std::uint32_t i = 0; i < choice.count; ++i) {
        if (choice.pids[i] == pid) return ListRead::kList;
    }
    if (choice.count == PidChoice::kMaxPids) {
        std::snprintf(why, size, "at most 16 PIDs");
        return ListRead::kRefused;
    }
    choice.pids[choice.count++] = static_cast<std::uint16_t>(pid);
    return ListRead::kList;
}

// PIDs separated by blanks or commas and nothing else. A single number is
// no list (kNotAList: the single readings take it), unless it is typed
// more than once.
ListRead ReadPids(const char* at, PidChoice& choice, char* why, std::size_t size) {
    choice.count = 0;
    std::uint32_t tokens = 0;
    for (;;) {
        while (IsBlank(*at) || *at == ',') ++at;
        if (*at == '\0') break;
        if (!IsDigit(*at)) {
            if (tokens == 0) return ListRead::kNotAList;
            std::snprintf(why, size, "'%c' is not a separator: use spaces or commas", *at);
            return ListRead::kRefused;
        }
        const ListRead read = ReadListPid(at, tokens, choice, why, size);
        if (read == ListRead::kBigFirst) {
            while (IsBlank(*at) || *at == ',') ++at;
            return *at == '\0' ? ListRead::kNotAList : ListRead::kRefused;
        }
        if (read != ListRead::kList) return read;
        ++tokens;
    }
    if (tokens < 2 && tokens == choice.count) return ListRead::kNotAList;
    return choice.count == 0 ? ListRead::kNotAList : ListRead::kList;
}

// A single "0x..." and nothing else: hex, wrapping as the old reading does.
bool ReadSingleHex(const char* at, std::int32_t& pid) {
    SkipBlanks(at);
    if (at[0] != '0' || Lower(at[1]) != 'x' || HexDigit(at[2]) < 0) return false;
    std::uint32_t value = 0;
    for (at += 2; HexDigit(*at) >= 0; ++at)
        value = value * 16u + static_cast<std::uint32_t>(HexDigit(*at));
    SkipBlanks(at);
    if (*at != '\0') return false;
    pid = static_cast<std::int32_t>(value);
    return true;
}

}  // namespace

bool PidChoice::operator==(const PidChoice& other) const {
    return kind == other.kind && pid == other.pid && count == other.count &&
           serviceId == other.serviceId &&
           std::memcmp(pids, other.pids, count * sizeof pids[0]) == 0 &&
           std::strcmp(why, other.why) == 0;
}

std::int32_t ParsePid(const char* text) {
    while (IsBlank(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');  // wraps modulo 2^32
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

namespace {

bool StartsWithSid(const char* at) {
    SkipBlanks(at);
    return Lower(at[0]) == 's' && Lower(at[1]) == 'i' && Lower(at[2]) == 'd';
}

bool StartsWithHex(const char* at) {
    SkipBlanks(at);
    return at[0] == '0' && Lower(at[1]) == 'x';
}

bool HasDigit(const char* at) {
    for (; *at != '\0'; ++at) {
        if (IsDigit(*at)) return true;
    }
    return false;
}

// The old reading of one PID, refused outside 0 to 8192.
PidChoice OldReading(const char* text) {
    PidChoice choice;
    char single[PidChoice::kSingleChars + 1] = {};
    std::snprintf(single, sizeof single, "%s", text);
    choice.pid = ParsePid(single);
    if (choice.pid < 0 || choice.pid > PidChoice::kHighestPid + 1) {
        char why[96];
        std::snprintf(why, sizeof why, "%d is not a PID (0 to 8191, or 8192 for the whole stream)",
                      static_cast<int>(choice.pid));
        Refuse(choice, why);
    }
    return choice;
}

}  // namespace

PidChoice ParsePidChoice(const char* text) {
    PidChoice choice;
    if (text != nullptr && StartsWithSid(text)) {
        if (!ReadService(text, choice)) Refuse(choice, "sid must be 1 to 65535");
        return choice;
    }
    if (text == nullptr || !HasDigit(text)) {
        Refuse(choice, "Type a PID (0 to 8191), PIDs with spaces, or sid and a number");
        return choice;
    }
    char why[96] = {};
    const ListRead list = ReadPids(text, choice, why, sizeof why);
    if (list == ListRead::kRefused) {
        Refuse(choice, why);
        return choice;
    }
    if (list == ListRead::kList) {
        choice.pid = choice.pids[0];
        // One PID, however often typed, is that PID.
        choice.kind = choice.count >= 2 ? PidChoice::Kind::kList : PidChoice::Kind::kSingle;
        if (choice.count < 2) choice.count = 0;
        return choice;
    }
    choice = PidChoice{};
    if (ReadSingleHex(text, choice.pid)) {
        if (choice.pid < 0 || choice.pid > PidChoice::kHighestPid + 1) {
            std::snprintf(why, sizeof why,
                          "%s is not a PID (0 to 8191, or 8192 for the whole stream)", text);
            Refuse(choice, why);
        }
        return choice;
    }
    if (StartsWithHex(text)) {
        Refuse(choice, "not a hex PID: 0x and hex digits, 0x0 to 0x1FFF");
        return choice;
    }
    return OldReading(text);
}

void FormatPidChoice(const PidChoice& choice, char* out, std::size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (choice.kind == PidChoice::Kind::kService) {
        std::snprintf(out, size, "sid %u", static_cast<unsigned>(choice.serviceId));
    } else if (choice.kind == PidChoice::Kind::kSingle) {
        std::snprintf(out, size, "%d", static_cast<int>(choice.pid));
    } else {
        std::size_t used = 0;
        for (std::uint32_t i = 0; i < choice.count && used < size; ++i) {
            const int n = std::snprintf(out + used, size - used, i == 0 ? "%u" : " %u",
                                        static_cast<unsigned>(choice.pids[i]));
            if (n < 0) break;
            used += static_cast<std::size_t>(n);
        }
    }
}

void PidChoiceFileTail(const PidChoice& choice, char* out, std::size_t size) {
    if (choice.kind != PidChoice::Kind::kList) {
        if (choice.kind == PidChoice::Kind::kService) {
            std::snprintf(out, size, "sid%u.ts", static_cast<unsigned>(choice.serviceId));
        } else {
            std::snprintf(out, size, "pid%d.dat", static_cast<int>(choice.pid));
        }
        return;
    }
    char list[160];
    FormatPidChoice(choice, list, sizeof list);
    for (char* at = list; *at != '\0'; ++at) {
        if (*at == ' ') *at = '+';
    }
    std::snprintf(out, size, "pid%s.dat", list);
}

}  // namespace corvanlet
