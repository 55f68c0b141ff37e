// The text rules for what a user types or a settings file holds: the numbers
// of the settings file and the PID field. The number rule is checked against
// the C library's reading of the same text.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dialog/pid_text.h"
#include "recorder/setting_text.h"

namespace {

constexpr std::int32_t kFallback = 16384;
constexpr std::int32_t kLeast = 100;
constexpr std::int32_t kMost = 262144;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// What the rule must give: digits with a sign and blanks around them are a
// number (clamped), everything else the fallback.
std::int32_t Expected(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) ++at;
    std::size_t digits = at;
    if (digits < text.size() && (text[digits] == '+' || text[digits] == '-')) ++digits;
    if (digits >= text.size() || text[digits] < '0' || text[digits] > '9') return kFallback;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str() + at, &end, 10);
    const bool overflow = errno == ERANGE;
    for (const char* rest = end; *rest != '\0'; ++rest) {
        if (!IsBlank(*rest)) return kFallback;
    }
    if (overflow) return value < 0 ? kLeast : kMost;
    if (value < kLeast) return kLeast;
    if (value > kMost) return kMost;
    return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    if (corvanlet::ParseSettingNumber(text.c_str(), kFallback, kLeast, kMost) != Expected(text)) {
        std::abort();
    }
    // The PID field holds at most 19 characters.
    const std::string field = text.substr(0, 19);
    (void)corvanlet::ParsePid(field.c_str());
    // A list or a service reads back as itself from the text it is shown as.
    const corvanlet::PidChoice choice = corvanlet::ParsePidChoice(text.c_str());
    using Kind = corvanlet::PidChoice::Kind;
    if (choice.kind == Kind::kRefused) {
        // A refusal always says why, in a terminated text, and asks for nothing.
        const std::size_t why = strnlen(choice.why, sizeof choice.why);
        if (why == 0 || why == sizeof choice.why || choice.count != 0) std::abort();
    } else if (choice.kind == Kind::kSingle) {
        // One PID, or 8192 for the whole stream: anything else is refused.
        if (choice.pid < 0 || choice.pid > corvanlet::PidChoice::kHighestPid + 1) std::abort();
    } else {
        char shown[160];
        corvanlet::FormatPidChoice(choice, shown, sizeof shown);
        if (!(corvanlet::ParsePidChoice(shown) == choice)) std::abort();
        for (std::uint32_t i = 0; i < choice.count; ++i) {
            if (choice.pids[i] > corvanlet::PidChoice::kHighestPid) std::abort();
        }
    }
    if (size >= 4) {
        std::uint32_t ms;
        std::memcpy(&ms, data, 4);
        char elapsed[16];
        corvanlet::FormatElapsed(ms, elapsed);
        const std::size_t length = std::strlen(elapsed);
        if (length < 8 || elapsed[length - 3] != ':' || elapsed[length - 6] != ':') std::abort();
    }
    return 0;
}
