// Library attach and detach. Everything else happens in the module object:
// it is built at the first export call, and the runtime destroys it after
// the detach notice.
#include <windows.h>

#include "module/corvanlet_module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // A non-null `reserved` means the process is ending, its other threads
        // already gone; otherwise the host frees the library under the loader
        // lock. Either way, what the destruction may wait for changes.
        corvanlet::CorvanletModule::NoteDetach(reserved != nullptr
                                                   ? corvanlet::platform::Teardown::kProcessExit
                                                   : corvanlet::platform::Teardown::kUnload);
    }
    return TRUE;
}
