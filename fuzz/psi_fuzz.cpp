// The PSI library on whatever packets a host might deliver. The input is cut
// into 188-byte packets, each given its sync byte. Packets of PID 0 go to one
// assembler; those of the PMT PID to another: the PID the last PAT named, or
// before any PAT, the first other PID of the input. Every section that comes
// out must be whole and check. It is read as a PAT and as a PMT; what reads
// is written again (a PAT of one program; the PMT a recording keeps, which
// must read again, keep the kept streams in order and carry no
// CA_descriptor); and every section, cut into packets again, must assemble
// to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ts/crc32.h"
#include "ts/packet.h"
#include "ts/psi_section.h"
#include "ts/psi_tables.h"

namespace {

using namespace corvanlet::ts;

struct State {
    SectionAssembler pat;
    SectionAssembler pmt;
    SectionAssembler again;  // assembles the packets Packetise cuts
    int pmtPid = -1;
    std::uint8_t counter = 0;
    std::vector<std::vector<std::uint8_t>> reassembled;
    Pat patTable;
    Pmt pmtTable;
    Pmt builtTable;
};

void Check(bool condition) {
    if (!condition) std::abort();
}

// Whether a descriptor loop is whole descriptors without a CA_descriptor.
bool CleanLoop(const std::uint8_t* loop, std::size_t length) {
    std::size_t at = 0;
    while (at + 2 <= length) {
        if (loop[at] == 0x09) return false;
        at += 2u + loop[at + 1];
    }
    return at == length;
}

void CheckPat(State& state, const std::uint8_t* section, std::size_t length) {
    Pat& pat = state.patTable;
    if (!ParsePat(section, length, pat)) return;
    Check(pat.count <= 253 && pat.count * 4u + 12 == length);
    int pmtPid = -1;  // the first program's
    for (std::size_t i = 0; i < pat.count; ++i) {
        const PatProgram program = pat.programs[i];
        std::uint8_t built[16];
        Check(BuildPat(pat.transportStreamId, pat.version, program.programNumber, program.pid,
                       built) == 16);
        Pat back;
        Check(ParsePat(built, 16, back) && back.count == 1 && back.current &&
              back.transportStreamId == pat.transportStreamId && back.version == pat.version &&
              back.programs[0].programNumber == program.programNumber &&
              back.programs[0].pid == program.pid);
        if (program.programNumber != 0 && pmtPid < 0) pmtPid = program.pid;
    }
    if (pmtPid >= 0 && pmtPid != state.pmtPid) {
        state.pmtPid = pmtPid;
        state.pmt.Reset();
    }
}

void CheckPmt(State& state, const std::uint8_t* section, std::size_t length) {
    Pmt& source = state.pmtTable;
    if (!ParsePmt(section, length, source)) return;
    std::uint8_t out[1024];
    const std::size_t built = BuildPmt(source, 5, out);
    Check(built >= 16 && built <= length);
    Pmt& back = state.builtTable;
    Check(ParsePmt(out, built, back));
    Check(back.programNumber == source.programNumber && back.pcrPid == source.pcrPid &&
          back.version == 5 && back.current);
    Check(CleanLoop(back.programInfo, back.programInfoLength));
    std::size_t next = 0;
    for (std::size_t i = 0; i < source.count; ++i) {
        const PmtStream& stream = source.streams[i];
        if (!Kept(stream)) continue;
        Check(next < back.count);
        const PmtStream& kept = back.streams[next++];
        Check(kept.streamType == stream.streamType && kept.pid == stream.pid &&
              KindOf(kept) == KindOf(stream) &&
              CleanLoop(kept.descriptors, kept.descriptorsLength));
    }
    Check(next == back.count);
    // Written from what it wrote, it writes the same bytes.
    std::uint8_t again[1024];
    Check(BuildPmt(back, 5, again) == built && std::memcmp(again, out, built) == 0);
}

void Collect(void* context, const std::uint8_t* section, std::size_t length) {
    static_cast<State*>(context)->reassembled.emplace_back(section, section + length);
}

void CheckPacketise(State& state, const std::uint8_t* section, std::size_t length) {
    static std::uint8_t packets[23 * kPacketSize];  // a 4096-byte section needs 23
    const bool discontinuity = (section[length - 1] & 1) != 0;
    const std::size_t count = length <= (discontinuity ? 181u : 183u)
                                  ? 1
                                  : 1 + (length - (discontinuity ? 181 : 183) + 183) / 184;
    std::uint8_t counter = state.counter;
    Check(Packetise(section, length, 0x0100, counter, discontinuity, packets,
                    count * kPacketSize - 1) == 0 &&
          counter == state.counter);
    Check(Packetise(section, length, 0x0100, counter, discontinuity, packets, sizeof packets) ==
          count * kPacketSize);
    Check(counter == ((state.counter + count) & 0x0F));
    state.again.Reset();
    state.reassembled.clear();
    for (std::size_t i = 0; i < count; ++i)
        state.again.Feed(packets + i * kPacketSize, &Collect, &state);
    Check(state.reassembled.size() == 1 && state.reassembled[0].size() == length &&
          std::memcmp(state.reassembled[0].data(), section, length) == 0);
    state.counter = counter;
}

void OnSection(void* context, const std::uint8_t* data, std::size_t length) {
    State& state = *static_cast<State*>(context);
    Check(length >= 12 && length <= 4096 && (data[1] & 0x80) != 0 &&
          length == 3u + (((data[1] & 0x0F) << 8) | data[2]) && Crc32Mpeg(data, length) == 0);
    // A copy of its own size, so a read past the section is caught.
    const std::vector<std::uint8_t> section(data, data + length);
    CheckPat(state, section.data(), length);
    CheckPmt(state, section.data(), length);
    CheckPacketise(state, section.data(), length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto state = std::make_unique<State>();
    state->pat.Reset();
    state->pmt.Reset();
    state->pmtPid = -1;
    state->counter = 0;
    for (std::size_t at = 0; at + kPacketSize <= size; at += kPacketSize) {
        std::vector<std::uint8_t> packet(data + at, data + at + kPacketSize);
        packet[0] = kSync;
        const std::uint16_t pid = Pid(packet.data());
        if (pid == kPatPid) {
            state->pat.Feed(packet.data(), &OnSection, state.get());
            continue;
        }
        if (state->pmtPid < 0) state->pmtPid = pid;
        if (pid == state->pmtPid) state->pmt.Feed(packet.data(), &OnSection, state.get());
    }
    return 0;
}
