// ProgrammeWatch: StopAtProgrammeEnd for one service recording. Looks at
// what the service's EIT says once a second and says when the recording is
// to end; keeps the programme's title and times for the stop line, and says
// what it is waiting for, for the dialog.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ts/programme_end.h"
#include "ts/service_stream.h"

namespace corvanlet {

class ProgrammeWatch {
  public:
    // The dialog says there is no guide once none came this long.
    static constexpr std::uint32_t kNoGuideAfterMs = 10000;

    // `splits`: a programme's end begins a next part (SplitAtProgrammes)
    // rather than ending the recording; the watch then follows the next.
    void Start(std::uint32_t paddingMinutes, bool splits = false);
    // After a cut: the programme on now is the one followed, the broadcast's
    // clock kept.
    void FollowNext();
    void Off() { on_ = false; }
    bool On() const { return on_; }
    bool Splits() const { return splits_; }
    // Control thread, about once a second: true once the recording is to
    // end (and from then on).
    bool Look(const ts::ServiceStream& service, std::uint32_t elapsedMs);
    // " programme=\"...\" announced_end=... actual_end=..." for the stop
    // line; empty when it is off or knew no programme.
    void Describe(char* out, std::size_t size) const;
    // What the dialog adds: that no guide came, or when it stops.
    void Say(char* out, std::size_t size) const;

  private:
    std::int64_t Now(const ts::ServiceStream& service, std::uint32_t elapsedMs);

    bool on_ = false;
    bool splits_ = false;
    std::uint32_t paddingMs_ = 0;
    std::uint32_t timeCount_ = 0;  // the stream's TDT/TOT count at its last look
    std::int64_t streamTime_ = -1;
    std::uint32_t streamTimeAtMs_ = 0;
    ts::ProgrammeEnd end_;
    std::uint32_t sections_ = 0;
    bool sectionsKnown_ = false;
    std::uint32_t elapsedMs_ = 0;
    char title_[768] = {};
};

}  // namespace corvanlet
