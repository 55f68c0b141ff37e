#include "dialog/pid_text.h"

#include <cstdio>

namespace corvanlet {

std::int32_t ParsePid(const char* text) {
    auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (isSpace(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');  // wraps modulo 2^32
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

void FormatElapsed(std::uint32_t elapsedMs, char (&out)[16]) {
    const std::uint32_t s = elapsedMs / 1000;
    std::snprintf(out, sizeof out, "%.2u:%.2u:%.2u", s / 3600, (s % 3600) / 60, s % 60);
}

}  // namespace corvanlet
