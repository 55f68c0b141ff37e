// CorvanletModule: the one object that owns everything the library does
// between load and unload: what the handshake gave, the recorder and its
// settings, and the options dialog. The exports are its methods.
//
// Threads: the exports may be called from any thread of the host, one after
// another or at once; a lock lets one in at a time (and the same thread again,
// from inside the module's modal dialog). A thread waiting for the lock still
// answers messages sent to its windows, so the filter messages the module
// sends to the host's window cannot deadlock against it.
#pragma once

#include <windows.h>

#include "corvanlet/host_api.h"
#include "dialog/options_dialog.h"
#include "host/host_link.h"
#include "platform/call_lock.h"
#include "recorder/recorder_module.h"
#include "recorder/settings.h"

namespace corvanlet {

class CorvanletModule {
  public:
    // Finds its own library, and "Options.ini" beside it.
    CorvanletModule();
    // At unload or process exit, as the detach notice said: stops a running
    // recording, every accepted block written, without waiting on anything a
    // dead thread or the loader lock holds.
    ~CorvanletModule();
    CorvanletModule(const CorvanletModule&) = delete;
    CorvanletModule& operator=(const CorvanletModule&) = delete;

    [[nodiscard]] bool GetInfo(ModuleInfo* info);
    [[nodiscard]] bool GetSubInfo(ModuleEntryInfo* entry);
    [[nodiscard]] bool Start();
    [[nodiscard]] bool Stop();
    [[nodiscard]] bool SetChannel(const ChannelInfo* channel);
    [[nodiscard]] bool ShowOptionsDialog();

    // The library's detach notice: how the library goes, for the object's
    // destruction that follows it.
    static void NoteDetach(platform::Teardown how);

  private:
    static HMODULE OwnLibrary();

    const HMODULE library_;
    HostLink link_;
    HINSTANCE dialogInstance_ = nullptr;  // where the template is looked up: the handshake sets it
    platform::CallLock lock_;
    RecorderModule recorder_;
    OptionsDialog dialog_;
};

}  // namespace corvanlet
