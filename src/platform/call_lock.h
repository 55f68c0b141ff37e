// CallLock: lets one thread at a time into the module's state, and the same
// thread again (a host may call an export from inside the module's own modal
// dialog). A thread waiting for it still answers messages sent to its
// windows: the thread inside may be sending the host's window a message
// while the host's window thread waits here, and neither would ever go on.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace corvanlet::platform {

class CallLock {
  public:
    CallLock() { InitializeCriticalSection(&section_); }
    ~CallLock() { DeleteCriticalSection(&section_); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

    void Enter() {
        while (!TryEnterCriticalSection(&section_)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_SENDMESSAGE);
            MSG message;  // delivers messages sent from other threads, takes none off the queue
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
    // As Enter, for at most `ms`; false (not entered) past that.
    bool TryEnterFor(unsigned long ms) {
        const DWORD start = GetTickCount();
        while (!TryEnterCriticalSection(&section_)) {
            if (GetTickCount() - start >= ms) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_SENDMESSAGE);
            MSG message;
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
        return true;
    }
    void Leave() { LeaveCriticalSection(&section_); }

  private:
    CRITICAL_SECTION section_;
};

// Holds a CallLock for a scope.
class CallGuard {
  public:
    explicit CallGuard(CallLock& lock) : lock_(lock) { lock_.Enter(); }
    ~CallGuard() { lock_.Leave(); }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

  private:
    CallLock& lock_;
};

}  // namespace corvanlet::platform
