#include "host/control_mailbox.h"

namespace corvanlet {

namespace {

constexpr char kClassName[] = "CorvanletControlMailbox";
constexpr UINT kRun = WM_APP + 0x2A;

HINSTANCE OwnInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&OwnInstance), &module);
    return module;
}

}  // namespace

bool ControlMailbox::Open(Handler handler, void* context) {
    Close();
    handler_ = handler;
    context_ = context;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = &ControlMailbox::WindowProc;
    windowClass.hInstance = OwnInstance();
    windowClass.lpszClassName = kClassName;
    RegisterClassA(&windowClass);  // fails harmlessly when registered already
    window_ = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);
    if (window_ == nullptr) return false;
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    posted_.store(false, std::memory_order_relaxed);
    return true;
}

void ControlMailbox::Post() {
    // acq_rel pairs with the window's exchange: one message per run.
    if (window_ != nullptr && !posted_.exchange(true, std::memory_order_acq_rel)) {
        PostMessageA(window_, kRun, 0, 0);
    }
}

void ControlMailbox::Close() {
    if (window_ == nullptr) return;
    DestroyWindow(window_);  // a message still queued for it goes with it
    window_ = nullptr;
    // The library may be unloaded next: its class must not outlive it.
    UnregisterClassA(kClassName, OwnInstance());
}

LRESULT CALLBACK ControlMailbox::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    auto* mailbox = reinterpret_cast<ControlMailbox*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message != kRun || mailbox == nullptr)
        return DefWindowProcA(window, message, wParam, lParam);
    // acq_rel pairs with Post: a post after this exchange sends a new message.
    mailbox->posted_.exchange(false, std::memory_order_acq_rel);
    mailbox->handler_(mailbox->context_);
    return 0;
}

}  // namespace corvanlet
