// What the user asked to record, read from the PID field or from the
// settings file: one PID (the field's old reading), a list of PIDs into one
// file, or a whole service by its program number. Portable: no system
// calls, so it can be checked on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvanlet {

struct PidChoice {
    static constexpr std::uint32_t kMaxPids = 16;
    static constexpr std::int32_t kHighestPid = 8191;
    // The field's old reading looks at this many characters only.
    static constexpr std::size_t kSingleChars = 19;

    // kRefused: text that cannot mean a PID; `why` says so, for the user.
    enum class Kind : std::uint8_t { kSingle, kList, kService, kRefused };

    Kind kind = Kind::kSingle;
    // kSingle: the PID as typed (any 32-bit value, as the old field took it);
    // kList: the first PID; kService: 0, the PAT's PID, registered first.
    std::int32_t pid = 0;
    std::uint16_t pids[kMaxPids] = {};  // kList: each PID once, in the order typed
    std::uint32_t count = 0;
    std::uint16_t serviceId = 0;  // kService: the program_number
    char why[96] = {};            // kRefused: "9000 is not a PID (0 to 8191, ...)"

    static PidChoice Single(std::int32_t pid) {
        PidChoice choice;
        choice.pid = pid;
        return choice;
    }
    bool operator==(const PidChoice& other) const;
};

// The PID field's old reading: leading white space, an optional sign, then
// digits up to the first other character; no digits gives 0; values beyond
// 32 bits wrap modulo 2^32.
std::int32_t ParsePid(const char* text);

// Reads the whole text of the field:
//   - "sid 28106" (also "sid=28106", "sid:28106", any case; the number in
//     decimal or 0x hex, 1 to 65535): a service;
//   - two or more different PIDs from 0 to 8191, decimal or 0x hex,
//     separated by spaces or commas, and nothing else: a list (at most
//     kMaxPids different PIDs; a PID typed twice is recorded once, and one
//     PID however often typed is that PID);
//   - a single "0x200": that PID in hex;
//   - anything else: the old reading of the first kSingleChars characters
//     (leading blanks, a sign, decimal digits up to the first other
//     character; wraps modulo 2^32), so "  42abc" is 42.
// Refused (kRefused, with why): text with no digit; text that begins like
// a service ("sid"), a hex PID ("0x") or a list (two numbers with a
// separator) but is none; a PID from the old reading below 0 or above 8192
// (8192: the whole stream).
PidChoice ParsePidChoice(const char* text);

// The choice as the field and the settings file show it: "42", "256 257",
// "sid 28106". Always terminated; `size` of 160 holds any choice.
void FormatPidChoice(const PidChoice& choice, char* out, std::size_t size);

// The part of a built file name after " - ": "pid42.dat", "pid256+257.dat",
// "sid28106.ts".
void PidChoiceFileTail(const PidChoice& choice, char* out, std::size_t size);

}  // namespace corvanlet
