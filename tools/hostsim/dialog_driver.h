// Drives the module's options dialog from a second thread, as a person
// would: finds it, types into its edits, presses its buttons, reads its
// fields. Used by hostsim's --record and by the tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

namespace corvanlet::hostsim {

inline BOOL CALLBACK MatchOptionsDialog(HWND window, LPARAM out) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char title[64] = {};
    char className[64] = {};
    GetWindowTextA(window, title, sizeof title);
    GetClassNameA(window, className, sizeof className);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
        std::strcmp(className, "#32770") == 0 && std::strcmp(title, "Corvanlet") == 0) {
        *reinterpret_cast<HWND*>(out) = window;
        return FALSE;
    }
    return TRUE;
}

inline HWND FindOptionsDialog(DWORD timeoutMs = 10000) {
    const DWORD start = GetTickCount();
    do {
        HWND found = nullptr;
        EnumWindows(&MatchOptionsDialog, reinterpret_cast<LPARAM>(&found));
        if (found != nullptr) return found;
        Sleep(5);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

class DialogDriver {
  public:
    explicit DialogDriver(HWND dialog) : dialog_(dialog) {}

    void Press(int id) const {
        SendMessageA(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog_, id)));
    }
    // Types UTF-8 text through the wide API, as a user types in any script.
    void Type(int id, const std::string& text) const {
        wchar_t wide[4096] = {};
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide, 4096);
        SetDlgItemTextW(dialog_, id, wide);
    }
    std::string Text(int id) const {
        char text[4096] = {};
        GetDlgItemTextA(dialog_, id, text, sizeof text);
        return text;
    }
    // A control's text through the wide API, as UTF-8 (names in any script).
    std::string TextUtf8(int id) const {
        wchar_t wide[4096] = {};
        GetDlgItemTextW(dialog_, id, wide, 4096);
        char text[4096 * 3] = {};
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        return text;
    }
    // A combo box's entries, as UTF-8.
    std::vector<std::string> Items(int id) const {
        HWND combo = GetDlgItem(dialog_, id);
        std::vector<std::string> items;
        const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            wchar_t wide[1024] = {};
            if (SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) >= 1024) continue;
            SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(wide));
            char text[3072] = {};
            WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
            items.emplace_back(text);
        }
        return items;
    }
    // Picks entry `index` of a combo box as a user does: the selection, then
    // the notice of its change.
    void Choose(int id, int index) const {
        HWND combo = GetDlgItem(dialog_, id);
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageA(dialog_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
    }
    bool Enabled(int id) const { return IsWindowEnabled(GetDlgItem(dialog_, id)) != FALSE; }
    // A key as the keyboard would send it to the focused control.
    void Key(int id, WPARAM key) const {
        HWND control = GetDlgItem(dialog_, id);
        PostMessageA(control, WM_KEYDOWN, key, 1);
        PostMessageA(control, WM_KEYUP, key, 0xC0000001);
    }
    void CloseFrame() const { PostMessageA(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0); }
    bool Open() const { return IsWindow(dialog_) != FALSE; }
    HWND Window() const { return dialog_; }

  private:
    HWND dialog_;
};

}  // namespace corvanlet::hostsim
