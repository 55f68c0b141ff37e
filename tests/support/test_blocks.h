// Blocks that carry their own sequence number, so a consumer can check order,
// completeness and integrity of everything it received.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace corvanlet::testing {

// Fills `out` with `length` bytes derived from `seq`: the first four bytes
// (as far as they fit) hold the sequence number, the rest a pattern of it.
inline void MakeBlock(std::uint32_t seq, std::int32_t length, std::uint8_t* out) {
    for (std::int32_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>((seq * 131u + static_cast<std::uint32_t>(i) * 7u) ^
                                           (seq >> 8));
    }
    std::memcpy(out, &seq, static_cast<std::size_t>(length < 4 ? length : 4));
}

inline bool BlockMatches(std::uint32_t seq, const std::uint8_t* data, std::int32_t length) {
    std::vector<std::uint8_t> expected(static_cast<std::size_t>(length));
    MakeBlock(seq, length, expected.data());
    return std::memcmp(expected.data(), data, static_cast<std::size_t>(length)) == 0;
}

// Reads the sequence number from a block of at least 4 bytes.
inline std::uint32_t SequenceOf(const std::uint8_t* data) {
    std::uint32_t seq = 0;
    std::memcpy(&seq, data, 4);
    return seq;
}

// A small deterministic generator (xorshift), identical on every platform.
class Random {
  public:
    explicit Random(std::uint32_t seed) : state_(seed ? seed : 1u) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    // Uniform in [low, high].
    std::int32_t Between(std::int32_t low, std::int32_t high) {
        return low + static_cast<std::int32_t>(Next() % static_cast<std::uint32_t>(high - low + 1));
    }

  private:
    std::uint32_t state_;
};

}  // namespace corvanlet::testing
