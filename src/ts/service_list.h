// ServiceList: the services of a transponder by name, from its PAT (which
// services there are) and its SDT actual (what they are called, what kind
// they are, whether they are scrambled), for a user to pick one by name.
// Fed whatever the host delivers for PID 0 and PID 0x11, cut anywhere; the
// bytes are untrusted. A service in the PAT without an SDT entry is listed
// by its number alone; one in the SDT but not in the PAT is not listed (it
// cannot be recorded here).
//
// Threads: one feeds it (Reset first); Read copies what it says.
#pragma once

#include <cstdint>

#include "ts/dvb_text.h"
#include "ts/psi_section.h"
#include "ts/psi_tables.h"

namespace corvanlet::ts {

struct ServiceEntry {
    std::uint16_t id = 0;     // program_number
    bool named = false;       // an SDT entry came
    std::uint8_t type = 0;    // service_type
    bool freeCa = false;      // marked scrambled
    char name[256 * 3] = {};  // UTF-8
};

// Named services sorted by name (as a user reads them: case does not
// matter), then those the SDT does not name, by number.
struct ServiceListView {
    static constexpr std::uint32_t kMaxServices = 256;
    std::uint32_t count = 0;
    ServiceEntry services[kMaxServices];
    bool havePat = false;       // a PAT came: the list is the transponder's
    bool haveSdt = false;       // an SDT actual came
    std::uint32_t changes = 0;  // grows with each change of the list
};

class ServiceList {
  public:
    void Reset(const TextOptions& text = {});
    void Feed(const std::uint8_t* data, std::int32_t length);
    // Bytes were lost before the next Feed: a packet or section begun is dropped.
    void NoteGap();
    const ServiceListView& View() const { return view_; }

  private:
    static void OnPatSection(void* self, const std::uint8_t* section, std::size_t length);
    static void OnSdtSection(void* self, const std::uint8_t* section, std::size_t length);
    void OnPacket(const std::uint8_t* packet);
    void OnPat(const Pat& pat);
    void OnSdt(const std::uint8_t* section, std::size_t length);
    ServiceEntry* Find(std::uint16_t id);
    void Sort();

    TextOptions text_;
    SectionAssembler pat_;
    SectionAssembler sdt_;
    Pat patScratch_;
    std::uint8_t partial_[188] = {};
    std::int32_t partialBytes_ = 0;
    std::uint16_t transportStreamId_ = 0;
    std::uint8_t patVersion_ = 0xFF;
    ServiceListView view_;
};

}  // namespace corvanlet::ts
