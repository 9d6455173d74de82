#pragma once

// Windows only, and free of Qt: the Windows layers share it.
#include <windows.h>

// Closes a handle when it goes out of scope (an invalid or null one is left).
class HandleCloser
{
public:
    explicit HandleCloser(HANDLE handle)
        : handle_(handle)
    { }
    ~HandleCloser()
    {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr)
            CloseHandle(handle_);
    }
    HandleCloser(const HandleCloser &) = delete;
    HandleCloser &operator=(const HandleCloser &) = delete;

private:
    HANDLE handle_;
};
