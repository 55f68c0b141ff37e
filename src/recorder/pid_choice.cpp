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

// Valid PIDs separated by blanks or commas and nothing else; false when the
// text holds anything else, or more than kMaxPids different PIDs.
bool ReadPids(const char* at, PidChoice& choice, std::uint32_t& typed) {
    typed = 0;
    choice.count = 0;
    for (;;) {
        while (IsBlank(*at) || *at == ',') ++at;
        if (*at == '\0') return true;
        std::uint32_t pid = 0;
        if (!ReadNumber(at, PidChoice::kHighestPid, pid)) return false;
        if (*at != '\0' && !IsBlank(*at) && *at != ',') return false;  // "12abc"
        ++typed;
        bool seen = false;
        for (std::uint32_t i = 0; i < choice.count; ++i) seen = seen || choice.pids[i] == pid;
        if (seen) continue;
        if (choice.count == PidChoice::kMaxPids) return false;
        choice.pids[choice.count++] = static_cast<std::uint16_t>(pid);
    }
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
           std::memcmp(pids, other.pids, count * sizeof pids[0]) == 0;
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

PidChoice ParsePidChoice(const char* text) {
    PidChoice choice;
    if (text == nullptr) return choice;
    if (ReadService(text, choice)) return choice;
    std::uint32_t typed = 0;
    // "63,63" is one PID, read the old way (which gives the same).
    if (ReadPids(text, choice, typed) && choice.count >= 2) {
        choice.kind = PidChoice::Kind::kList;
        choice.pid = choice.pids[0];
        return choice;
    }
    choice = PidChoice{};
    if (ReadSingleHex(text, choice.pid)) return choice;
    char single[PidChoice::kSingleChars + 1] = {};
    std::snprintf(single, sizeof single, "%s", text);
    choice.pid = ParsePid(single);
    return choice;
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
