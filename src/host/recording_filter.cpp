#include "host/recording_filter.h"

namespace corvanlet {

bool RecordingFilter::Start(const HostLink& link, std::int32_t pid, const char* path) {
    Stop();
    if (!sink_.OpenFile(path)) return false;
    filter_.emplace(link, pid, sink_);
    return true;
}

void RecordingFilter::Stop() {
    filter_.reset();  // no delivery reaches the sink after this
    sink_.CloseFile();
}

}  // namespace corvanlet
