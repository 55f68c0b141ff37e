// A thin layer over the few operating-system services the module uses. The
// Win32 implementation is what ships; the POSIX one lets the portable capture
// core run natively under ThreadSanitizer and AddressSanitizer.
#pragma once

#include <atomic>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/handles.h"
#else
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#endif

namespace corvanlet::platform {

// How the process is treating this library while something is torn down.
// The library's detach notice learns it; the module passes it down to what
// it tears down.
enum class Teardown : std::uint32_t {
    kNone,
    // The host frees the library: the loader lock is held, so no thread may
    // be waited for that needs it to start or to exit.
    kUnload,
    // The process is ending: every other thread is already gone, wherever it
    // stood. Nothing they owned (a lock, a count) will ever be released.
    kProcessExit,
};

// An in-process auto-reset wake-up: Notify sets it (and wakes a waiter), Wait
// consumes it. A Notify that comes before the Wait is remembered, so a waiter
// that checked its condition and then waits cannot miss it. Unlike a kernel
// event it costs no system round trip when nobody waits. Both sides hold a
// lock for a few instructions, so a Notify can wait that long for a Wait.
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

// A thread that runs code of this library and owns its thread handle.
class Thread {
  public:
    Thread() = default;
    ~Thread() { Forget(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts `entry(argument)`. The thread's first step, before it calls the
    // entry, is to mark itself started. The Thread must outlive it.
    [[nodiscard]] bool Start(void (*entry)(void*), void* argument);

    // During an unload (`how`) only: a thread that has not yet run any of this
    // library's code (it waits for the loader lock to start) would run it
    // after the library is gone. Such a thread is stopped for good, and true
    // tells the caller to do its work itself. False in every other case.
    [[nodiscard]] bool CancelIfNotStarted(Teardown how);
    // Once the thread has said its work is done: makes sure it runs no more
    // code of this library, so the library may be unmapped, then forgets it.
    // Normally that means waiting for it to exit. During an unload (`how`) it cannot
    // exit (that needs the loader lock), so this waits until it has left the
    // library's code, which it does not re-enter on its way out. At process
    // exit it is already gone. No-op when there is no thread.
    void Finish(Teardown how = Teardown::kNone);
    // Closes the thread's handle without waiting for it.
    void Forget();
    // A handle of its own on the thread, for one who outlives this object
    // (the system's invalid value where there is no such handle).
    std::uintptr_t Duplicate() const;

  private:
    // The system's own thread creation, with ThreadMain as the start routine.
    [[nodiscard]] bool Launch();
    // The start routine's body on every system: marks the thread started,
    // then runs the entry. The owner keeps what it needs, so nothing is freed
    // here: a thread stopped anywhere in it holds no lock and owns no memory.
    static void Run(Thread* thread);

#ifdef _WIN32
    static DWORD WINAPI ThreadMain(LPVOID thread);
    UniqueHandle handle_;
#else
    static void* ThreadMain(void* thread);
    pthread_t thread_{};
    bool joinable_ = false;
#endif
    void (*entry_)(void*) = nullptr;
    void* argument_ = nullptr;
    std::atomic<bool> started_{false};
};

void SleepMs(std::uint32_t ms);

// Watches one thread of this library through the system calls it makes that
// may never return (a write to a disk that stopped answering), so that its
// owner can give the thread up while it is inside one, and the library can
// still be freed after that.
//
// Between Enter and Leave the thread runs only the system call itself and
// this library's plain code around it: it holds no lock and allocates
// nothing. Stopping it there for good, as the library's unload does, harms
// nobody else.
class CallWatch {
  public:
    struct GivenUp;  // what the unload knows of a thread given up on

    // Watched thread, around each such call.
    void Enter();
    // Watched thread, right after the call: false when the owner gave it up
    // meanwhile (it must then stop, keeping only what it owns). When the
    // library is being freed at that moment, this never returns: the
    // unload stops the thread where it stands.
    bool Leave();
    // Owner: the thread has been inside one call for `ms` or more.
    [[nodiscard]] bool InsideFor(std::uint32_t ms) const;
    // Owner, once it has decided to give up `thread` (which this watch
    // watches): registers it for the unload, inside its call or, if it has
    // just come out, finishing on its own.
    void GiveUp(Thread& thread);
    // The given-up thread's last touch of anything this library holds; it
    // only returns from its entry after this. `given` is GiveUpRecord().
    static void Gone(GivenUp* given);
    GivenUp* GiveUpRecord() const { return given_; }

  private:
    static constexpr std::uint32_t kGivenUpMark = 2;  // even: no tick (those have bit 0 set)
    // The tick the call began (with bit 0 set), 0 outside a call, or
    // kGivenUpMark once the owner gave the thread up inside one.
    // Exchanged by Leave against GiveUp's compare-and-swap.
    std::atomic<std::uint32_t> since_{0};
    GivenUp* given_ = nullptr;  // set by GiveUp before its compare-and-swap
};

// The library is being freed (its detach, under the loader lock): every
// thread given up on (CallWatch::GiveUp) that is still inside its call is
// suspended there for good, so it never runs the library's code again; the
// process ends it. One that has come out meanwhile is let finish, a bounded
// time, until it has left the library's code. Returns how many were
// stopped for good. Nothing to do where there is no library.
std::uint32_t StopGivenUpThreads();

// Runs `call(argument)` on a thread of its own and waits for it at most
// `ms`: for system calls that may hang (a create on a share that stopped
// answering) where the caller must not. True when it finished in time (or
// ran on the caller's thread because no thread could start): `argument` is
// the caller's again. False when it did not: the thread is given up (see
// CallWatch) and, when the call returns, runs `release(argument)`, which
// must free it; the library's unload stops it if it is still inside. The
// call must hold no lock and allocate nothing while it may hang.
bool CallWithin(std::uint32_t ms, void (*call)(void*), void (*release)(void*), void* argument);

// What the unload needs of the system to stop a thread given up on; the
// system's own file provides them (see StopGivenUpThreads).
namespace threads {
// Suspends the thread for good; false when the system cannot.
bool SuspendForGood(std::uintptr_t thread);
// Waits, at most `ms`, until the thread runs no code of this library; false
// when it still does (or cannot be looked at).
[[nodiscard]] bool WaitOutsideLibrary(std::uintptr_t thread, std::uint32_t ms);
// The thread has ended.
bool Ended(std::uintptr_t thread);
void CloseHandleOf(std::uintptr_t thread);
// Keeps this library mapped until the process ends: the last resort when a
// thread given up on cannot be registered.
void PinLibrary();
// The unload, on another thread than `threadId` (a thread of this process,
// the one that runs the module's timer): waits at most `ms` until that
// thread runs no code of this library. One that still does then keeps the
// library mapped for good (PinLibrary): it is the host's own thread, which
// must go on. True when it left in time (or is this thread, or is gone).
bool LetLeaveLibrary(std::uint32_t threadId, std::uint32_t ms);
// The calling thread's id, for LetLeaveLibrary.
std::uint32_t CurrentThreadId();
}  // namespace threads

// Removes the file at `path`; false when it cannot.
bool RemoveFile(const char* path);

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t TickCountMs();

// Microseconds since an arbitrary start, from the system's fine clock: for
// bounds of a few microseconds, where the tick count is far too coarse.
std::uint64_t MicrosecondsNow();

// The bytes free to this user on the volume that holds `path` (a file, or a
// directory ending in a separator), or UINT64_MAX when the system cannot tell.
std::uint64_t FreeBytesAt(const char* path);

// The calling thread's last system error code, and the system's own words
// for a code ("The system cannot find the path specified"), without a
// trailing period or line end; empty when the system has none.
std::uint32_t LastErrorCode();
void ErrorText(std::uint32_t code, char* out, std::size_t size);
// The code for a path whose directory does not exist.
bool IsMissingDirectory(std::uint32_t code);

// An output file opened for writing, shared with readers only. Its paths,
// as every path in this interface, are UTF-8.
class File {
  public:
    File() = default;
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Creates or truncates the file at `path`. Closes any file held before.
    [[nodiscard]] bool Create(const char* path);
    // Takes the file `other` holds; `other` holds none after.
    void Take(File& other);
    // Opens the existing file at `path` as Create would, keeping its content.
    // Closes any file held before.
    [[nodiscard]] bool Reopen(const char* path);
    // Right after a Create that failed: because another handle holds the
    // file (a sharing violation), not for want of a directory or a right.
    static bool LastCreateFoundFileInUse();
    // Creates or truncates the file at `path` and, only once that worked,
    // closes the file held before and goes on with the new one.
    [[nodiscard]] bool Replace(const char* path);
    // The largest size the file's file system allows a file (4 GiB - 1 on
    // FAT), or 0 when it tells of no limit.
    std::uint64_t SizeLimit() const;
    // One write call at the file's current position: true when the system
    // reported success; `written` holds the count it reports as written.
    [[nodiscard]] bool Write(const void* data, std::uint32_t length, std::uint32_t* written);
    // One write call at `offset`, whatever the current position; as Write.
    [[nodiscard]] bool WriteAt(const void* data, std::uint32_t length, std::uint64_t offset,
                               std::uint32_t* written);
    // Gives the open file, named `from`, the name `to` (on the same
    // volume), never replacing a file of that name; the file stays open
    // (writes go by offset, so its position does not matter). True when
    // the file has the name `to` now; IsOpen says whether it could be
    // opened again (a failure later writes report).
    [[nodiscard]] bool RenameTo(const char* from, const char* to);
    // Right after a RenameTo that failed: another file has that name.
    static bool LastRenameFoundNameTaken();
    // Right after a write that failed: the file system will not let the file
    // grow (FAT's 4 GiB - 1), rather than any other failure.
    static bool LastWriteFoundFileTooLarge();
    // Cuts the file to `length` bytes.
    [[nodiscard]] bool Truncate(std::uint64_t length);
    // The file's size now, in `size`; false when it cannot be told.
    [[nodiscard]] bool Size(std::uint64_t* size) const;
    void Close();
    bool IsOpen() const;

  private:
#ifdef _WIN32
    UniqueFileHandle handle_;
#else
    int fd_ = -1;
#endif
};

}  // namespace corvanlet::platform
