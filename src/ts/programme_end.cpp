#include "ts/programme_end.h"

namespace corvanlet::ts {

void ProgrammeEnd::Start(std::uint32_t paddingMs) {
    *this = ProgrammeEnd{};
    paddingMs_ = paddingMs;
}

void ProgrammeEnd::FollowNext() {
    const bool hadOne = known_;
    const std::uint16_t ended = id_;
    const bool guideSeen = guideSeen_;
    const std::uint64_t lastSectionMs = lastSectionMs_;
    Start(paddingMs_);
    guideSeen_ = guideSeen;
    lastSectionMs_ = lastSectionMs;
    skipKnown_ = hadOne;
    skipId_ = ended;
}

bool ProgrammeEnd::Stop(Why why) {
    why_ = why;
    return true;
}

bool ProgrammeEnd::Next(const Look& look) {
    if (why_ != Why::kNone) return true;
    if (look.sectionCame) {
        guideSeen_ = true;
        lastSectionMs_ = look.nowMs;
    }
    const bool ours = known_ && look.presentKnown && look.presentId == id_;
    const bool ended = skipKnown_ && look.presentId == skipId_;  // the one cut off already
    if (!known_ && look.presentKnown && !ended) {
        known_ = true;
        id_ = look.presentId;
        knownAtMs_ = look.nowMs;
        guideSeen_ = true;  // a present event is known: a section came
        if (lastSectionMs_ == 0) lastSectionMs_ = look.nowMs;
    }
    if (!known_) return false;
    if (look.presentKnown && look.presentId == id_) {  // its times as the guide has them now
        start_ = look.start;
        duration_ = look.duration;
    }
    const std::int64_t end = AnnouncedEnd();
    const std::int64_t padding = paddingMs_ / 1000;
    if (look.nowMs - lastSectionMs_ >= kSilentGuideMs) {
        return end >= 0 && look.nowUtc >= end + padding ? Stop(Why::kSilentGuide) : false;
    }
    if (look.nowMs - knownAtMs_ < kSettleMs) return false;
    const bool over = !ours || look.running == 1 || look.running == 5;
    if (!over) {
        endSeenAtMs_ = 0;  // still on, or back after an interruption
        return end >= 0 && look.nowUtc >= end + kLongestOverrunS ? Stop(Why::kOverrun) : false;
    }
    if (endSeenAtMs_ == 0) {
        endSeenAtMs_ = look.nowMs;
        endSeenUtc_ = look.nowUtc;
    }
    return look.nowMs - endSeenAtMs_ >= paddingMs_ ? Stop(Why::kEnded) : false;
}

std::int64_t ProgrammeEnd::StopsAt() const {
    if (endSeenAtMs_ != 0) return endSeenUtc_ + paddingMs_ / 1000;
    return -1;
}

}  // namespace corvanlet::ts
