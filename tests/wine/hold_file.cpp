// A Windows test program that holds a file open with no sharing, as another
// program on the machine would, until it is told to let go:
//
//   hold_file.exe FILE READY STOP
//
// Opens FILE (no read, write or delete sharing), then creates READY and waits
// until STOP appears (at most five minutes). Exit code 0 when it held the
// file, 1 when FILE could not be opened.

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: hold_file FILE READY STOP\n");
        return 2;
    }
    HANDLE held = CreateFileW(
        argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_file: cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE)
        CloseHandle(ready);
    for (int waited = 0; waited < 3000; ++waited) {
        if (GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    CloseHandle(held);
    return 0;
}
