// A test double of the suite's database helper for the Windows tests under
// wine, where the shell script the Linux tests put in its place can't run.
// Built as tests/wine/helper_double.exe and never installed; a test copies it
// to where the installer looks for its helper, with a script for the test
// shell beside it, named as the copy with ".sh" for ".exe". When run it
// answers --help with 0 at once (the pre-flight's question whether it starts);
// otherwise it runs `sh.exe SCRIPT ARGUMENTS` with its own standard handles
// and working folder, and ends as sh ended (a crash too).

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// One argument as the C runtime splits a command line.
std::wstring quoted(const std::wstring &argument)
{
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && std::wstring(argv[1]) == L"--help")
        return 0;
    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    if (length == 0 || length >= 32768)
        return 126;
    std::wstring script(self, length);
    const size_t dot = script.find_last_of(L'.');
    if (dot != std::wstring::npos && dot > script.find_last_of(L'\\'))
        script.erase(dot);
    std::wstring line = L"sh.exe " + quoted(script + L".sh");
    for (int i = 1; i < argc; ++i)
        line += L" " + quoted(argv[i]);

    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info {};
    if (!CreateProcessW(
            nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        std::fprintf(stderr, "helper double: cannot start sh.exe\n");
        return 127;
    }
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    // A code in the range of exceptions (sh's crash) makes this end a crash
    // too, as QProcess judges it.
    ExitProcess(UINT(code));
}
