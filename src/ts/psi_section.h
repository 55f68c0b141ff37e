// SectionAssembler: the PSI sections of one PID, put together from its
// transport packets as ISO/IEC 13818-1, 2.4.4 lays them out. The caller picks
// the packets of the PID and feeds them in stream order; the assembler calls
// back with each section that arrived whole and checks.
//
//   - A packet with payload_unit_start_indicator opens its payload with a
//     pointer_field. The bytes before the place it points to end the section
//     begun in earlier packets; from there on, sections follow one another
//     until the packet ends or a table_id 0xFF says the rest is stuffing.
//   - A section may span any number of packets. One that is cut short (the
//     next section starts before it is whole) is dropped.
//   - Packets must come with each counter one more than the last (mod 16).
//     After a gap the section being assembled is dropped: bytes are missing
//     from it. The exact duplicate of the last packet is passed over.
//   - A packet with the transport_error_indicator set drops the section being
//     assembled, and its counter is not believed. A scrambled payload cannot
//     be read and drops it too. Packets without payload say nothing.
//   - A section is delivered only with section_syntax_indicator 1 and a
//     CRC_32 that checks. Those with a CRC that fails (or no room for one)
//     are counted; those without the syntax indicator carry no CRC to trust
//     and are dropped uncounted. A section_length above what its table may
//     have (1021 for table_ids 0x00 to 0x02, 4093 for the others) drops it
//     before it is read.
//
// The bytes are untrusted: nothing is read or written outside the packet and
// the fixed buffer, and nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ts/packet.h"

namespace corvanlet::ts {

class SectionAssembler {
  public:
    // Gets a whole section, CRC_32 included (3 + section_length bytes). The
    // bytes are the assembler's: valid until the call returns.
    using SectionHandler = void (*)(void* context, const std::uint8_t* section, std::size_t length);

    // Forgets the section being assembled, the last counter and the count.
    void Reset();
    // One 188-byte packet of this PID (its first byte is the sync byte).
    // Calls handler, if any, for each section it completes.
    void Feed(const std::uint8_t* packet, SectionHandler handler, void* context);

    // Sections whose CRC_32 failed since the last Reset.
    std::uint64_t CrcErrors() const { return crcErrors_; }

  private:
    // Largest section: 3 header bytes and a section_length of at most 4093,
    // with room to spare.
    static constexpr std::size_t kBufferSize = 4096 + 3;

    // Checks the packet's counter against the last; false for a duplicate,
    // which is not read again.
    bool Follows(const std::uint8_t* packet);
    // Reads the sections that start at data, up to stuffing or the end.
    void ReadSections(const std::uint8_t* data, int size, SectionHandler handler, void* context);
    // Copies into the section being assembled what it still needs. Returns
    // the bytes taken, or -1 when its header shows a length it may not have.
    int Take(const std::uint8_t* data, int size, SectionHandler handler, void* context);
    void Deliver(SectionHandler handler, void* context);

    std::uint8_t buffer_[kBufferSize];
    std::uint8_t last_[kPacketSize];  // the last packet read, to know its duplicate
    std::size_t filled_ = 0;
    std::size_t needed_ = 0;  // the whole section's length once its header is in; 0 before
    bool assembling_ = false;
    bool counterKnown_ = false;  // last_ holds a packet whose counter can be believed
    std::uint64_t crcErrors_ = 0;
};

}  // namespace corvanlet::ts
