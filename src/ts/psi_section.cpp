#include "ts/psi_section.h"

#include <cstring>

#include "ts/crc32.h"

namespace corvanlet::ts {

namespace {

// The PAT, CAT and PMT are held to 1021 bytes after section_length; any
// other table to 4093.
std::size_t MaxSectionLength(std::uint8_t tableId) {
    return tableId <= 0x02 ? 1021 : 4093;
}

std::size_t SectionLength(const std::uint8_t* section) {
    return static_cast<std::size_t>(((section[1] & 0x0F) << 8) | section[2]);
}

// Whether two packets carry the same payload; the adaptation field is left
// out, since a duplicate may bear another clock reference there.
bool SamePayload(const std::uint8_t* a, const std::uint8_t* b) {
    const int offset = PayloadOffset(a);
    return offset == PayloadOffset(b) &&
           std::memcmp(a + offset, b + offset, static_cast<std::size_t>(kPacketSize - offset)) == 0;
}

}  // namespace

void SectionAssembler::Reset() {
    filled_ = 0;
    needed_ = 0;
    assembling_ = false;
    counterKnown_ = false;
    crcErrors_ = 0;
}

void SectionAssembler::Feed(const std::uint8_t* packet, SectionHandler handler, void* context) {
    if (TransportError(packet)) {
        // The header itself may be wrong, the counter included.
        assembling_ = false;
        counterKnown_ = false;
        return;
    }
    if (!HasPayload(packet) || !Follows(packet)) return;
    const int offset = PayloadOffset(packet);
    if (Scrambling(packet) != 0 || offset >= kPacketSize) {
        // A payload that cannot be read, or an adaptation field that leaves
        // none: the section loses these bytes.
        assembling_ = false;
        return;
    }
    const std::uint8_t* payload = packet + offset;
    int size = kPacketSize - offset;
    if (!PayloadStart(packet)) {
        // Without a start here the bytes belong to a section begun earlier;
        // when none was, its start was missed and they cannot be placed.
        if (assembling_) Take(payload, size, handler, context);
        return;
    }
    const int pointer = payload[0];
    ++payload;
    --size;
    if (pointer >= size) {  // points past the packet: no section starts here after all
        assembling_ = false;
        return;
    }
    if (assembling_) {
        Take(payload, pointer, handler, context);
        assembling_ = false;  // still not whole: the next section cut it short
    }
    ReadSections(payload + pointer, size - pointer, handler, context);
}

bool SectionAssembler::Follows(const std::uint8_t* packet) {
    if (counterKnown_) {
        const int last = Counter(last_);
        const int counter = Counter(packet);
        if (counter == last && SamePayload(packet, last_)) return false;
        if (counter != ((last + 1) & 0x0F)) assembling_ = false;  // packets were lost
    }
    std::memcpy(last_, packet, kPacketSize);
    counterKnown_ = true;
    return true;
}

void SectionAssembler::ReadSections(const std::uint8_t* data, int size, SectionHandler handler,
                                    void* context) {
    while (size > 0 && data[0] != 0xFF) {
        assembling_ = true;
        filled_ = 0;
        needed_ = 0;
        const int taken = Take(data, size, handler, context);
        // Goes on in the next packet, or its length is unknown and so is
        // where the next section would start.
        if (assembling_ || taken < 0) return;
        data += taken;
        size -= taken;
    }
}

int SectionAssembler::Take(const std::uint8_t* data, int size, SectionHandler handler,
                           void* context) {
    int taken = 0;
    if (needed_ == 0) {  // the header may itself be cut across packets
        const int header =
            size < 3 - static_cast<int>(filled_) ? size : 3 - static_cast<int>(filled_);
        std::memcpy(buffer_ + filled_, data, static_cast<std::size_t>(header));
        filled_ += static_cast<std::size_t>(header);
        taken = header;
        if (filled_ < 3) return taken;
        const std::size_t sectionLength = SectionLength(buffer_);
        if (sectionLength > MaxSectionLength(buffer_[0])) {
            assembling_ = false;
            return -1;
        }
        needed_ = 3 + sectionLength;
    }
    const std::size_t left = static_cast<std::size_t>(size - taken);
    const std::size_t piece = left < needed_ - filled_ ? left : needed_ - filled_;
    std::memcpy(buffer_ + filled_, data + taken, piece);
    filled_ += piece;
    taken += static_cast<int>(piece);
    if (filled_ == needed_) {
        assembling_ = false;
        Deliver(handler, context);
    }
    return taken;
}

void SectionAssembler::Deliver(SectionHandler handler, void* context) {
    if ((buffer_[1] & 0x80) == 0) return;  // no CRC_32 to check it by
    // The five bytes after section_length and the CRC_32 must fit, and the
    // CRC_32 run over the whole section gives 0.
    if (needed_ < 3 + 9 || Crc32Mpeg(buffer_, needed_) != 0) {
        ++crcErrors_;
        return;
    }
    if (handler != nullptr) handler(context, buffer_, needed_);
}

}  // namespace corvanlet::ts
