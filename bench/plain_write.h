// The limit a recording is measured against: blocks written with one write
// call each, from one thread, straight into a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace corvanlet::bench {

// Writes `block(n)` (a pointer and a length) for n = 0, 1, ... while
// `more(n, seconds)` says so, `seconds` being the time since the first write
// (read every 64 blocks: the clock costs more than nothing under wine).
// Returns the rate in MB/s, the file's closing included; -1 when the file
// cannot be created.
template <typename Block, typename More>
double PlainWriteMBps(const std::string& path, Block&& block, More&& more) {
    using Clock = std::chrono::steady_clock;
    platform::File file;
    if (!file.Create(path.c_str())) return -1;
    const auto start = Clock::now();
    auto since = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    double seconds = 0;
    std::uint64_t bytes = 0;
    for (std::uint64_t n = 0; more(n, seconds); ++n) {
        const auto [data, length] = block(n);
        std::uint32_t written = 0;
        if (!file.Write(data, length, &written)) break;
        bytes += written;
        if (n % 64 == 63) seconds = since();
    }
    file.Close();
    return static_cast<double>(bytes) / since() / 1e6;
}

}  // namespace corvanlet::bench
