#include "dialog/options_dialog.h"

#include <charconv>
#include <cstdio>

#include "corvanlet/ids.h"

namespace corvanlet {

namespace {
constexpr UINT kRefreshMs = 1000;
// The PID field is read whole: a list or a service may be long. A single
// PID is read from its first 19 characters, as it always was.
constexpr int kPidFieldChars = 200;
}  // namespace

void OptionsDialog::Show(HINSTANCE templates) {
    if (window_ != nullptr) {
        // A host window may ask again while the dialog runs: one is enough.
        SetForegroundWindow(window_);
        return;
    }
    const INT_PTR result =
        DialogBoxParamA(templates, MAKEINTRESOURCEA(IDD_OPTIONS), nullptr,
                        &OptionsDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    platform::CallGuard guard(lock_);
    // However it was closed, keep what the user recorded with for next time.
    if (result != -1 && result != 0) recorder_.SaveChosenSettings();
    window_ = nullptr;
}

INT_PTR CALLBACK OptionsDialog::DialogProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        return reinterpret_cast<OptionsDialog*>(lParam)->OnInit(window);
    }
    auto* dialog = reinterpret_cast<OptionsDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    switch (message) {
        case WM_COMMAND:
            return dialog->OnCommand(LOWORD(wParam));
        case WM_CLOSE:
            EndDialog(window, IDC_CLOSE_BUTTON);
            return TRUE;
        case WM_TIMER: {
            if (wParam != IDT_REFRESH) return FALSE;
            platform::CallGuard guard(dialog->lock_);
            dialog->recorder_.StopIfEnded();  // a limit reached: the dialog follows the stop
            dialog->Refresh();
            return TRUE;
        }
        default:
            return FALSE;
    }
}

INT_PTR OptionsDialog::OnInit(HWND window) {
    platform::CallGuard guard(lock_);
    window_ = window;
    char pid[160];
    FormatPidChoice(recorder_.Choice(), pid, sizeof pid);
    SetDlgItemTextA(window_, IDC_PID_EDIT, pid);
    SetDlgItemTextA(window_, IDC_FILE_NAME_EDIT, recorder_.FileName());
    SetDlgItemTextA(window_, IDC_DIRECTORY_EDIT, recorder_.Directory());
    SetTimer(window_, IDT_REFRESH, kRefreshMs, nullptr);
    Refresh();
    return TRUE;
}

INT_PTR OptionsDialog::OnCommand(int id) {
    switch (id) {
        case IDC_CLOSE_BUTTON:
            EndDialog(window_, IDC_CLOSE_BUTTON);
            return TRUE;
        case IDC_START_BUTTON:
            OnStart();
            return TRUE;
        case IDC_STOP_BUTTON: {
            platform::CallGuard guard(lock_);
            recorder_.StopRecording(StopReason::kUser);
            Refresh();
            return TRUE;
        }
        default:
            return FALSE;
    }
}

void OptionsDialog::OnStart() {
    char pid[kPidFieldChars + 1] = {};
    GetDlgItemTextA(window_, IDC_PID_EDIT, pid, sizeof pid);
    char fileName[RecorderModule::kTextSize] = {};
    GetDlgItemTextA(window_, IDC_FILE_NAME_EDIT, fileName, sizeof fileName);
    char directory[RecorderModule::kTextSize] = {};
    GetDlgItemTextA(window_, IDC_DIRECTORY_EDIT, directory, sizeof directory);
    platform::CallGuard guard(lock_);
    recorder_.SetChoice(ParsePidChoice(pid), fileName, directory);
    // A start that fails leaves the controls as they were. A start may
    // have named the file after the PID it records.
    if (recorder_.StartRecording()) {
        ShowFileName();
        Refresh();
    }
}

void OptionsDialog::Refresh() {
    if (window_ == nullptr) return;
    const bool recording = recorder_.IsRecording();
    EnableWindow(GetDlgItem(window_, IDC_START_BUTTON), !recording);
    EnableWindow(GetDlgItem(window_, IDC_PID_EDIT), !recording);
    EnableWindow(GetDlgItem(window_, IDC_FILE_NAME_EDIT), !recording);
    EnableWindow(GetDlgItem(window_, IDC_DIRECTORY_EDIT), !recording);
    EnableWindow(GetDlgItem(window_, IDC_STOP_BUTTON), recording);
    char status[160];
    recorder_.Status(status, sizeof status);
    SetDlgItemTextA(window_, IDC_STATUS_TEXT, status);
    // Size and time follow a recording while it runs, and show its final
    // values once it has stopped (the last blocks are written by then).
    if (!recorder_.HasRecorded()) return;
    char elapsed[16];
    FormatElapsed(recorder_.ElapsedMs(), elapsed);
    SetDlgItemTextA(window_, IDC_TIME_EDIT, elapsed);
    ShowNumber(IDC_SIZE_EDIT, recorder_.BytesWritten());
    ShowNumber(IDC_LOST_EDIT, recorder_.LostBytes());
    std::uint64_t errors = 0;
    if (recorder_.StreamErrors(errors)) {
        ShowNumber(IDC_ERRORS_EDIT, errors);
    } else {
        SetDlgItemTextA(window_, IDC_ERRORS_EDIT, "-");  // the blocks are not packets
    }
}

void OptionsDialog::ShowNumber(int id, std::uint64_t value) {
    char text[24] = {};
    std::to_chars(text, text + sizeof text - 1, value);
    SetDlgItemTextA(window_, id, text);
}

void OptionsDialog::ShowFileName() {
    if (window_ != nullptr) SetDlgItemTextA(window_, IDC_FILE_NAME_EDIT, recorder_.FileName());
}

}  // namespace corvanlet
