#include "recorder/setting_text.h"

namespace corvanlet {

std::int32_t ParseSettingNumber(const char* text, std::int32_t fallback, std::int32_t least,
                                std::int32_t most) {
    if (text == nullptr) return fallback;
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (isBlank(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    if (*text < '0' || *text > '9') return fallback;  // no number at all
    // Past both bounds the value stops growing: it only takes the nearer one.
    const std::int64_t largest =
        std::int64_t{most} > -std::int64_t{least} ? most : -std::int64_t{least};
    const std::int64_t cap = (largest > 0 ? largest : -largest) + 1;
    std::int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > cap) value = cap;
    }
    while (isBlank(*text)) ++text;
    if (*text != '\0') return fallback;  // junk after the number
    if (negative) value = -value;
    if (value < least) return least;
    if (value > most) return most;
    return static_cast<std::int32_t>(value);
}

}  // namespace corvanlet
