// A Windows test program with one top-level window that ends when the window
// is closed (WM_CLOSE), as a suite program asked to close would:
//
//   close_window.exe
//
// Exit code 0 when its window was closed, 1 when no window could be made.
// Ends by itself after five minutes.

#include <windows.h>

namespace {

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int wmain()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"close_window";
    if (RegisterClassW(&windowClass) == 0)
        return 1;
    const HWND window = CreateWindowExW(0, L"close_window", L"close_window", WS_OVERLAPPEDWINDOW, 0,
        0, 200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr)
        return 1;
    SetTimer(window, 1, 5 * 60 * 1000, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER)
            return 2;
        DispatchMessageW(&message);
    }
    return 0;
}
