// Library attach and detach. The attach notice records where the library is;
// everything else happens in the static RecorderModule's construction and
// destruction, which the runtime runs around this function.
#include <cstdio>
#include <cstring>

#include <windows.h>

#include "capture/block_ring.h"
#include "module/process_values.h"

namespace {

// "Options.ini" beside the library, or empty when the path does not fit.
void SetSettingsPath(HINSTANCE instance) {
    char path[32768] = {};
    const DWORD length = GetModuleFileNameA(instance, path, sizeof path);
    corvanlet::moduleSettingsPath[0] = '\0';
    if (length == 0 || length >= sizeof path) return;
    char* slash = std::strrchr(path, '\\');
    if (slash == nullptr) return;
    slash[1] = '\0';
    const int written = std::snprintf(corvanlet::moduleSettingsPath,
                                      sizeof corvanlet::moduleSettingsPath, "%sOptions.ini", path);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof corvanlet::moduleSettingsPath) {
        corvanlet::moduleSettingsPath[0] = '\0';
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        corvanlet::moduleInstance = instance;
        SetSettingsPath(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        // The process is ending: its other threads, the rings' writers among
        // them, are already gone. Closing rings must not wait for them.
        corvanlet::BlockRing::WritersTerminated();
    }
    return TRUE;
}
