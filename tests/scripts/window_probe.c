/* Prints "window ok" when it can create a window: a wine program that joined
   a session without a display cannot. */
#include <stdio.h>
#include <windows.h>

int main(void) {
    HWND window = CreateWindowExA(0, "STATIC", "probe", WS_OVERLAPPED, 0, 0, 10, 10, NULL, NULL,
                                  NULL, NULL);
    printf(window != NULL ? "window ok\n" : "no window\n");
    if (window != NULL) DestroyWindow(window);
    return window != NULL ? 0 : 1;
}
