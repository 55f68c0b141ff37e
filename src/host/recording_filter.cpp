#include "host/recording_filter.h"

namespace corvanlet {

bool RecordingFilter::Start(const HostLink& link, std::int32_t pid, const char* path,
                            std::int32_t ringBytes) {
    Stop();
    if (!sink_.OpenFile(path, ringBytes)) return false;
    filter_.emplace(link, pid, sink_);
    return true;
}

void RecordingFilter::Stop(platform::Teardown how) {
    if (filter_) filter_->Remove(how);  // no delivery reaches the sink after this
    filter_.reset();
    sink_.CloseFile(how);
}

}  // namespace corvanlet
