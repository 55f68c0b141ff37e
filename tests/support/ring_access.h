// Test-only views of the capture core's private state.
#pragma once

#include <cstdint>

#include "capture/block_ring.h"

namespace corvanlet {

struct BlockRingTestAccess {
    // Producer-side position; read it only from the producer's thread.
    static std::uint32_t WritePos(const BlockRing& ring) { return ring.writePos; }
    static std::uint32_t LastStart(const BlockRing& ring) { return ring.lastStart_; }
};

}  // namespace corvanlet
