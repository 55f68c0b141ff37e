// ProgrammeEnd: when a service recording's programme is over, from what its
// EIT present/following says, looked at about once a second.
//
//   - The programme is the first present event after Start.
//   - It has ended when another event is present, or when its running
//     status says not running (1) or off air (5). The recording stops the
//     padding later. Pausing (3) is no end, and the programme that comes
//     back as present within the padding (after a news flash, say) goes on.
//   - What the guide says in the first 5 s after the programme became
//     known is not believed: running states flap while a guide settles.
//   - A programme still present past its announced end goes on, up to 4
//     hours past it.
//   - A guide that falls silent for 60 s leaves the announced end (and the
//     padding) to decide; with no guide at all since Start nothing ends.
//
// Plain logic on what it is told, with the clocks passed in.
#pragma once

#include <cstdint>

namespace corvanlet::ts {

class ProgrammeEnd {
  public:
    static constexpr std::uint64_t kSettleMs = 5000;
    static constexpr std::uint64_t kSilentGuideMs = 60000;
    static constexpr std::int64_t kLongestOverrunS = 4 * 3600;

    // What the guide says at one look.
    struct Look {
        std::uint64_t nowMs = 0;   // a monotonic clock
        std::int64_t nowUtc = 0;   // the wall clock, seconds since 1970 UTC
        bool sectionCame = false;  // a present/following section came since the last look
        bool presentKnown = false;
        std::uint16_t presentId = 0;
        std::uint8_t running = 0;  // the present event's running_status
        std::int64_t start = -1;   // its announced start, seconds since 1970 UTC
        std::uint32_t duration = 0;
    };
    enum class Why { kNone, kEnded, kOverrun, kSilentGuide };

    void Start(std::uint32_t paddingMs);
    // After a cut (a next part begun where this ended): the next programme
    // is followed, never the one that just ended, however long it stays
    // present; what was seen of the guide stays.
    void FollowNext();
    // True once the recording should stop; it stays so.
    bool Next(const Look& look);

    bool Known() const { return known_; }
    std::uint16_t EventId() const { return id_; }
    bool GuideSeen() const { return guideSeen_; }
    // The programme's announced end, seconds since 1970 UTC; -1 when the
    // guide gave no time.
    std::int64_t AnnouncedEnd() const { return start_ < 0 ? -1 : start_ + duration_; }
    // When the end was seen (wall clock), -1 while it was not.
    std::int64_t SeenEnd() const { return endSeenAtMs_ == 0 ? -1 : endSeenUtc_; }
    // When the recording stops (wall clock), -1 while no end is in sight.
    std::int64_t StopsAt() const;
    Why Stopped() const { return why_; }

  private:
    bool Stop(Why why);

    std::uint32_t paddingMs_ = 0;
    bool known_ = false;
    std::uint16_t id_ = 0;
    std::int64_t start_ = -1;
    std::uint32_t duration_ = 0;
    std::uint64_t knownAtMs_ = 0;
    bool guideSeen_ = false;
    std::uint64_t lastSectionMs_ = 0;
    std::uint64_t endSeenAtMs_ = 0;  // 0: no end seen (or it came back)
    std::int64_t endSeenUtc_ = -1;
    Why why_ = Why::kNone;
    bool skipKnown_ = false;  // FollowNext: the programme that ended, not to follow again
    std::uint16_t skipId_ = 0;
};

}  // namespace corvanlet::ts
