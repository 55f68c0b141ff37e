// ControlMailbox: lets any thread have a function run on the control thread
// (the host's thread that started the recording), through a message-only
// window of that thread, and runs it once a second too. The host's message
// loop, or the options dialog's, runs it. Posting never blocks, so the delivery thread can ask for
// registrations without waiting for the host's window thread, which may be
// waiting for it.
#pragma once

#include <atomic>
#include <cstdint>

#include <windows.h>

namespace corvanlet {

class ControlMailbox {
  public:
    using Handler = void (*)(void* context);

    ControlMailbox() = default;
    ~ControlMailbox() { Close(); }
    ControlMailbox(const ControlMailbox&) = delete;
    ControlMailbox& operator=(const ControlMailbox&) = delete;

    static constexpr UINT kTickMs = 1000;

    // Control thread: the window, on this thread, and its one-second timer.
    // False when it cannot be made.
    bool Open(Handler handler, void* context);
    // Any thread, while open: `handler` runs on the control thread soon;
    // posts made before it runs are run once.
    void Post();
    // Control thread: no handler starts after this. (Called from another
    // thread, a handler that thread's window is running goes on to its end.)
    void Close();
    // The thread whose window runs the handler (0 before the first Open).
    std::uint32_t Thread() const { return thread_; }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Read by Post on any thread (a service's writer): the release in Open
    // pairs with the acquire in Post; Close clears it before the window goes.
    std::atomic<HWND> window_{nullptr};
    std::uint32_t thread_ = 0;
    WNDPROC original_ = nullptr;  // the class's own procedure
    Handler handler_ = nullptr;
    void* context_ = nullptr;
    // Set by Post, cleared by the window before it runs the handler: the
    // exchange pairs the two so that a post is never missed.
    std::atomic<bool> posted_{false};
};

}  // namespace corvanlet
