// The ring against a model queue: a script of pushes (of any length, good or
// bad), pauses that let the writer run, and closes followed by new rings of
// other sizes. Every block the ring accepted must reach the writer once,
// whole and in order; nothing else may.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

#include "capture/block_ring.h"

namespace {

using corvanlet::BlockRing;

class RecordingRing : public BlockRing {
  public:
    RecordingRing() : BlockRing(4096) {}
    ~RecordingRing() override { Close(); }
    std::vector<std::vector<std::uint8_t>> received;  // the writer's until Close returns

  protected:
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override {
        std::vector<std::uint8_t> block(data, data + length);
        block.push_back(tag);
        received.push_back(std::move(block));
    }
};

void CloseAndCompare(RecordingRing& ring, std::deque<std::vector<std::uint8_t>>& model) {
    ring.Close();
    if (ring.received.size() != model.size()) std::abort();
    for (std::size_t i = 0; i < model.size(); ++i) {
        if (ring.received[i] != model[i]) std::abort();
    }
    ring.received.clear();
    model.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RecordingRing ring;
    std::deque<std::vector<std::uint8_t>> model;
    std::uint32_t serial = 0;
    bool open = ring.Init(4096, 1000);
    for (std::size_t at = 0; at + 1 < size; at += 2) {
        const std::uint8_t op = data[at];
        const std::uint8_t arg = data[at + 1];
        if (op < 200) {
            // Lengths 0 to 1020: some too long, some empty; a null block sometimes.
            const std::int32_t length = (op & 1) ? arg * 4 : arg;
            std::vector<std::uint8_t> block(static_cast<std::size_t>(length > 0 ? length : 1));
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = static_cast<std::uint8_t>(serial + i);
            ++serial;
            const void* pointer = op == 199 ? nullptr : block.data();
            const auto tag = static_cast<std::uint8_t>(op);
            const BlockRing::PushResult result = ring.Push(pointer, length, tag);
            const bool good = open && pointer != nullptr && length >= 1 && length <= 1000;
            if (result == BlockRing::PushResult::kQueued) {
                if (!good) std::abort();
                block.resize(static_cast<std::size_t>(length));
                block.push_back(tag);
                model.push_back(std::move(block));
            } else if (good && result != BlockRing::PushResult::kRefused) {
                std::abort();  // an open ring either queues or refuses a good block
            }
        } else if (op < 240) {
            std::this_thread::yield();
        } else {
            CloseAndCompare(ring, model);
            // Rings of 2 KiB to about 64 KiB, some unusable (too small for two blocks).
            const std::int32_t capacity = 1024 + arg * 256;
            open = ring.Init(capacity, 1000);
            if (open != (capacity / 4 * 4 / 2 >= 1008)) std::abort();
        }
    }
    CloseAndCompare(ring, model);
    return 0;
}
