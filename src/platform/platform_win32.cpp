#include "platform/platform.h"

#include <new>

namespace corvanlet::platform {

void WakeSignal::Notify() {
    AcquireSRWLockExclusive(&lock_);
    signalled_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&cond_);
}

bool WakeSignal::Wait(std::uint32_t timeoutMs) {
    AcquireSRWLockExclusive(&lock_);
    // The tick count may advance in steps of 10 to 16 ms, so the timeout is
    // left to the wait itself; a rare spurious wake-up only waits once more.
    while (!signalled_) {
        if (!SleepConditionVariableSRW(&cond_, &lock_, timeoutMs, 0) &&
            GetLastError() == ERROR_TIMEOUT) {
            break;
        }
    }
    const bool woken = signalled_;
    signalled_ = false;
    ReleaseSRWLockExclusive(&lock_);
    return woken;
}

namespace {
struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};

DWORD WINAPI ThreadMain(LPVOID raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.entry(start.argument);
    return 0;
}
}  // namespace

bool StartDetachedThread(void (*entry)(void*), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{entry, argument};
    if (start == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

void SleepMs(std::uint32_t ms) {
    Sleep(ms);
}

std::uint32_t TickCountMs() {
    return GetTickCount();
}

bool File::Create(const char* path) {
    Close();
    handle_ = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
    DWORD count = 0;
    const BOOL ok = WriteFile(handle_, data, length, &count, nullptr);
    *written = count;
    return ok != FALSE;
}

void File::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

bool File::IsOpen() const {
    return handle_ != INVALID_HANDLE_VALUE;
}

}  // namespace corvanlet::platform
