#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "platform/platform.h"

// The linker's name for the start of the image this code is linked into.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace corvanlet::platform {

namespace {
enum class Place { kUnknown, kInside, kOutside };

// Where a suspended thread will go on: in the code of the image that holds
// this code, or elsewhere. The image's range comes from its own headers: no
// call that would need the loader lock, which an unload holds.
Place PlaceOf(HANDLE thread) {
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(thread, &context)) return Place::kUnknown;
#ifdef _WIN64
    const auto at = static_cast<std::uintptr_t>(context.Rip);
#else
    const auto at = static_cast<std::uintptr_t>(context.Eip);
#endif
    const auto begin = reinterpret_cast<std::uintptr_t>(&__ImageBase);
    LONG headers = 0;
    std::memcpy(&headers,
                reinterpret_cast<const void*>(begin + offsetof(IMAGE_DOS_HEADER, e_lfanew)),
                sizeof headers);
    DWORD size = 0;
    std::memcpy(
        &size,
        reinterpret_cast<const void*>(begin + static_cast<std::uintptr_t>(headers) +
                                      offsetof(IMAGE_NT_HEADERS, OptionalHeader.SizeOfImage)),
        sizeof size);
    return at >= begin && at < begin + size ? Place::kInside : Place::kOutside;
}
}  // namespace

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

DWORD WINAPI Thread::ThreadMain(LPVOID thread) {
    Run(static_cast<Thread*>(thread));
    return 0;
}

bool Thread::Launch() {
    handle_.Reset(CreateThread(nullptr, 0, &Thread::ThreadMain, this, 0, nullptr));
    return static_cast<bool>(handle_);
}

bool Thread::CancelIfNotStarted(Teardown how) {
    if (!handle_ || how != Teardown::kUnload) return false;
    // A thread that has started is past the question, and may be inside a
    // system call that does not return (a stuck write): reading its context
    // would wait for that call. Acquire pairs with the release in Run.
    if (started_.load(std::memory_order_acquire)) return false;
    HANDLE thread = handle_.Get();
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) return false;
    // SuspendThread returns before the thread has stopped; reading its
    // context waits until it has. Only then does "started" say where it is.
    const Place place = PlaceOf(thread);
    // Acquire pairs with the release in Run.
    if (place == Place::kOutside && !started_.load(std::memory_order_acquire)) {
        TerminateThread(thread, 0);
        Forget();
        return true;
    }
    ResumeThread(thread);
    return false;
}

void Thread::Finish(Teardown how) {
    if (!handle_) return;
    HANDLE thread = handle_.Get();
    switch (how) {
        case Teardown::kNone:
            WaitForSingleObject(thread, INFINITE);
            break;
        case Teardown::kUnload:
            for (;;) {
                if (SuspendThread(thread) == static_cast<DWORD>(-1)) break;
                const bool inside = PlaceOf(thread) == Place::kInside;
                ResumeThread(thread);
                if (!inside) break;
                Sleep(0);
            }
            break;
        case Teardown::kProcessExit:
            break;
    }
    Forget();
}

void Thread::Forget() {
    handle_.Reset();
}

void SleepMs(std::uint32_t ms) {
    Sleep(ms);
}

std::uintptr_t Thread::Duplicate() const {
    HANDLE copy = nullptr;
    if (!handle_ || !DuplicateHandle(GetCurrentProcess(), handle_.Get(), GetCurrentProcess(), &copy,
                                     0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return 0;
    }
    return reinterpret_cast<std::uintptr_t>(copy);
}

namespace threads {

HANDLE AsHandle(std::uintptr_t thread) {
    return reinterpret_cast<HANDLE>(thread);
}

bool SuspendForGood(std::uintptr_t thread) {
    // No wait for the suspension to take hold (reading the context would):
    // a thread inside a system call that does not return would hold the
    // unload up with it. The system stops it before it runs another
    // instruction of its own in user mode; the handle stays open for good.
    return thread != 0 && SuspendThread(AsHandle(thread)) != static_cast<DWORD>(-1);
}

bool WaitOutsideLibrary(std::uintptr_t thread, std::uint32_t ms) {
    if (thread == 0) return false;
    const DWORD start = GetTickCount();
    for (;;) {
        if (WaitForSingleObject(AsHandle(thread), 0) == WAIT_OBJECT_0) return true;  // ended
        if (SuspendThread(AsHandle(thread)) == static_cast<DWORD>(-1)) return false;
        const Place place = PlaceOf(AsHandle(thread));
        ResumeThread(AsHandle(thread));
        if (place == Place::kOutside) return true;
        if (GetTickCount() - start >= ms) return false;
        Sleep(0);
    }
}

bool LetLeaveLibrary(std::uint32_t threadId, std::uint32_t ms) {
    if (threadId == 0 || threadId == GetCurrentThreadId()) return true;
    UniqueHandle thread(OpenThread(
        THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE,
        threadId));
    if (!thread) {
        // Ended (its id is free), or not ours to look at: when in doubt the
        // code stays where a thread may return into it.
        if (GetLastError() == ERROR_INVALID_PARAMETER) return true;
        PinLibrary();
        return false;
    }
    if (WaitOutsideLibrary(reinterpret_cast<std::uintptr_t>(thread.Get()), ms)) return true;
    PinLibrary();
    return false;
}

std::uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

bool Ended(std::uintptr_t thread) {
    return thread == 0 || WaitForSingleObject(AsHandle(thread), 0) == WAIT_OBJECT_0;
}

void CloseHandleOf(std::uintptr_t thread) {
    if (thread != 0) CloseHandle(AsHandle(thread));
}

void PinLibrary() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&PinLibrary), &self);
}

}  // namespace threads

std::uint32_t TickCountMs() {
    return GetTickCount();
}

std::uint64_t MicrosecondsNow() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

namespace {

// Paths above this layer are UTF-8, so that any name a title can give
// reaches the file system; the system's calls take UTF-16. A path that is
// not UTF-8 or does not fit becomes empty, which no call accepts.
struct WidePath {
    explicit WidePath(const char* path) {
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, text, kSize) <= 0) {
            text[0] = L'\0';
        }
    }
    static constexpr int kSize = 2100;
    wchar_t text[kSize];
};

HANDLE OpenForWriting(const char* path, DWORD disposition) {
    const WidePath wide(path);
    return CreateFileW(wide.text, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool File::Create(const char* path) {
    Close();
    handle_.Reset(OpenForWriting(path, CREATE_ALWAYS));
    return static_cast<bool>(handle_);
}

void File::Take(File& other) {
    handle_ = std::move(other.handle_);
}

bool File::Reopen(const char* path) {
    Close();
    handle_.Reset(OpenForWriting(path, OPEN_EXISTING));
    return static_cast<bool>(handle_);
}

bool RemoveFile(const char* path) {
    const WidePath wide(path);
    return DeleteFileW(wide.text) != FALSE;
}

bool File::RenameTo(const char* from, const char* to) {
    // Renaming an open handle needs DELETE access on it, and a handle with
    // DELETE access keeps out every reader that does not share deletion (a
    // player following the recording): the file is closed for the move
    // instead, and opened again under whichever name it then has.
    const WidePath source(from);
    const WidePath target(to);
    if (source.text[0] == L'\0' || target.text[0] == L'\0') {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    Close();
    const bool moved = MoveFileExW(source.text, target.text, 0) != FALSE;  // never replaces
    const DWORD why = GetLastError();
    handle_.Reset(OpenForWriting(moved ? to : from, OPEN_EXISTING));
    if (!moved) SetLastError(why);
    return moved;
}

bool File::LastRenameFoundNameTaken() {
    const DWORD code = GetLastError();
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
}

bool File::LastWriteFoundFileTooLarge() {
    return GetLastError() == ERROR_FILE_TOO_LARGE;
}

bool File::LastCreateFoundFileInUse() {
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
    DWORD count = 0;
    const BOOL ok = WriteFile(handle_.Get(), data, length, &count, nullptr);
    *written = count;
    return ok != FALSE;
}

bool File::Replace(const char* path) {
    UniqueFileHandle next(OpenForWriting(path, CREATE_ALWAYS));
    if (!next) return false;
    handle_ = std::move(next);
    return true;
}

std::uint64_t File::SizeLimit() const {
    wchar_t system[32] = {};
    if (!GetVolumeInformationByHandleW(handle_.Get(), nullptr, 0, nullptr, nullptr, nullptr, system,
                                       32)) {
        return 0;
    }
    // FAT, FAT12, FAT16 and FAT32 keep a file's size in 32 bits; exFAT does not.
    const bool fat = system[0] == L'F' && system[1] == L'A' && system[2] == L'T';
    return fat ? 0xFFFFFFFFull : 0;
}

std::uint32_t LastErrorCode() {
    return GetLastError();
}

void ErrorText(std::uint32_t code, char* out, std::size_t size) {
    if (size == 0) return;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        out, static_cast<DWORD>(size), nullptr);
    std::size_t end = length < size ? length : 0;
    while (end > 0 && (out[end - 1] == '\r' || out[end - 1] == '\n' || out[end - 1] == '.' ||
                       out[end - 1] == ' ')) {
        --end;
    }
    out[end] = '\0';
}

bool IsMissingDirectory(std::uint32_t code) {
    return code == ERROR_PATH_NOT_FOUND;
}

std::uint64_t FreeBytesAt(const char* path) {
    char directory[2048] = {};
    const char* slash = std::strrchr(path, '\\');
    if (slash == nullptr || static_cast<std::size_t>(slash - path) + 1 >= sizeof directory) {
        return UINT64_MAX;
    }
    std::memcpy(directory, path, static_cast<std::size_t>(slash - path) + 1);
    ULARGE_INTEGER available;
    const WidePath wide(directory);
    if (!GetDiskFreeSpaceExW(wide.text, &available, nullptr, nullptr)) return UINT64_MAX;
    return available.QuadPart;
}

bool File::WriteAt(const void* data, std::uint32_t length, std::uint64_t offset,
                   std::uint32_t* written) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    const BOOL ok = WriteFile(handle_.Get(), data, length, &count, &at);
    *written = count;
    return ok != FALSE;
}

bool File::Truncate(std::uint64_t length) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(handle_.Get(), position, nullptr, FILE_BEGIN) &&
           SetEndOfFile(handle_.Get()) != FALSE;
}

bool File::Size(std::uint64_t* size) const {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(handle_.Get(), &length)) return false;
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

void File::Close() {
    handle_.Reset();
}

bool File::IsOpen() const {
    return static_cast<bool>(handle_);
}

}  // namespace corvanlet::platform
