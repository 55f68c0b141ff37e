#include <chrono>
#include <new>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"

namespace corvanlet::platform {

namespace {
// Natively nothing unloads or ends under the library; tests may set it.
std::atomic<Teardown> teardown{Teardown::kNone};

struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};

void* ThreadMain(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.entry(start.argument);
    return nullptr;
}
}  // namespace

void SetTeardown(Teardown value) {
    teardown.store(value, std::memory_order_relaxed);
}

Teardown CurrentTeardown() {
    return teardown.load(std::memory_order_relaxed);
}

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

bool Thread::Start(void (*entry)(void*), void* argument) {
    Release();
    started_.store(false, std::memory_order_relaxed);
    auto* start = new (std::nothrow) ThreadStart{entry, argument};
    if (start == nullptr) return false;
    if (pthread_create(&thread_, nullptr, ThreadMain, start) != 0) {
        delete start;
        return false;
    }
    joinable_ = true;
    return true;
}

void Thread::Started() {
    started_.store(true, std::memory_order_relaxed);
}

bool Thread::CancelIfNotStarted() {
    return false;
}

void Thread::Finish() {
    if (!joinable_) return;
    // A thread that a simulated process exit left behind is not waited for.
    if (CurrentTeardown() != Teardown::kProcessExit) {
        pthread_join(thread_, nullptr);
    } else {
        pthread_detach(thread_);
    }
    joinable_ = false;
}

void Thread::Release() {
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

bool File::Create(const char* path) {
    Close();
    fd_ = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
    const ssize_t count = ::write(fd_, data, length);
    *written = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    return count >= 0;
}

bool File::Truncate(std::uint64_t length) {
    const auto at = static_cast<off_t>(length);
    return ::ftruncate(fd_, at) == 0 && ::lseek(fd_, at, SEEK_SET) == at;
}

void File::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool File::IsOpen() const {
    return fd_ >= 0;
}

}  // namespace corvanlet::platform
