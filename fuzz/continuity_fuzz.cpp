// The continuity check on whatever a host might deliver. The input's first
// four bytes seed the cuts; the rest is the stream. Checked as it is, in
// blocks of any size (nothing may crash or read out of bounds); then, made
// into packets (a sync byte every 188 bytes), once in whole packets and once
// cut anywhere: joined across the cuts, the counts must be the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ts/continuity_check.h"

namespace {

using corvanlet::ContinuityCheck;

// Block sizes from 1 to 1000, as a host may cut, from a small generator.
class Cuts {
  public:
    explicit Cuts(std::uint32_t seed) : state_(seed | 1) {}
    std::size_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return 1 + state_ % 1000;
    }

  private:
    std::uint32_t state_;
};

template <typename NextSize>
void CheckInBlocks(ContinuityCheck& check, const std::vector<std::uint8_t>& stream, NextSize next) {
    check.Reset();
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t length = std::min(next(), stream.size() - at);
        // Each block in a buffer of its own size, so a read past it is caught.
        std::vector<std::uint8_t> block(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                        stream.begin() + static_cast<std::ptrdiff_t>(at + length));
        check.Check(block.data(), static_cast<std::int32_t>(length));
        at += length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto whole = std::make_unique<ContinuityCheck>();
    static auto cut = std::make_unique<ContinuityCheck>();
    if (size < 4) return 0;
    std::uint32_t seed;
    std::memcpy(&seed, data, 4);
    std::vector<std::uint8_t> stream(data + 4, data + size);

    Cuts raw(seed);
    CheckInBlocks(*cut, stream, [&] { return raw.Next(); });

    stream.resize(stream.size() / 188 * 188);
    for (std::size_t at = 0; at < stream.size(); at += 188) stream[at] = 0x47;
    CheckInBlocks(*whole, stream, [] { return std::size_t{188}; });
    Cuts anywhere(seed);
    CheckInBlocks(*cut, stream, [&] { return anywhere.Next(); });
    if (cut->ContinuityErrors() != whole->ContinuityErrors() ||
        cut->TransportErrors() != whole->TransportErrors() ||
        cut->SawPackets() != whole->SawPackets()) {
        std::abort();
    }
    return 0;
}
