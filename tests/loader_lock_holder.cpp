// A library whose attach notice holds the loader lock until the test lets it
// go: while it does, as during an unload, no thread can start or exit.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE entered = OpenEventA(EVENT_MODIFY_STATE, FALSE, "CorvanletLoaderLockEntered");
        HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, "CorvanletLoaderLockRelease");
        if (entered != nullptr) SetEvent(entered);
        if (release != nullptr) WaitForSingleObject(release, 20000);
        if (entered != nullptr) CloseHandle(entered);
        if (release != nullptr) CloseHandle(release);
    }
    return TRUE;
}
