// OptionsDialog: the module's one window. It edits the recorder's PID, file
// name and directory, starts and stops a recording, and shows its elapsed
// time, size, what was lost and the errors in the stream, read from the
// recorder once a second.
#pragma once

#include <cstdint>
#include <memory>

#include <windows.h>

#include "dialog/pid_text.h"
#include "platform/call_lock.h"
#include "recorder/recorder_module.h"

namespace corvanlet {

class OptionsDialog {
  public:
    // Every touch of `recorder` happens under `lock`.
    OptionsDialog(RecorderModule& recorder, platform::CallLock& lock)
        : recorder_(recorder), lock_(lock) {}
    OptionsDialog(const OptionsDialog&) = delete;
    OptionsDialog& operator=(const OptionsDialog&) = delete;

    // Runs the dialog modally on the calling thread, from the template in
    // `templates`, until it is closed; then saves the settings. A dialog
    // already open is brought to the front instead. Call without the lock.
    void Show(HINSTANCE templates);

    // Under the lock: shows the recorder's state (enabled controls, size and
    // time), or does nothing while the dialog is closed.
    void Refresh();
    // Under the lock: shows the recorder's file name in its field.
    void ShowFileName();

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnInit(HWND window);
    INT_PTR OnCommand(int id, int code);
    // The Service list: browses while nothing records and the dialog is
    // open, and shows what the browse found (or why it found nothing).
    void ShowServices();
    void FillServices(ServiceBrowse::State state, bool noNames);
    void OnServiceChosen();
    void ShowGuideChoices();
    void OnStart();
    void ShowNumber(int id, std::uint64_t value);
    // The rate beside the graph, the graph's scale, and a redraw of it.
    void ShowRate();
    bool wasRecording_ = false;             // at the last Refresh
    static constexpr int kWideText = 1000;  // a field's text, in UTF-16 units
    void SetUtf8Text(int id, const char* text);
    // The field's text in UTF-8 (empty when it does not fit `size`).
    void GetUtf8Text(int id, char* out, std::size_t size);
    // WM_DRAWITEM of the graph: the last minute's seconds as bars, what the
    // ring refused stacked in red on what came in.
    void DrawGraph(const DRAWITEMSTRUCT& item);
    void DrawBars(HDC dc, int width, int height);
    static void GraphScale(const HealthMonitor& health, std::uint64_t& top);
    // "now 1234 kbit/s", "top 20 Mbit/s".
    static void FormatRate(const char* label, std::uint64_t bitsPerSecond, char (&out)[32]);

    RecorderModule& recorder_;
    platform::CallLock& lock_;
    HWND window_ = nullptr;  // the dialog's own window while it is open
    // What the Service list shows: the browse's last list, and what it
    // said when the list was filled.
    std::unique_ptr<ts::ServiceListView> services_ = std::make_unique<ts::ServiceListView>();
    struct Shown {
        ServiceBrowse::State state = ServiceBrowse::State::kOff;
        bool noNames = false;
        std::uint32_t changes = 0;
        bool operator==(const Shown&) const = default;
    };
    Shown shown_;
    bool filled_ = false;
};

}  // namespace corvanlet
