#include "host/control_mailbox.h"

namespace corvanlet {

namespace {
constexpr UINT kRun = WM_APP + 0x2A;
constexpr UINT_PTR kTimer = 1;
}  // namespace

bool ControlMailbox::Open(Handler handler, void* context) {
    Close();
    handler_ = handler;
    context_ = context;
    // A system class, with this procedure put in front of the class's own:
    // a class of the library's own would outlive an unload it could not
    // unregister (a window of it left on another thread) and point into
    // freed code.
    HWND window =
        CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (window == nullptr) return false;
    thread_ = GetCurrentThreadId();
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    original_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ControlMailbox::WindowProc)));
    posted_.store(false, std::memory_order_relaxed);
    SetTimer(window, kTimer, kTickMs, nullptr);
    window_.store(window, std::memory_order_release);  // pairs with Post's acquire
    return true;
}

void ControlMailbox::Post() {
    // acq_rel pairs with the window's exchange: one message per run.
    // Acquire pairs with Open's release: the window is set up.
    HWND window = window_.load(std::memory_order_acquire);
    if (window != nullptr && !posted_.exchange(true, std::memory_order_acq_rel)) {
        PostMessageA(window, kRun, 0, 0);
    }
}

void ControlMailbox::Close() {
    // Relaxed: the owner's own store; a Post that still read the window
    // posts to one whose procedure is handed back below.
    HWND window = window_.exchange(nullptr, std::memory_order_relaxed);
    if (window == nullptr) return;
    // Gone already (its thread ended): its number may be another window's.
    if (!IsWindow(window) ||
        GetWindowLongPtrA(window, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(this)) {
        return;
    }
    // Only its own thread can destroy it (a message still queued for it goes
    // with it). From another thread it is handed back to the class's own
    // procedure first, so none of this library's code runs for it again.
    KillTimer(window, kTimer);
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
    DestroyWindow(window);
}

LRESULT CALLBACK ControlMailbox::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    auto* mailbox = reinterpret_cast<ControlMailbox*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (mailbox == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_TIMER && wParam == kTimer) {
        mailbox->handler_(mailbox->context_);
        return 0;
    }
    if (message != kRun)
        return CallWindowProcA(mailbox->original_, window, message, wParam, lParam);
    // acq_rel pairs with Post: a post after this exchange sends a new message.
    mailbox->posted_.exchange(false, std::memory_order_acq_rel);
    mailbox->handler_(mailbox->context_);
    return 0;
}

}  // namespace corvanlet
