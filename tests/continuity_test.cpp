// The continuity check: crafted streams against counts worked out by hand
// (each with its reason), streams cut into blocks anywhere, and real captures.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ts/continuity_check.h"
#include "support/temp_dir.h"

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

TEST(ContinuityCheck, DamagedAndReservedPacketsCountOnce) {
    Packet broken{0x100, 4};
    broken.transportError = true;
    // 3, a damaged 4, 5: one transport error; the damaged header is not
    // trusted, so 5 starts its PID afresh instead of counting a gap.
    auto check = std::make_unique<ContinuityCheck>();
    check->Reset();
    for (const Packet& p : {Packet{0x100, 3}, broken, Packet{0x100, 5}}) {
        const auto packet = Make(p);
        check->Check(packet.data(), 188);
    }
    EXPECT_EQ(check->TransportErrors(), 1u);
    EXPECT_EQ(check->ContinuityErrors(), 0u);

    // adaptation_field_control 00 is reserved: discarded, and the state stays.
    Packet reserved{0x100, 9, false, false};
    EXPECT_EQ(ErrorsIn({{0x100, 3}, reserved, {0x100, 4}}), 0u);   // 4 follows 3
    EXPECT_EQ(ErrorsIn({{0x100, 3}, reserved, {0x100, 10}}), 1u);  // 10 does not follow 3
}

TEST(ContinuityCheck, ADuplicateMustBeTheVeryNextPacket) {
    Packet adaptationOnly{0x100, 3, false, true};
    // 3, adaptation-only 3, 3 again with the same payload: the second 3 with
    // payload is not next to the first, so it is no duplicate: one error.
    EXPECT_EQ(ErrorsIn({{0x100, 3}, adaptationOnly, {0x100, 3}}), 1u);
    // A packet of another PID between the two does not matter: no error.
    EXPECT_EQ(ErrorsIn({{0x100, 3}, {0x200, 0}, {0x100, 3}, {0x100, 4}}), 0u);
}

TEST(ContinuityCheck, AnEmptyAdaptationFieldHasNoDiscontinuityFlag) {
    // Adaptation field of length 0, the payload's first byte 0x80: the byte
    // is payload, not a flag, so 7 after 3 is a gap: one error.
    const std::vector<std::uint8_t> first = Make({0x100, 3});
    std::vector<std::uint8_t> second = Make({0x100, 7, true, true});
    second[4] = 0;
    second[5] = 0x80;
    auto check = std::make_unique<ContinuityCheck>();
    check->Reset();
    check->Check(first.data(), 188);
    check->Check(second.data(), 188);
    EXPECT_EQ(check->ContinuityErrors(), 1u);
}

// A duplicate is told by its payload alone, which starts after the
// adaptation field: a repeated packet may carry a new clock reference there.
TEST(ContinuityCheck, ADuplicateIsJudgedByThePayloadAfterTheAdaptationField) {
    auto withField = [](std::uint8_t clockByte, std::uint8_t payloadByte) {
        std::vector<std::uint8_t> packet = Make({0x100, 3, true, true});
        packet[5] = 0x10;  // PCR flag, no discontinuity
        packet[6] = clockByte;
        packet[12] = payloadByte;  // the payload begins after 1 + 7 bytes
        return packet;
    };
    auto errors = [](const std::vector<std::vector<std::uint8_t>>& packets) {
        auto check = std::make_unique<ContinuityCheck>();
        check->Reset();
        for (const auto& packet : packets) check->Check(packet.data(), 188);
        return check->ContinuityErrors();
    };
    // Another clock reference, the same payload: a duplicate, no error.
    EXPECT_EQ(errors({withField(1, 0x33), withField(2, 0x33)}), 0u);
    // The same adaptation field, another payload: the counter repeats, one error.
    EXPECT_EQ(errors({withField(1, 0x33), withField(1, 0x34)}), 1u);
    // The field's first flag byte is read as flags: a discontinuity there
    // starts the PID afresh, whatever the counter.
    std::vector<std::uint8_t> fresh = Make({0x100, 12, true, true, true});
    EXPECT_EQ(errors({withField(1, 0x33), fresh}), 0u);
}

// `packets` packets over three PIDs, counters in order, each payload its own.
std::vector<std::uint8_t> CleanStream(int packets) {
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < packets; ++i) {
        Packet p{static_cast<std::uint16_t>(0x100 + i % 3),
                 static_cast<std::uint8_t>((i / 3) & 15)};
        p.fill = static_cast<std::uint8_t>(i);
        const auto packet = Make(p);
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    return stream;
}

// Checks `stream` in blocks of the sizes `cut` gives, one after another.
template <typename Cut>
std::unique_ptr<ContinuityCheck> CheckInBlocks(const std::vector<std::uint8_t>& stream, Cut cut) {
    auto check = std::make_unique<ContinuityCheck>();
    check->Reset();
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t length = std::min<std::size_t>(cut(), stream.size() - at);
        check->Check(stream.data() + at, static_cast<std::int32_t>(length));
        at += length;
    }
    return check;
}

TEST(ContinuityCheck, PacketsCutAcrossBlocksAreJoined) {
    const auto stream = CleanStream(600);
    // 188, 100, 276, 188, ... as a host may cut them: a clean stream counts 0.
    const std::size_t pattern[] = {188, 100, 276, 188};
    std::size_t n = 0;
    auto check = CheckInBlocks(stream, [&] { return pattern[n++ % 4]; });
    EXPECT_TRUE(check->SawPackets());
    EXPECT_EQ(check->ContinuityErrors(), 0u);
    for (std::size_t size = 1; size <= 1000; ++size) {
        check = CheckInBlocks(stream, [&] { return size; });
        ASSERT_EQ(check->ContinuityErrors(), 0u) << "blocks of " << size;
    }
    // The packets are really checked across the cuts: without packet 90
    // (PID 0x100, counter 14) there is one gap, however the stream is cut.
    auto damaged = stream;
    damaged.erase(damaged.begin() + 90 * 188, damaged.begin() + 91 * 188);
    EXPECT_EQ(CheckInBlocks(damaged, [] { return 100; })->ContinuityErrors(), 1u);
    EXPECT_EQ(CheckInBlocks(damaged, [] { return 940; })->ContinuityErrors(), 1u);
}

TEST(ContinuityCheck, BytesThatAreNotPacketsAreNotChecked) {
    auto check = std::make_unique<ContinuityCheck>();
    check->Reset();
    const std::vector<std::uint8_t> junk(1000, 0x00);
    check->Check(junk.data(), 1000);
    EXPECT_FALSE(check->SawPackets());
    // Packets after junk start afresh: 9 after the 3 before the junk is no error.
    const auto before = Make({0x100, 3});
    const auto after = Make({0x100, 9});
    check->Check(before.data(), 188);
    check->Check(junk.data(), 500);
    check->Check(after.data(), 188);
    EXPECT_TRUE(check->SawPackets());
    EXPECT_EQ(check->ContinuityErrors(), 0u);
    // A packet cut short by a block that starts afresh: the half is dropped
    // and the new block is checked from its start (10 follows 9).
    const auto next = Make({0x100, 10});
    check->Check(before.data(), 100);
    check->Check(next.data(), 188);
    EXPECT_EQ(check->ContinuityErrors(), 0u);
    // A sync byte missing inside a block: the block is not checked.
    std::vector<std::uint8_t> block = Make({0x100, 2});
    const auto second = Make({0x100, 3});
    block.insert(block.end(), second.begin(), second.end());
    block[188] = 0x00;
    check->Check(block.data(), 376);
    EXPECT_EQ(check->ContinuityErrors(), 0u);
    EXPECT_EQ(check->TransportErrors(), 0u);
}

// Real captures: cut into blocks of any size they count as in whole packets,
// and one lost packet adds exactly one error.
TEST(ContinuityCheck, RealCapturesCountTheSameHoweverTheyAreCut) {
    const char* files[] = {"rai-dvbt-mux_tsduck-test-108.ts", "br-dvbt2-hevc_petrj-626MHz.ts",
                           "france2-spts_tsduck-test-026.ts"};
    int found = 0;
    for (const char* name : files) {
        const std::string path =
            testing::WindowsPath(std::string(CORVANLET_SAMPLES_DIR) + "/" + name);
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        ++found;
        SCOPED_TRACE(name);
        std::vector<std::uint8_t> whole{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
        whole.resize(whole.size() / 188 * 188);
        const auto inPackets = CheckInBlocks(whole, [] { return 940; });
        std::uint32_t seed = 12345;
        const auto anyCut = CheckInBlocks(whole, [&] {
            seed = seed * 1103515245u + 12345u;
            return std::size_t{1} + (seed >> 8) % 1000;
        });
        EXPECT_EQ(anyCut->ContinuityErrors(), inPackets->ContinuityErrors());
        EXPECT_EQ(anyCut->TransportErrors(), inPackets->TransportErrors());

        // A packet with payload, no adaptation field and an intact header, of
        // a PID whose next packet carries payload too: losing it is one gap.
        const std::size_t packets = whole.size() / 188;
        auto header = [&](std::size_t n) { return whole.data() + n * 188; };
        auto pidOf = [&](std::size_t n) { return ((header(n)[1] & 0x1F) << 8) | header(n)[2]; };
        auto plain = [&](std::size_t n) {
            return (header(n)[3] & 0x30) == 0x10 && !(header(n)[1] & 0x80) && pidOf(n) != 0x1FFF;
        };
        std::size_t lost = packets / 2;
        std::size_t following = 0;
        for (; lost + 1 < packets; ++lost) {
            if (!plain(lost)) continue;
            following = lost + 1;
            while (following < packets && pidOf(following) != pidOf(lost)) ++following;
            if (following < packets && plain(following)) break;
        }
        ASSERT_LT(following, packets);
        auto damaged = whole;
        damaged.erase(damaged.begin() + static_cast<std::ptrdiff_t>(lost * 188),
                      damaged.begin() + static_cast<std::ptrdiff_t>(lost * 188 + 188));
        EXPECT_EQ(CheckInBlocks(damaged, [] { return 940; })->ContinuityErrors(),
                  inPackets->ContinuityErrors() + 1);
        std::printf("  %s: %llu continuity errors, %llu transport errors\n", name,
                    static_cast<unsigned long long>(inPackets->ContinuityErrors()),
                    static_cast<unsigned long long>(inPackets->TransportErrors()));
    }
    if (found == 0)
        GTEST_SKIP() << "the broadcast captures are not here: " << CORVANLET_SAMPLES_DIR;
}

}  // namespace
}  // namespace corvanlet
