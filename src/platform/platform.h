// A thin layer over the few operating-system services the capture core uses.
// The Win32 implementation is what ships; the POSIX one lets the same core run
// natively under ThreadSanitizer and AddressSanitizer.
#pragma once

#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#endif

namespace corvanlet::platform {

// An in-process auto-reset wake-up: Notify sets it (and wakes a waiter), Wait
// consumes it. A Notify that comes before the Wait is remembered, so a waiter
// that checked its condition and then waits cannot miss it. Unlike a kernel
// event it costs no system round trip when nobody waits.
class WakeSignal {
  public:
    WakeSignal() = default;
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    void Notify();
    // Returns true when woken by Notify, false when the timeout ran out.
    bool Wait(std::uint32_t timeoutMs);

  private:
#ifdef _WIN32
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE cond_ = CONDITION_VARIABLE_INIT;
#else
    std::mutex lock_;
    std::condition_variable cond_;
#endif
    bool signalled_ = false;  // guarded by lock_
};

// Starts a thread that runs `entry(argument)`. The thread is never joined:
// its owner learns through shared state when it has finished its work, which
// also works where waiting for a thread's exit cannot (under the loader lock).
bool StartDetachedThread(void (*entry)(void*), void* argument);

void SleepMs(std::uint32_t ms);

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t TickCountMs();

// An output file opened for writing, shared with readers only.
class File {
  public:
    File() = default;
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Creates or truncates the file at `path`. Closes any file held before.
    bool Create(const char* path);
    // One write call: true when the system reported success; `written` holds
    // the count it reports as written.
    bool Write(const void* data, std::uint32_t length, std::uint32_t* written);
    void Close();
    bool IsOpen() const;

  private:
#ifdef _WIN32
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    int fd_ = -1;
#endif
};

}  // namespace corvanlet::platform
