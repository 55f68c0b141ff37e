// The module's process-wide values. Each is set in one place and read
// elsewhere; each is none or 0 until it is set.
#pragma once

#include <atomic>
#include <cstdint>

#include <windows.h>

namespace corvanlet {

class StreamFilter;

// The library's instance handle (set at library attach).
extern HINSTANCE moduleInstance;
// Full path of "Options.ini" beside the library, or empty when that path does
// not fit (then the module reads defaults and writes no settings).
constexpr std::size_t kSettingsPathSize = 260;
extern char moduleSettingsPath[kSettingsPathSize];
// Where the dialog template is looked up (set by the handshake).
extern HINSTANCE dialogInstance;
// The host's window, which takes the filter messages (set by the handshake).
extern HWND hostWindow;
// The host's id for the module, 256 when the host gave 0 (set by the handshake).
extern std::uint32_t hostAssignedId;
// The filter that receives the host's data blocks, or none. Written on the
// control thread, read on the host's delivery thread.
extern std::atomic<StreamFilter*> activeFilter;

}  // namespace corvanlet
