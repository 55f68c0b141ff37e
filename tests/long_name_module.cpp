// An empty library with a file name longer than the registration's name
// field, loaded by the filter tests.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
