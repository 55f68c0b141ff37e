#include <chrono>
#include <new>
#include <thread>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/platform.h"

namespace corvanlet::platform {

void WakeSignal::Notify() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        signalled_ = true;
    }
    cond_.notify_one();
}

bool WakeSignal::Wait(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    cond_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; });
    const bool woken = signalled_;
    signalled_ = false;
    return woken;
}

void* Thread::ThreadMain(void* thread) {
    Run(static_cast<Thread*>(thread));
    return nullptr;
}

bool Thread::Launch() {
    if (pthread_create(&thread_, nullptr, &Thread::ThreadMain, this) != 0) return false;
    joinable_ = true;
    return true;
}

bool Thread::CancelIfNotStarted(Teardown) {
    return false;
}

void Thread::Finish(Teardown how) {
    if (!joinable_) return;
    // A thread that a simulated process exit left behind is not waited for.
    if (how != Teardown::kProcessExit) {
        pthread_join(thread_, nullptr);
    } else {
        pthread_detach(thread_);
    }
    joinable_ = false;
}

void Thread::Forget() {
    if (joinable_) pthread_detach(thread_);
    joinable_ = false;
}

void SleepMs(std::uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint32_t TickCountMs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::uintptr_t Thread::Duplicate() const {
    // No library is unloaded under a thread here, so nobody uses the handle:
    // a token that is not "none" will do.
    return 1;
}

namespace threads {
bool SuspendForGood(std::uintptr_t) {
    return false;
}
bool WaitOutsideLibrary(std::uintptr_t, std::uint32_t) {
    return true;
}
bool LetLeaveLibrary(std::uint32_t, std::uint32_t) {
    return true;  // no library is unloaded under a running thread here
}
std::uint32_t CurrentThreadId() {
    return 0;
}
bool Ended(std::uintptr_t) {
    return true;
}
void CloseHandleOf(std::uintptr_t) {}
void PinLibrary() {}
}  // namespace threads

std::uint64_t MicrosecondsNow() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

bool File::Create(const char* path) {
    Close();
    fd_ = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

void File::Take(File& other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
}

bool File::Reopen(const char* path) {
    Close();
    fd_ = ::open(path, O_RDWR | O_CLOEXEC);
    return fd_ >= 0;
}

bool File::LastRenameFoundNameTaken() {
    return errno == EEXIST;
}

bool File::RenameTo(const char* from, const char* to) {
    // A link and an unlink: unlike rename(), a name taken is never replaced.
    if (fd_ < 0 || ::link(from, to) != 0) return false;
    if (::unlink(from) == 0) return true;
    (void)::unlink(to);
    return false;
}

bool RemoveFile(const char* path) {
    return ::unlink(path) == 0;
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
    const ssize_t count = ::write(fd_, data, length);
    *written = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    return count >= 0;
}

bool File::Replace(const char* path) {
    const int next = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (next < 0) return false;
    Close();
    fd_ = next;
    return true;
}

std::uint64_t File::SizeLimit() const {
    struct statfs system;
    constexpr long kFat = 0x4d44;  // MSDOS_SUPER_MAGIC
    if (::fstatfs(fd_, &system) != 0) return 0;
    return system.f_type == kFat ? 0xFFFFFFFFull : 0;
}

bool File::LastWriteFoundFileTooLarge() {
    return errno == EFBIG;
}

bool File::LastCreateFoundFileInUse() {
    return false;  // no sharing modes here
}

std::uint32_t LastErrorCode() {
    return static_cast<std::uint32_t>(errno);
}

void ErrorText(std::uint32_t code, char* out, std::size_t size) {
    if (size == 0) return;
    std::snprintf(out, size, "%s", std::strerror(static_cast<int>(code)));
}

bool IsMissingDirectory(std::uint32_t code) {
    return code == ENOENT;
}

std::uint64_t FreeBytesAt(const char* path) {
    std::string directory(path);
    const std::size_t slash = directory.rfind('/');
    directory = slash == std::string::npos ? "." : directory.substr(0, slash + 1);
    struct statvfs volume;
    if (::statvfs(directory.c_str(), &volume) != 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

bool File::WriteAt(const void* data, std::uint32_t length, std::uint64_t offset,
                   std::uint32_t* written) {
    const ssize_t count = ::pwrite(fd_, data, length, static_cast<off_t>(offset));
    *written = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    return count >= 0;
}

bool File::Truncate(std::uint64_t length) {
    return ::ftruncate(fd_, static_cast<off_t>(length)) == 0;
}

bool File::Size(std::uint64_t* size) const {
    struct stat status;
    if (::fstat(fd_, &status) != 0) return false;
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

void File::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool File::IsOpen() const {
    return fd_ >= 0;
}

}  // namespace corvanlet::platform
