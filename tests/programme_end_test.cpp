// When a recording's programme is over: the guide's changes played at given
// times, a look each second, as the recorder looks.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "ts/programme_end.h"

namespace corvanlet::ts {
namespace {

constexpr std::int64_t kEight = 1796846400;  // 2026-12-09 20:00 UTC
constexpr std::uint16_t kFilm = 101, kNews = 900, kNext = 102;

// From second `at` on, the guide says `id` is present with `running`;
// id 0: the guide is silent from then on.
struct Change {
    int at;
    std::uint16_t id;
    std::uint8_t running;
};

// The second the recording stops at (-1: not within `seconds`), with the
// film announced from 20:00 for 30 minutes and the recording begun at 20:00.
int StopSecond(const std::vector<Change>& changes, int paddingS, int seconds,
               ProgrammeEnd* out = nullptr) {
    ProgrammeEnd end;
    end.Start(static_cast<std::uint32_t>(paddingS) * 1000);
    std::size_t next = 0;
    Change now{0, 0, 0};
    bool spoke = false;  // the guide said something once
    for (int s = 0; s < seconds; ++s) {
        while (next < changes.size() && changes[next].at <= s) {
            now = changes[next++];
            spoke = spoke || now.id != 0;
        }
        const bool silent = spoke && now.id == 0;
        ProgrammeEnd::Look look;
        look.nowMs = 1000000 + static_cast<std::uint64_t>(s) * 1000;
        look.nowUtc = kEight + s;
        look.sectionCame = !silent && now.id != 0;
        look.presentKnown = now.id != 0 || silent;
        look.presentId = silent ? kFilm : now.id;  // a silent guide keeps what it said last
        look.running = silent ? 4 : now.running;
        look.start = look.presentId == kFilm ? kEight : kEight + 1800;
        look.duration = 1800;
        if (end.Next(look)) {
            if (out != nullptr) *out = end;
            return s;
        }
    }
    if (out != nullptr) *out = end;
    return -1;
}

// The seconds a recording split at programmes cuts at, within `seconds`:
// each end begins a next part, and the programme on then is followed.
std::vector<int> CutSeconds(const std::vector<Change>& changes, int paddingS, int seconds) {
    ProgrammeEnd end;
    end.Start(static_cast<std::uint32_t>(paddingS) * 1000);
    std::vector<int> cuts;
    std::size_t next = 0;
    Change now{0, 0, 0};
    for (int s = 0; s < seconds; ++s) {
        while (next < changes.size() && changes[next].at <= s) now = changes[next++];
        const bool silent = now.id == 0;  // the guide keeps what it said last
        ProgrammeEnd::Look look;
        look.nowMs = 1000000 + static_cast<std::uint64_t>(s) * 1000;
        look.nowUtc = kEight + s;
        look.sectionCame = !silent;
        look.presentKnown = true;
        look.presentId = silent ? kFilm : now.id;
        look.running = silent ? 4 : now.running;
        look.start = kEight + (look.presentId == kFilm ? 0 : look.presentId == kNext ? 1800 : 3600);
        look.duration = 1800;
        if (end.Next(look)) {
            cuts.push_back(s);
            end.FollowNext();
        }
    }
    return cuts;
}

TEST(ProgrammeEnd, AChangeOfProgrammeStopsThePaddingLater) {
    ProgrammeEnd end;
    EXPECT_EQ(StopSecond({{0, kFilm, 4}, {1800, kNext, 4}}, 120, 4000, &end), 1800 + 120);
    EXPECT_EQ(end.Stopped(), ProgrammeEnd::Why::kEnded);
    EXPECT_EQ(end.EventId(), kFilm);
    EXPECT_EQ(end.AnnouncedEnd(), kEight + 1800);
    EXPECT_EQ(end.SeenEnd(), kEight + 1800);
    // Not running, or off air, ends it too; no padding stops at once.
    EXPECT_EQ(StopSecond({{0, kFilm, 4}, {600, kFilm, 1}}, 0, 4000), 600);
    EXPECT_EQ(StopSecond({{0, kFilm, 4}, {600, kFilm, 5}}, 60, 4000), 660);
}

TEST(ProgrammeEnd, WhatDoesNotEndIt) {
    // A flap in the first seconds after the programme became known.
    EXPECT_EQ(StopSecond({{0, kFilm, 4}, {2, kFilm, 1}, {3, kFilm, 4}}, 0, 1000), -1);
    // A pause, however long.
    EXPECT_EQ(StopSecond({{0, kFilm, 4}, {600, kFilm, 3}, {1500, kFilm, 4}}, 0, 1700), -1);
    // A news flash that gives the programme back within the padding.
    EXPECT_EQ(StopSecond({{0, kFilm, 4}, {600, kNews, 4}, {700, kFilm, 4}}, 120, 1700), -1);
    // The same flash, back only after the padding: the programme had ended.
    EXPECT_EQ(StopSecond({{0, kFilm, 4}, {600, kNews, 4}, {800, kFilm, 4}}, 120, 1700), 720);
    // Overrun: still present past its end goes on, for 4 hours past it.
    EXPECT_EQ(StopSecond({{0, kFilm, 4}}, 120, 1800 + 3600), -1);
    ProgrammeEnd end;
    EXPECT_EQ(StopSecond({{0, kFilm, 4}}, 120, 1800 + 4 * 3600 + 10, &end), 1800 + 4 * 3600);
    EXPECT_EQ(end.Stopped(), ProgrammeEnd::Why::kOverrun);
}

TEST(ProgrammeEnd, WithoutAGuideTheAnnouncedEndOrNothingDecides) {
    // The guide falls silent: the announced end and the padding decide.
    ProgrammeEnd end;
    EXPECT_EQ(StopSecond({{0, kFilm, 4}, {100, 0, 0}}, 120, 4000, &end), 1800 + 120);
    EXPECT_EQ(end.Stopped(), ProgrammeEnd::Why::kSilentGuide);
    // No guide at all since Start: nothing stops.
    EXPECT_EQ(StopSecond({}, 120, 4000, &end), -1);
    EXPECT_FALSE(end.GuideSeen());
    EXPECT_FALSE(end.Known());
}

// Split at programmes: each programme's end cuts once, the padding later;
// one that ended is never followed again, so an overrun, a guide that
// falls silent or a programme gone off air but still listed cut once, not
// again and again, and the next programme is followed when it comes.
TEST(ProgrammeEnd, SplitAtProgrammesCutsOncePerProgramme) {
    constexpr std::uint16_t kLate = 103;  // from 21:00
    EXPECT_EQ(CutSeconds({{0, kFilm, 4}, {1800, kNext, 4}, {3600, kLate, 4}}, 60, 4000),
              (std::vector<int>{1860, 3660}));
    // The film overruns for ever: cut 4 hours past its end, then no more.
    EXPECT_EQ(CutSeconds({{0, kFilm, 4}}, 0, 1800 + 4 * 3600 + 3600),
              (std::vector<int>{1800 + 4 * 3600}));
    // The guide falls silent at 20:10: cut at the film's end and no more
    // while it stays silent; the next programme's end once the guide is back.
    EXPECT_EQ(CutSeconds({{0, kFilm, 4}, {600, 0, 0}, {5000, kNext, 4}, {5400, kLate, 4}}, 0, 6000),
              (std::vector<int>{1800, 5400}));
    // Off air but still listed: one cut, not one every few seconds.
    EXPECT_EQ(CutSeconds({{0, kFilm, 4}, {900, kFilm, 5}}, 0, 3000), (std::vector<int>{900}));
}

}  // namespace
}  // namespace corvanlet::ts
