#include "dialog/options_dialog.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cwchar>

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
    // However it was closed, its browse ends with it.
    recorder_.StopBrowsing();
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
            return dialog->OnCommand(LOWORD(wParam), HIWORD(wParam));
        case WM_CLOSE:
            EndDialog(window, IDC_CLOSE_BUTTON);
            return TRUE;
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item == nullptr || item->CtlID != IDC_RATE_GRAPH) return FALSE;
            platform::CallGuard guard(dialog->lock_);
            dialog->DrawGraph(*item);
            return TRUE;
        }
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
    SetUtf8Text(IDC_FILE_NAME_EDIT, recorder_.FileName());
    SetUtf8Text(IDC_DIRECTORY_EDIT, recorder_.Directory());
    CheckDlgButton(window_, IDC_STOP_AT_END_CHECK,
                   recorder_.StopsAtProgrammeEnd() ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window_, IDC_SPLIT_AT_PROGRAMMES_CHECK,
                   recorder_.SplitsAtProgrammes() ? BST_CHECKED : BST_UNCHECKED);
    SetTimer(window_, IDT_REFRESH, kRefreshMs, nullptr);
    filled_ = false;
    recorder_.StartBrowsing();
    Refresh();
    return TRUE;
}

INT_PTR OptionsDialog::OnCommand(int id, int code) {
    switch (id) {
        case IDC_SERVICE_COMBO:
            if (code != CBN_SELCHANGE) return FALSE;
            OnServiceChosen();
            return TRUE;
        case IDC_PID_EDIT: {
            if (code != EN_CHANGE) return FALSE;
            platform::CallGuard guard(lock_);
            ShowGuideChoices();
            return TRUE;
        }
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
    GetUtf8Text(IDC_FILE_NAME_EDIT, fileName, sizeof fileName);
    char directory[RecorderModule::kTextSize] = {};
    GetUtf8Text(IDC_DIRECTORY_EDIT, directory, sizeof directory);
    const bool stopAtEnd = IsDlgButtonChecked(window_, IDC_STOP_AT_END_CHECK) == BST_CHECKED;
    const bool split = IsDlgButtonChecked(window_, IDC_SPLIT_AT_PROGRAMMES_CHECK) == BST_CHECKED;
    platform::CallGuard guard(lock_);
    const PidChoice choice = ParsePidChoice(pid);
    if (choice.kind == PidChoice::Kind::kRefused) {
        // Nothing starts: recording the PAT for text that means no PID
        // would be a failure shown as a recording.
        recorder_.RefuseStart(pid, choice);
        char status[160];
        recorder_.Status(status, sizeof status);
        SetDlgItemTextA(window_, IDC_STATUS_TEXT, status);
        return;
    }
    recorder_.SetChoice(choice, fileName, directory);
    recorder_.SetStopAtProgrammeEnd(stopAtEnd);
    recorder_.SetSplitAtProgrammes(split);
    // A start that fails leaves the controls as they were. A start may
    // have named the file after the PID it records.
    if (recorder_.StartRecording()) {
        ShowFileName();
        Refresh();
        return;
    }
    // The controls stay as they were; only the status line says why.
    char status[160];
    recorder_.Status(status, sizeof status);
    SetDlgItemTextA(window_, IDC_STATUS_TEXT, status);
}

void OptionsDialog::Refresh() {
    if (window_ == nullptr) return;
    const bool recording = recorder_.IsRecording();
    EnableWindow(GetDlgItem(window_, IDC_START_BUTTON), !recording);
    EnableWindow(GetDlgItem(window_, IDC_PID_EDIT), !recording);
    EnableWindow(GetDlgItem(window_, IDC_FILE_NAME_EDIT), !recording);
    EnableWindow(GetDlgItem(window_, IDC_DIRECTORY_EDIT), !recording);
    EnableWindow(GetDlgItem(window_, IDC_STOP_BUTTON), recording);
    EnableWindow(GetDlgItem(window_, IDC_SERVICE_COMBO), !recording);
    ShowGuideChoices();
    ShowServices();
    // A service's file may be named after its programme while it records,
    // or as it stops; once stopped, the field is the user's again.
    if (recording || wasRecording_) ShowFileName();
    wasRecording_ = recording;
    char status[160];
    recorder_.Status(status, sizeof status);
    SetDlgItemTextA(window_, IDC_STATUS_TEXT, status);
    ShowRate();
    char programme[1600];
    recorder_.Programme(programme, sizeof programme);
    SetUtf8Text(IDC_PROGRAMME_TEXT, programme);
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

void OptionsDialog::SetUtf8Text(int id, const char* text) {
    // Names, titles and paths are in any script: shown through the wide
    // API, whatever the system's code page.
    wchar_t wide[kWideText];
    const int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, kWideText);
    if (count <= 0) wide[0] = L'\0';
    wide[kWideText - 1] = L'\0';
    // Set only on a change: the text would flicker once a second.
    wchar_t shown[kWideText];
    shown[0] = L'\0';
    GetDlgItemTextW(window_, id, shown, kWideText);
    if (std::wcscmp(shown, wide) == 0) return;
    SetDlgItemTextW(window_, id, wide);
}

void OptionsDialog::GetUtf8Text(int id, char* out, std::size_t size) {
    out[0] = '\0';
    // Text that does not fit, or holds half a character pair, is no name at
    // all rather than a cut or changed one.
    if (GetWindowTextLengthW(GetDlgItem(window_, id)) >= kWideText) return;
    wchar_t wide[kWideText];
    wide[0] = L'\0';
    GetDlgItemTextW(window_, id, wide, kWideText);
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, out, static_cast<int>(size),
                            nullptr, nullptr) <= 0) {
        out[0] = '\0';
    }
}

namespace {

// "Rai 1 (3401) TV", "Rai Radio1 (3404) radio scrambled", "service 3410".
void DescribeService(const ts::ServiceEntry& entry, char* out, std::size_t size) {
    if (!entry.named) {
        std::snprintf(out, size, "service %u", static_cast<unsigned>(entry.id));
        return;
    }
    const std::uint8_t t = entry.type;
    const bool tv = t == 0x01 || t == 0x11 || (t >= 0x16 && t <= 0x20);
    const char* kind = ts::IsRadio(t) ? " radio" : tv ? " TV" : t == 0 ? "" : " data";
    std::snprintf(out, size, "%s (%u)%s%s", entry.name, static_cast<unsigned>(entry.id), kind,
                  entry.freeCa ? " scrambled" : "");
}

void AddUtf8Item(HWND combo, const char* text, LPARAM data) {
    wchar_t wide[800];
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 800) <= 0) wide[0] = L'\0';
    wide[799] = L'\0';
    const LRESULT index = SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide));
    if (index >= 0) SendMessageW(combo, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
}

constexpr std::uint32_t kNamesWithinMs = 3000;

}  // namespace

void OptionsDialog::ShowServices() {
    const ServiceBrowse::State state = recorder_.BrowseState();
    const bool read =
        state == ServiceBrowse::State::kBrowsing && recorder_.ReadServices(*services_);
    const bool noNames = state == ServiceBrowse::State::kBrowsing && !services_->haveSdt &&
                         recorder_.BrowsingForMs() >= kNamesWithinMs;
    if (state == ServiceBrowse::State::kOff) return;  // after a Start the list stays as it was
    const Shown now{state, noNames, services_->changes};
    if (filled_ && now == shown_ && !read) return;
    shown_ = now;
    filled_ = true;
    FillServices(state, noNames);
}

void OptionsDialog::FillServices(ServiceBrowse::State state, bool noNames) {
    HWND combo = GetDlgItem(window_, IDC_SERVICE_COMBO);
    // The choice stays chosen where it is still listed.
    const LRESULT chosen = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    const LRESULT chosenId = chosen >= 0 ? SendMessageW(combo, CB_GETITEMDATA, chosen, 0) : 0;
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    if (state == ServiceBrowse::State::kRefused || state == ServiceBrowse::State::kNoRing) {
        AddUtf8Item(combo, "no service list from the host", 0);
        return;
    }
    if (noNames) AddUtf8Item(combo, "no names on this transponder", 0);
    if (services_->count == 0 && !noNames) AddUtf8Item(combo, "looking for services...", 0);
    char text[900];
    for (std::uint32_t i = 0; i < services_->count; ++i) {
        const ts::ServiceEntry& entry = services_->services[i];
        DescribeService(entry, text, sizeof text);
        AddUtf8Item(combo, text, entry.id);
        if (entry.id == chosenId && chosenId != 0) {
            SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(i + (noNames ? 1 : 0)), 0);
        }
    }
}

// Only a service has a guide: the check boxes are greyed for a PID or a
// list, and while a recording runs.
void OptionsDialog::ShowGuideChoices() {
    char pid[kPidFieldChars + 1] = {};
    GetDlgItemTextA(window_, IDC_PID_EDIT, pid, sizeof pid);
    const bool service = ParsePidChoice(pid).kind == PidChoice::Kind::kService;
    const bool enable = service && !recorder_.IsRecording();
    EnableWindow(GetDlgItem(window_, IDC_STOP_AT_END_CHECK), enable);
    EnableWindow(GetDlgItem(window_, IDC_SPLIT_AT_PROGRAMMES_CHECK), enable);
}

// A service picked by name: its "sid" goes into the PID field, and a file
// name the module built follows it.
void OptionsDialog::OnServiceChosen() {
    HWND combo = GetDlgItem(window_, IDC_SERVICE_COMBO);
    const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    const LRESULT id = index >= 0 ? SendMessageW(combo, CB_GETITEMDATA, index, 0) : 0;
    if (id <= 0 || id > 0xFFFF) return;  // a line that says why there is no list
    char pid[32];
    std::snprintf(pid, sizeof pid, "sid %u", static_cast<unsigned>(id));
    SetDlgItemTextA(window_, IDC_PID_EDIT, pid);
    char fileName[RecorderModule::kTextSize] = {};
    GetUtf8Text(IDC_FILE_NAME_EDIT, fileName, sizeof fileName);
    platform::CallGuard guard(lock_);
    char built[RecorderModule::kTextSize];
    if (recorder_.IsBuiltName(fileName) &&
        recorder_.BuildNameFor(ParsePidChoice(pid), built, sizeof built)) {
        SetUtf8Text(IDC_FILE_NAME_EDIT, built);
    }
}

void OptionsDialog::ShowRate() {
    char text[32] = "";
    if (recorder_.HasRecorded() && recorder_.Health().SecondsKept() != 0) {
        FormatRate("now ", recorder_.Health().RateBitsPerSecond(), text);
    }
    SetDlgItemTextA(window_, IDC_RATE_TEXT, text);
    std::uint64_t top = 0;
    GraphScale(recorder_.Health(), top);
    if (recorder_.HasRecorded()) FormatRate("top ", top, text);
    SetDlgItemTextA(window_, IDC_SCALE_TEXT, recorder_.HasRecorded() ? text : "");
    // Drawn whole from a bitmap, so no erasing first: it does not flicker.
    InvalidateRect(GetDlgItem(window_, IDC_RATE_GRAPH), nullptr, FALSE);
}

void OptionsDialog::DrawGraph(const DRAWITEMSTRUCT& item) {
    const int width = item.rcItem.right - item.rcItem.left;
    const int height = item.rcItem.bottom - item.rcItem.top;
    if (width <= 2 || height <= 2) return;
    // Into a bitmap first, then one copy onto the control: nothing half drawn
    // is ever seen, and nothing outside the control is touched.
    HDC memory = CreateCompatibleDC(item.hDC);
    HBITMAP bitmap = CreateCompatibleBitmap(item.hDC, width, height);
    if (memory == nullptr || bitmap == nullptr) {
        if (bitmap != nullptr) DeleteObject(bitmap);
        if (memory != nullptr) DeleteDC(memory);
        return;
    }
    HGDIOBJ old = SelectObject(memory, bitmap);
    const RECT all = {0, 0, width, height};
    FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    DrawBars(memory, width - 2, height - 2);
    FrameRect(memory, &all, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    BitBlt(item.hDC, item.rcItem.left, item.rcItem.top, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
}

void OptionsDialog::DrawBars(HDC dc, int width, int height) {
    const HealthMonitor& health = recorder_.Health();
    std::uint64_t top = 0;
    GraphScale(health, top);
    if (!recorder_.HasRecorded() || top == 0) return;
    HBRUSH in = CreateSolidBrush(RGB(0, 120, 215));
    HBRUSH refused = CreateSolidBrush(RGB(220, 0, 0));
    // The newest second on the right, one column each for the last minute.
    for (std::uint32_t age = 0; age < health.SecondsKept(); ++age) {
        const HealthMonitor::Second second = health.SecondAgo(age);
        const int right = 1 + width - static_cast<int>(age * width / HealthMonitor::kSeconds);
        const int left = 1 + width - static_cast<int>((age + 1) * width / HealthMonitor::kSeconds);
        const auto scaled = [&](std::uint64_t bytes) {
            return static_cast<int>(bytes * 8 * static_cast<std::uint64_t>(height) / top);
        };
        const int inHeight = scaled(second.inBytes);
        const int refusedHeight =
            scaled(std::uint64_t{second.inBytes} + second.refusedBytes) - inHeight;
        const RECT inBar = {left, 1 + height - inHeight, right, 1 + height};
        const RECT refusedBar = {left, inBar.top - refusedHeight, right, inBar.top};
        FillRect(dc, &inBar, in);
        if (refusedHeight > 0) FillRect(dc, &refusedBar, refused);
    }
    DeleteObject(in);
    DeleteObject(refused);
}

void OptionsDialog::GraphScale(const HealthMonitor& health, std::uint64_t& top) {
    // The graph's top follows the data: the next 1, 2 or 5 times a power of
    // ten above the busiest second, from 10 kbit/s up, so a 100 kbit/s audio
    // PID and an 80 Mbit/s transponder both fill it.
    std::uint64_t most = 0;
    for (std::uint32_t age = 0; age < health.SecondsKept(); ++age) {
        const HealthMonitor::Second second = health.SecondAgo(age);
        most = std::max(most, (std::uint64_t{second.inBytes} + second.refusedBytes) * 8);
    }
    top = 10000;
    for (std::uint64_t decade = 10000; top < most; decade *= 10) {
        for (const std::uint64_t step : {1, 2, 5, 10}) {
            top = decade * step;
            if (top >= most) break;
        }
    }
}

void OptionsDialog::FormatRate(const char* label, std::uint64_t bitsPerSecond, char (&out)[32]) {
    if (bitsPerSecond >= 10000000) {
        std::snprintf(out, sizeof out, "%s%llu Mbit/s", label,
                      static_cast<unsigned long long>(bitsPerSecond / 1000000));
    } else {
        std::snprintf(out, sizeof out, "%s%llu kbit/s", label,
                      static_cast<unsigned long long>(bitsPerSecond / 1000));
    }
}

void OptionsDialog::ShowNumber(int id, std::uint64_t value) {
    char text[24] = {};
    std::to_chars(text, text + sizeof text - 1, value);
    SetDlgItemTextA(window_, id, text);
}

void OptionsDialog::ShowFileName() {
    if (window_ != nullptr) SetUtf8Text(IDC_FILE_NAME_EDIT, recorder_.FileName());
}

}  // namespace corvanlet
