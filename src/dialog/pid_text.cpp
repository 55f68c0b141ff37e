#include "dialog/pid_text.h"

#include <cstdio>

namespace corvanlet {

void FormatElapsed(std::uint32_t elapsedMs, char (&out)[16]) {
    const std::uint32_t s = elapsedMs / 1000;
    std::snprintf(out, sizeof out, "%.2u:%.2u:%.2u", s / 3600, (s % 3600) / 60, s % 60);
}

}  // namespace corvanlet
