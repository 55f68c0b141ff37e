// The continuity check: the counter rules one by one, and the counts on real
// broadcast captures against a count written here independently.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/continuity_check.h"

namespace corvanlet {
namespace {

struct Packet {
    std::uint16_t pid = 0x100;
    std::uint8_t counter = 0;
    bool payload = true;
    bool adaptation = false;
    bool discontinuity = false;
    bool transportError = false;
    std::uint8_t fill = 0;
};

std::vector<std::uint8_t> Make(const Packet& p) {
    std::vector<std::uint8_t> packet(188, p.fill);
    packet[0] = 0x47;
    packet[1] = static_cast<std::uint8_t>((p.transportError ? 0x80 : 0) | ((p.pid >> 8) & 0x1F));
    packet[2] = static_cast<std::uint8_t>(p.pid & 0xFF);
    const int control = (p.adaptation ? 2 : 0) | (p.payload ? 1 : 0);
    packet[3] = static_cast<std::uint8_t>((control << 4) | (p.counter & 0x0F));
    if (p.adaptation) {
        packet[4] = p.payload ? 7 : 183;
        packet[5] = p.discontinuity ? 0x80 : 0x00;
    }
    return packet;
}

// The continuity errors counted in a run of packets, checked one block each.
std::uint64_t ErrorsIn(const std::vector<Packet>& packets) {
    auto check = std::make_unique<ContinuityCheck>();
    check->Reset();
    for (const Packet& p : packets) {
        const auto packet = Make(p);
        check->Check(packet.data(), 188);
    }
    return check->ContinuityErrors();
}

TEST(ContinuityCheck, CounterRules) {
    // In order, wrapping from 15 to 0: no error.
    std::vector<Packet> run;
    for (int i = 0; i < 40; ++i) run.push_back({0x100, static_cast<std::uint8_t>(i & 15)});
    EXPECT_EQ(ErrorsIn(run), 0u);
    // A gap (5 after 3): one error; counting goes on from the new value.
    EXPECT_EQ(ErrorsIn({{0x100, 3}, {0x100, 5}, {0x100, 6}}), 1u);
    // One duplicate with the same payload is allowed; a second is an error.
    EXPECT_EQ(ErrorsIn({{0x100, 3}, {0x100, 3}, {0x100, 4}}), 0u);
    EXPECT_EQ(ErrorsIn({{0x100, 3}, {0x100, 3}, {0x100, 3}, {0x100, 4}}), 1u);
    // The same counter with another payload is no duplicate.
    Packet other{0x100, 3};
    other.fill = 0x55;
    EXPECT_EQ(ErrorsIn({{0x100, 3}, other, {0x100, 4}}), 1u);
    // A packet without payload repeats the counter; advancing is an error.
    Packet noPayload{0x100, 3, false, true};
    EXPECT_EQ(ErrorsIn({{0x100, 3}, noPayload, {0x100, 4}}), 0u);
    noPayload.counter = 4;  // an error; counting goes on from 4
    EXPECT_EQ(ErrorsIn({{0x100, 3}, noPayload, {0x100, 5}}), 1u);
    // The discontinuity indicator starts afresh.
    Packet fresh{0x100, 9, true, true, true};
    EXPECT_EQ(ErrorsIn({{0x100, 3}, fresh, {0x100, 10}}), 0u);
    // PIDs are counted apart; the null PID is not checked.
    EXPECT_EQ(ErrorsIn({{0x100, 3}, {0x200, 7}, {0x100, 4}, {0x200, 8}, {0x1FFF, 0}, {0x1FFF, 9}}),
              0u);
}

TEST(ContinuityCheck, TransportErrorsAndBlocksThatAreNotPackets) {
    auto check = std::make_unique<ContinuityCheck>();
    check->Reset();
    Packet broken{0x100, 12};
    broken.transportError = true;
    std::vector<std::uint8_t> block;
    for (const Packet& p : {Packet{0x100, 3}, broken, Packet{0x100, 4}}) {
        const auto packet = Make(p);
        block.insert(block.end(), packet.begin(), packet.end());
    }
    std::vector<std::uint8_t> junk(200, 0x47);  // not whole packets
    check->Check(junk.data(), 200);
    EXPECT_FALSE(check->SawPackets());
    check->Check(block.data(), static_cast<std::int32_t>(block.size()));
    EXPECT_TRUE(check->SawPackets());
    EXPECT_EQ(check->TransportErrors(), 1u);
    EXPECT_EQ(check->ContinuityErrors(), 0u);  // the broken header is not trusted
    block[188] = 0x00;                         // a block whose second packet has no sync byte
    check->Check(block.data(), static_cast<std::int32_t>(block.size()));
    EXPECT_EQ(check->TransportErrors(), 1u);  // not checked at all
}

// Written apart from ContinuityCheck: keeps each PID's last packet whole and
// compares bytes, the slow, plain way.
struct PlainCount {
    std::uint64_t continuity = 0;
    std::uint64_t transport = 0;
};

PlainCount CountPlainly(const std::vector<std::uint8_t>& stream) {
    PlainCount count;
    struct Last {
        int counter = -1;
        int duplicates = 0;
        std::vector<std::uint8_t> packet;
    };
    std::map<int, Last> last;
    for (std::size_t at = 0; at + 188 <= stream.size(); at += 188) {
        const std::uint8_t* p = stream.data() + at;
        if (p[1] & 0x80) {
            ++count.transport;
            continue;
        }
        const int pid = ((p[1] & 0x1F) << 8) | p[2];
        if (pid == 0x1FFF) continue;
        const int control = (p[3] >> 4) & 3;
        const int counter = p[3] & 15;
        const bool payload = control & 1;
        const bool adaptation = control & 2;
        Last& l = last[pid];
        const bool restart = adaptation && p[4] > 0 && (p[5] & 0x80);
        const std::size_t start = adaptation ? 5 + p[4] : 4;
        const bool samePayload =
            !l.packet.empty() &&
            (start >= 188 || std::memcmp(l.packet.data() + start, p + start, 188 - start) == 0) &&
            (l.packet[3] & 0x20) == (p[3] & 0x20) && (!adaptation || l.packet[4] == p[4]);
        if (l.counter >= 0 && !restart) {
            if (!payload) {
                if (counter != l.counter) ++count.continuity;
                l.duplicates = 0;
            } else if (counter == l.counter) {
                if (l.duplicates > 0 || !samePayload) ++count.continuity;
                ++l.duplicates;
            } else {
                if (counter != (l.counter + 1) % 16) ++count.continuity;
                l.duplicates = 0;
            }
        } else {
            l.duplicates = 0;
        }
        l.counter = counter;
        if (payload) l.packet.assign(p, p + 188);
    }
    return count;
}

TEST(ContinuityCheck, RealCapturesCountAsAPlainCountDoes) {
    const char* files[] = {"rai-dvbt-mux_tsduck-test-108.ts", "br-dvbt2-hevc_petrj-626MHz.ts",
                           "france2-spts_tsduck-test-026.ts"};
    int found = 0;
    for (const char* name : files) {
        std::string path = std::string(CORVANLET_SAMPLES_DIR) + "/" + name;
#ifdef _WIN32
        if (path[0] == '/') path = "Z:" + path;  // wine shows the Linux root as Z:
#endif
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        ++found;
        SCOPED_TRACE(name);
        std::vector<std::uint8_t> whole{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
        // As received, and with every 97th packet lost and every 1009th sent twice.
        std::vector<std::uint8_t> damaged;
        for (std::size_t at = 0, n = 0; at + 188 <= whole.size(); at += 188, ++n) {
            if (n % 97 == 5) continue;
            damaged.insert(damaged.end(), whole.begin() + at, whole.begin() + at + 188);
            if (n % 1009 == 7)
                damaged.insert(damaged.end(), whole.begin() + at, whole.begin() + at + 188);
        }
        for (const std::vector<std::uint8_t>* stream : {&whole, &damaged}) {
            auto check = std::make_unique<ContinuityCheck>();
            check->Reset();
            // In blocks of five packets, as a host delivers them.
            for (std::size_t at = 0; at + 188 <= stream->size(); at += 940) {
                const std::size_t length =
                    std::min<std::size_t>(940, (stream->size() - at) / 188 * 188);
                check->Check(stream->data() + at, static_cast<std::int32_t>(length));
            }
            const PlainCount plain = CountPlainly(*stream);
            EXPECT_EQ(check->ContinuityErrors(), plain.continuity);
            EXPECT_EQ(check->TransportErrors(), plain.transport);
            std::printf("  %s%s: %llu continuity errors, %llu transport errors\n", name,
                        stream == &whole ? "" : " (damaged)",
                        static_cast<unsigned long long>(plain.continuity),
                        static_cast<unsigned long long>(plain.transport));
        }
    }
    if (found == 0)
        GTEST_SKIP() << "the broadcast captures are not here: " << CORVANLET_SAMPLES_DIR;
}

}  // namespace
}  // namespace corvanlet
