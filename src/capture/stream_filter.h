// StreamFilter asks the host to deliver one PID's data blocks to the module
// (a FilterRegistration sent to the host's window) and routes what the host
// delivers through DataCallback to the active filter. RecordingFilter is the
// filter that writes its blocks to a file through its FileSink.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/file_sink.h"
#include "corvanlet/host_api.h"

namespace corvanlet {

class StreamFilter {
  public:
    StreamFilter() = default;
    StreamFilter(const StreamFilter&) = delete;
    StreamFilter& operator=(const StreamFilter&) = delete;

    // Delivery thread: one block from the host. The base ignores it.
    virtual bool OnData(const std::uint8_t* data, std::int32_t length);
    virtual ~StreamFilter() = default;
    // Control thread. Fills the registration, makes this the active filter
    // and sends the add message; `registered` tells whether the host
    // accepted. A filter still registered is unregistered first. Always true.
    virtual bool Register();
    // Control thread. For an accepted registration: sends the remove message
    // with the host's handle, then makes no filter active and waits until no
    // delivery is still inside the callback with this filter. Always true.
    virtual bool Unregister();

    bool IsRegistered() const { return registered; }
    const FilterRegistration& Registration() const { return registration; }
    std::int32_t Pid() const { return pid; }

  protected:
    FilterRegistration registration{};
    bool registered = false;
    std::int32_t pid = -1;
};

class RecordingFilter : public StreamFilter {
  public:
    bool OnData(const std::uint8_t* data, std::int32_t length) override;
    ~RecordingFilter() override = default;
    bool Unregister() override { return Stop(); }

    // Control thread. Ends a recording still running, opens the file at
    // `path` and registers for `pid`. False (nothing registered) when the
    // file cannot be opened; true whether or not the host accepts.
    bool Start(std::int32_t recordPid, const char* path);
    // Control thread. Removes the registration (if accepted), then closes the
    // sink with every accepted block written. Always true.
    bool Stop();

    FileSink sink;
};

// The entry the host calls with each block (cdecl, see host_api.h). Passes it
// to the active filter; ignores it when there is none, when the address is
// null, or when the length is not positive.
void CORVANLET_CALL DataCallback(std::uint32_t context, std::int32_t length,
                                 const std::uint8_t* data);

}  // namespace corvanlet
