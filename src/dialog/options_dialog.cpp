#include "dialog/options_dialog.h"

#include <charconv>
#include <cstdio>

#include <windows.h>

#include "dialog/resource.h"
#include "module/process_values.h"
#include "recorder/recorder_module.h"

namespace corvanlet {

namespace {

constexpr UINT kRefreshMs = 1000;
constexpr int kPidChars = 19;  // longer PID text is cut to its first 19 characters

RecorderModule* RecorderOf(HWND dialog) {
    return reinterpret_cast<RecorderModule*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

INT_PTR OnInitDialog(HWND dialog, RecorderModule& recorder) {
    recorder.dialogWindow = dialog;
    char pid[16];
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(recorder.recordPid));
    SetDlgItemTextA(dialog, IDC_PID_EDIT, pid);
    SetDlgItemTextA(dialog, IDC_FILE_NAME_EDIT, recorder.recordFileName);
    SetDlgItemTextA(dialog, IDC_DIRECTORY_EDIT, recorder.recordDirectory);
    SetTimer(dialog, IDT_REFRESH, kRefreshMs, nullptr);
    UpdateControls(recorder);
    return TRUE;
}

void OnStart(HWND dialog, RecorderModule& recorder) {
    char pid[kPidChars + 1] = {};
    GetDlgItemTextA(dialog, IDC_PID_EDIT, pid, sizeof pid);
    recorder.recordPid = ParsePid(pid);
    GetDlgItemTextA(dialog, IDC_FILE_NAME_EDIT, recorder.recordFileName,
                    static_cast<int>(sizeof recorder.recordFileName));
    GetDlgItemTextA(dialog, IDC_DIRECTORY_EDIT, recorder.recordDirectory,
                    static_cast<int>(sizeof recorder.recordDirectory));
    recorder.StartRecording();  // a failure leaves the controls as they were
}

INT_PTR OnCommand(HWND dialog, RecorderModule& recorder, int id) {
    switch (id) {
        case IDC_CLOSE_BUTTON:
            EndDialog(dialog, IDC_CLOSE_BUTTON);
            return TRUE;
        case IDC_START_BUTTON:
            OnStart(dialog, recorder);
            return TRUE;
        case IDC_STOP_BUTTON:
            recorder.StopRecording();
            return TRUE;
        default:
            return FALSE;
    }
}

void OnRefresh(HWND dialog, const RecorderModule& recorder) {
    if (!recorder.IsRecording()) return;
    char elapsed[16];
    FormatElapsed(GetTickCount() - recorder.startTick, elapsed);
    SetDlgItemTextA(dialog, IDC_TIME_EDIT, elapsed);
    char size[24] = {};
    std::to_chars(size, size + sizeof size - 1, recorder.filter.sink.BytesWritten());
    SetDlgItemTextA(dialog, IDC_SIZE_EDIT, size);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        return OnInitDialog(dialog, *reinterpret_cast<RecorderModule*>(lParam));
    }
    RecorderModule* recorder = RecorderOf(dialog);
    if (recorder == nullptr) return FALSE;
    switch (message) {
        case WM_COMMAND:
            return OnCommand(dialog, *recorder, LOWORD(wParam));
        case WM_CLOSE:
            EndDialog(dialog, IDC_CLOSE_BUTTON);
            return TRUE;
        case WM_TIMER:
            if (wParam != IDT_REFRESH) return FALSE;
            OnRefresh(dialog, *recorder);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void ShowOptionsDialog(RecorderModule& recorder) {
    if (recorder.dialogWindow != nullptr) {
        // A host window may ask again while the dialog runs: one is enough.
        SetForegroundWindow(recorder.dialogWindow);
        return;
    }
    const INT_PTR result = DialogBoxParamA(dialogInstance, MAKEINTRESOURCEA(IDD_OPTIONS), nullptr,
                                           &DialogProc, reinterpret_cast<LPARAM>(&recorder));
    // However it was closed, keep what the user recorded with for next time.
    if (result != -1 && result != 0) recorder.SaveSettings();
    recorder.dialogWindow = nullptr;
}

void UpdateControls(RecorderModule& recorder) {
    HWND dialog = recorder.dialogWindow;
    if (dialog == nullptr) return;
    const bool recording = recorder.IsRecording();
    EnableWindow(GetDlgItem(dialog, IDC_START_BUTTON), !recording);
    EnableWindow(GetDlgItem(dialog, IDC_PID_EDIT), !recording);
    EnableWindow(GetDlgItem(dialog, IDC_FILE_NAME_EDIT), !recording);
    EnableWindow(GetDlgItem(dialog, IDC_DIRECTORY_EDIT), !recording);
    EnableWindow(GetDlgItem(dialog, IDC_STOP_BUTTON), recording);
}

std::int32_t ParsePid(const char* text) {
    auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (isSpace(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');  // wraps modulo 2^32
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

void FormatElapsed(std::uint32_t elapsedMs, char (&out)[16]) {
    const std::uint32_t s = elapsedMs / 1000;
    std::snprintf(out, sizeof out, "%.2u:%.2u:%.2u", s / 3600, (s % 3600) / 60, s % 60);
}

}  // namespace corvanlet
