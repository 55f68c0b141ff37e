// ServiceBrowser: the ring a browse of the transponder's services delivers
// into (the PAT and the SDT, while the options dialog is open and nothing
// records). Its writer thread reads them into a ts::ServiceList; the
// dialog's thread copies what the list says. The host's thread does what it
// does for any recording: it pushes the blocks into the ring.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/block_ring.h"
#include "ts/service_list.h"

namespace corvanlet {

class ServiceBrowser : public BlockRing {
  public:
    // A small ring: the tables come at a few kilobytes a second.
    static constexpr std::int32_t kCapacity = 64 * 1024;
    static constexpr std::int32_t kMaxBlock = 1000;

    ServiceBrowser() = default;
    ~ServiceBrowser() override { Close(); }

    // Control thread: forgets the list and opens the ring; false when the
    // ring cannot be had.
    [[nodiscard]] bool Open(const ts::TextOptions& text);
    // Any thread: what the list says now; false while it is what `out`
    // already holds (the same changes count).
    bool Read(ts::ServiceListView& out) const;
    // Any thread: the name the SDT gives service `id` (UTF-8) into `out`;
    // false, with `out` empty, when the list has no name for it.
    bool NameOf(std::uint16_t id, char* out, std::size_t size) const;

  protected:
    void ProcessBlock(const std::uint8_t* data, std::int32_t length, std::uint8_t tag) override;
    void AfterGap() override { list_.NoteGap(); }
    void EndBatch() override;

  private:
    ts::ServiceList list_;  // writer thread
    // Guards shown_. Acquire pairs with the release of the previous holder.
    mutable std::atomic<bool> lock_{false};
    ts::ServiceListView shown_;
};

}  // namespace corvanlet
