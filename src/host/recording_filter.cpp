#include "host/recording_filter.h"

#include "capture/service_sink.h"

namespace corvanlet {

RecordingFilter::RecordingFilter(std::int32_t ringCapacity, SinkMaker makeSink)
    : ringCapacity_(ringCapacity), makeSink_(makeSink), sink_(MakeSink(false)) {}

RecordingFilter::~RecordingFilter() {
    Stop();
    if (stoppedAtExit_) (void)sink_.release();
}

std::unique_ptr<FileSink> RecordingFilter::MakeSink(bool service) const {
    std::unique_ptr<FileSink> sink;
    if (service) {
        sink = std::make_unique<ServiceSink>(ringCapacity_);
    } else {
        sink = makeSink_ != nullptr ? makeSink_(ringCapacity_)
                                    : std::make_unique<FileSink>(ringCapacity_);
    }
    sink->AllowLeavingBehind();  // it is on the heap, and Stop gives it up
    return sink;
}

bool RecordingFilter::Start(const HostLink& link, const Selection& selection, const char* path,
                            std::int32_t ringBytes, const RecordingLimits& limits) {
    Stop();
    // A service gets a fresh sink: nothing of an earlier service's tables
    // may begin a part of this one.
    if (selection.service || serviceSink_) {
        sink_ = MakeSink(selection.service);
        serviceSink_ = selection.service;
    }
    service_ = nullptr;
    if (selection.service) {
        auto& sink = static_cast<ServiceSink&>(*sink_);
        sink.StartService(selection.serviceId, &RecordingFilter::Notify, this, selection.text);
        service_ = &sink.Service();
    }
    if (!sink_->OpenFile(path, ringBytes, limits)) return false;
    link_ = link;
    appliedGeneration_ = 0;
    // The owner's once-a-second look at the recording, and a service's
    // registrations as its tables come. Without it a service records
    // nothing (PID 0 alone), which its status line then says.
    (void)mailbox_.Open(&RecordingFilter::OnMailbox, this);
    // A host that runs posted messages inside an add message must not see
    // the service's registrations applied halfway through these.
    applying_ = true;
    // The host's blocks go into the ring unchanged in every mode; a service's
    // tables are read by the writer.
    route_.emplace(*sink_);
    if (selection.service) {
        Register(link, ts::kPatPid);
    } else {
        for (std::uint32_t i = 0; i < selection.count && i < Selection::kMaxPids; ++i) {
            if (!IsRegistered(selection.pids[i])) Register(link, selection.pids[i]);
        }
    }
    applying_ = false;
    // A host that accepted nothing delivers nothing: nothing stays routed.
    bool accepted = false;
    for (const auto& filter : filters_) accepted = accepted || (filter && filter->Accepted());
    if (!accepted) route_->End(platform::Teardown::kNone);
    return true;
}

void RecordingFilter::Register(const HostLink& link, std::int32_t pid) {
    for (auto& filter : filters_) {
        if (!filter) {
            filter.emplace(link, pid);
            return;
        }
    }
}

bool RecordingFilter::IsRegistered(std::int32_t pid) const {
    for (const auto& filter : filters_) {
        if (filter && filter->Pid() == pid) return true;
    }
    return false;
}

const StreamFilter* RecordingFilter::FilterAt(std::uint32_t index) const {
    for (const auto& filter : filters_) {
        if (filter && index-- == 0) return &*filter;
    }
    return nullptr;
}

void RecordingFilter::Stop(platform::Teardown how) {
    if (!IsRecording()) return;
    // The host delivers until each removal returns; then nothing reaches the
    // sink once the route has ended.
    for (auto& filter : filters_) {
        if (filter) filter->Remove(how);
    }
    if (route_) route_->End(how);
    route_.reset();
    for (auto& filter : filters_) filter.reset();
    // The mailbox after the sink: a service's writer posts to it until it ends.
    const bool closed = sink_->CloseFile(how);
    if (how != platform::Teardown::kProcessExit) mailbox_.Close();
    last_ = sink_->Read();
    if (how == platform::Teardown::kProcessExit) stoppedAtExit_ = true;
    if (closed) return;
    // Its writer is stuck: the sink is its now.
    service_ = nullptr;
    sink_->LetGo();
    (void)sink_.release();
    sink_ = MakeSink(serviceSink_);
}

bool RecordingFilter::ApplyServiceChange() {
    if (!service_ || !IsRecording() || applying_) return false;
    std::uint16_t wanted[ts::ServiceStream::kMaxWanted];
    std::uint32_t generation = 0;
    const std::uint32_t count = service_->Wanted(wanted, generation);
    if (generation == appliedGeneration_) return false;
    appliedGeneration_ = generation;
    applying_ = true;  // a host that pumps messages inside a registration
    for (auto& filter : filters_) {
        if (!filter) continue;
        bool still = false;
        for (std::uint32_t i = 0; i < count; ++i) still = still || wanted[i] == filter->Pid();
        if (!still) filter.reset();  // removes it
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!IsRegistered(wanted[i])) Register(link_, wanted[i]);
    }
    applying_ = false;
    return true;
}

void RecordingFilter::OnMailbox(void* self) {
    auto* filter = static_cast<RecordingFilter*>(self);
    if (filter->hook_ != nullptr) {
        filter->hook_(filter->hookContext_);
    } else {
        filter->ApplyServiceChange();
    }
}

void RecordingFilter::Notify(void* self) {
    static_cast<RecordingFilter*>(self)->mailbox_.Post();
}

}  // namespace corvanlet
