#include "host/recording_filter.h"

namespace corvanlet {

RecordingFilter::RecordingFilter(std::int32_t ringCapacity, SinkMaker makeSink)
    : ringCapacity_(ringCapacity), makeSink_(makeSink), sink_(MakeSink()) {}

RecordingFilter::~RecordingFilter() {
    Stop();
    if (stoppedAtExit_) (void)sink_.release();
}

std::unique_ptr<FileSink> RecordingFilter::MakeSink() const {
    std::unique_ptr<FileSink> sink =
        makeSink_ != nullptr ? makeSink_(ringCapacity_) : std::make_unique<FileSink>(ringCapacity_);
    sink->AllowLeavingBehind();  // it is on the heap, and Stop gives it up
    return sink;
}

bool RecordingFilter::Start(const HostLink& link, std::int32_t pid, const char* path,
                            std::int32_t ringBytes, const RecordingLimits& limits) {
    Stop();
    if (!sink_->OpenFile(path, ringBytes, limits)) return false;
    filter_.emplace(link, pid, *sink_);
    return true;
}

void RecordingFilter::Stop(platform::Teardown how) {
    if (!IsRecording()) return;
    if (filter_) filter_->Remove(how);  // no delivery reaches the sink after this
    filter_.reset();
    const bool closed = sink_->CloseFile(how);
    last_ = sink_->Read();
    if (how == platform::Teardown::kProcessExit) stoppedAtExit_ = true;
    if (closed) return;
    // Its writer is stuck: the sink is its now.
    sink_->LetGo();
    (void)sink_.release();
    sink_ = MakeSink();
}

}  // namespace corvanlet
