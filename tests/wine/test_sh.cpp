// A test double of `sh` for the Windows tests under wine, which has no sh.exe.
// Built as tests/shell/sh.exe in the Windows build tree and never installed:
// the installer runs a package's .bat scripts through `sh` found on the search
// path, and the tests that run under wine put this folder there. It runs the
// handful of commands the test packages use, one per line:
//
//   # comment                     blank lines too
//   echo WORDS [> FILE | >> FILE | >&2]
//   printf FORMAT [ARGUMENTS] [> FILE | >> FILE | >&2]   \n \t \r \\ %s %% in FORMAT
//   exit [N]      sleep SECONDS      touch FILE...      read NAME
//   rm [-r] [-f] PATH...          -rf too; read-only entries go as well
//   kill -9 PID                   ends the process as a crash would (0xC000013A)
//   head -c N /dev/zero [| tr '\0' C] [>&2]      N zero bytes, or N times C
//   mv SOURCE TARGET              a file or folder, not onto an existing one
//   kill -SEGV $$                 ends this process as a crash does
//   ulimit ...                    does nothing
//   COMMAND & COMMAND             the first runs in a child sh.exe, not waited for
//   COMMAND; COMMAND              one after the other
//
// Words are split at blanks and before an unquoted '>', '...' and "..." quote,
// $$ is this process's id, $PWD the working folder and "$@" the script's
// arguments. Anything else is named on standard error and ends the script with
// 127, as sh does for a command it can't find.
//
//   sh.exe SCRIPT [ARGUMENTS]       sh.exe -c COMMAND

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

namespace {

std::wstring wide(const std::string &text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n);
    return out;
}

std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(
        CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string currentFolder()
{
    wchar_t buffer[32768];
    const DWORD n = GetCurrentDirectoryW(32768, buffer);
    return n ? utf8(std::wstring(buffer, n)) : std::string();
}

// The script's arguments, for "$@".
std::vector<std::string> scriptArguments;

// Splits a command into words; quotes group, $$ and $PWD expand outside '...',
// "$@" standing alone gives the script's arguments, one word each.
std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (!quote && !inWord && line.compare(i, 4, "\"$@\"") == 0
            && (i + 4 == line.size() || line[i + 4] == ' ')) {
            out.insert(out.end(), scriptArguments.begin(), scriptArguments.end());
            i += 3;
            continue;
        }
        if (quote) {
            if (c == quote)
                quote = 0;
            else if (quote == '"' && c == '$' && line.compare(i, 2, "$$") == 0) {
                word += std::to_string(GetCurrentProcessId());
                ++i;
            } else if (quote == '"' && c == '$' && line.compare(i, 4, "$PWD") == 0) {
                word += currentFolder();
                i += 3;
            } else
                word += c;
            continue;
        }
        if (c == ' ' || c == '\t') {
            if (inWord)
                out.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        // A redirection after a word ("'x'>&2") is a word of its own; "2>" and
        // ">>" stay together.
        if (c == '>' && inWord && word != ">" && word != "1" && word != "2") {
            out.push_back(word);
            word.clear();
        }
        inWord = true;
        if (c == '\'' || c == '"')
            quote = c;
        else if (c == '$' && line.compare(i, 2, "$$") == 0) {
            word += std::to_string(GetCurrentProcessId());
            ++i;
        } else if (c == '$' && line.compare(i, 4, "$PWD") == 0) {
            word += currentFolder();
            i += 3;
        } else
            word += c;
    }
    if (inWord)
        out.push_back(word);
    return out;
}

int fail(const std::string &text, int code)
{
    std::fprintf(stderr, "sh: %s\n", text.c_str());
    std::fflush(stderr);
    return code;
}

// Starts this program again with "-c COMMAND" and does not wait for it. The
// child belongs to the same job as this process.
int startInBackground(const std::string &command)
{
    wchar_t self[32768];
    const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
    if (n == 0 || n >= 32768)
        return fail("cannot name this program", 126);
    std::wstring line = L"\"" + std::wstring(self, n) + L"\" -c \"";
    for (wchar_t c : wide(command))
        line += c == L'"' ? std::wstring(L"\\\"") : std::wstring(1, c);
    line += L"\"";
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info {};
    if (!CreateProcessW(
            nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return fail("cannot start: " + command, 126);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

// Where a command's output goes: its redirections (>&2, > FILE, >> FILE) are
// taken out of its words.
class Output
{
public:
    ~Output()
    {
        if (opened)
            std::fclose(opened);
    }
    bool redirect(std::vector<std::string> &args, std::string *error)
    {
        std::vector<std::string> rest;
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string &a = args[i];
            if (a == ">&2" || a == "1>&2") {
                file = stderr;
                continue;
            }
            if (i == 0 || a.rfind('>', 0) != 0) {
                rest.push_back(a);
                continue;
            }
            const bool append = a.rfind(">>", 0) == 0;
            std::string target = a.substr(append ? 2 : 1);
            if (target.empty() && i + 1 < args.size())
                target = args[++i];
            if (target.empty()) {
                *error = args[0] + ": redirection without a file";
                return false;
            }
            if (opened)
                std::fclose(opened);
            opened = _wfopen(wide(target).c_str(), append ? L"ab" : L"wb");
            if (!opened) {
                *error = args[0] + ": cannot open " + target;
                return false;
            }
            file = opened;
        }
        args = rest;
        return true;
    }
    // Writes and flushes at once, so that a reader sees each piece as it comes.
    bool write(const std::string &text)
    {
        return std::fwrite(text.data(), 1, text.size(), file) == text.size()
            && std::fflush(file) == 0;
    }

private:
    FILE *file = stdout;
    FILE *opened = nullptr;
};

int echo(std::vector<std::string> args)
{
    Output out;
    std::string error;
    if (!out.redirect(args, &error))
        return fail(error, 1);
    std::string text;
    for (size_t i = 1; i < args.size(); ++i)
        text += (i > 1 ? " " : "") + args[i];
    return out.write(text + '\n') ? 0 : fail("echo: write failed", 1);
}

// printf FORMAT [ARGUMENTS]: the format's escapes and %s (the format repeats
// while arguments are left, as sh's does).
int printFormatted(std::vector<std::string> args)
{
    Output out;
    std::string error;
    if (!out.redirect(args, &error))
        return fail(error, 1);
    if (args.size() < 2)
        return fail("printf: no format", 2);
    const std::string &format = args[1];
    size_t next = 2;
    std::string text;
    do {
        for (size_t i = 0; i < format.size(); ++i) {
            const char c = format[i];
            if (c == '\\' && i + 1 < format.size()) {
                const char e = format[++i];
                text += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            } else if (c == '%' && i + 1 < format.size()) {
                const char f = format[++i];
                if (f == 's')
                    text += next < args.size() ? args[next++] : std::string();
                else
                    text += f;
            } else {
                text += c;
            }
        }
    } while (next < args.size());
    return out.write(text) ? 0 : fail("printf: write failed", 1);
}

int touch(const std::vector<std::string> &args)
{
    for (size_t i = 1; i < args.size(); ++i) {
        HANDLE file = CreateFileW(wide(args[i]).c_str(), FILE_WRITE_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return fail("touch: cannot touch " + args[i], 1);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        SetFileTime(file, nullptr, &now, &now);
        CloseHandle(file);
    }
    return 0;
}

// Removes path, and with recursive a folder with all it holds.
bool removeEntry(const std::wstring &path, bool recursive)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                       : DeleteFileW(path.c_str());
    if (!recursive)
        return false;
    bool ok = true;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                ok = removeEntry(path + L"\\" + name, true) && ok;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(path.c_str()) && ok;
}

int rm(const std::vector<std::string> &args)
{
    bool recursive = false;
    bool force = false;
    int status = 0;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a.size() > 1 && a[0] == '-') {
            recursive = recursive || a.find_first_of("rR") != std::string::npos;
            force = force || a.find('f') != std::string::npos;
            continue;
        }
        const std::wstring path = wide(a);
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (!force)
                status = fail("rm: cannot remove " + a + ": no such file or folder", 1);
        } else if (!removeEntry(path, recursive)) {
            status = fail("rm: cannot remove " + a, 1);
        }
    }
    return status;
}

int kill(const std::vector<std::string> &args)
{
    if (args.size() != 3 || (args[1] != "-9" && args[1] != "-KILL"))
        return fail("kill: only kill -9 PID (test shell)", 2);
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(std::atol(args[2].c_str())));
    // The exit status of a console program ended by Ctrl+C: Windows' nearest
    // to a Unix process killed by a signal, seen by its parent as a crash.
    const bool ended = process && TerminateProcess(process, 0xC000013A);
    if (process)
        CloseHandle(process);
    return ended ? 0 : fail("kill: cannot end " + args[2], 1);
}

// "head -c N /dev/zero", alone or piped into "tr '\0' C", to standard output
// or, with >&2, to standard error.
int zeros(const std::vector<std::string> &args)
{
    size_t next = 4;
    if (args.size() < next || args[1] != "-c" || args[3] != "/dev/zero")
        return fail("head: only head -c N /dev/zero (test shell)", 2);
    char fill = '\0';
    if (args.size() > next && args[next] == "|") {
        if (args.size() < next + 4 || args[next + 1] != "tr" || args[next + 2] != "\\0"
            || args[next + 3].size() != 1)
            return fail("head: only a pipe into tr '\\0' C (test shell)", 2);
        fill = args[next + 3][0];
        next += 4;
    }
    FILE *out = stdout;
    if (args.size() == next + 1 && (args[next] == ">&2" || args[next] == "1>&2"))
        out = stderr;
    else if (args.size() != next)
        return fail("head: unexpected " + args[next] + " (test shell)", 2);
    const std::string chunk(65536, fill);
    for (unsigned long long left = std::strtoull(args[2].c_str(), nullptr, 10); left > 0;) {
        const size_t n = left < chunk.size() ? size_t(left) : chunk.size();
        if (std::fwrite(chunk.data(), 1, n, out) != n)
            return fail("head: write failed", 1);
        left -= n;
    }
    return std::fflush(out) == 0 ? 0 : fail("head: write failed", 1);
}

// One command; sets done when the script is to end (exit).
int run(const std::string &command, bool &done)
{
    const std::vector<std::string> args = words(command);
    if (args.empty())
        return 0;
    const std::string &name = args[0];
    if (name == "echo")
        return echo(args);
    if (name == "exit") {
        done = true;
        return args.size() > 1 ? std::atoi(args[1].c_str()) : 0;
    }
    if (name == "sleep") {
        const double seconds = args.size() > 1 ? std::atof(args[1].c_str()) : 0;
        Sleep(DWORD(seconds * 1000));
        return 0;
    }
    if (name == "touch")
        return touch(args);
    if (name == "printf")
        return printFormatted(args);
    if (name == "ulimit")
        return 0;
    if (name == "kill" && args.size() == 3 && args[1] == "-SEGV"
        && args[2] == std::to_string(GetCurrentProcessId())) {
        std::fflush(stdout);
        std::fflush(stderr);
        ExitProcess(0xC0000005); // STATUS_ACCESS_VIOLATION
    }
    if (name == "rm")
        return rm(args);
    if (name == "kill")
        return kill(args);
    if (name == "head")
        return zeros(args);
    if (name == "mv") {
        if (args.size() != 3)
            return fail("mv: SOURCE TARGET only (test shell)", 2);
        return MoveFileExW(wide(args[1]).c_str(), wide(args[2]).c_str(), 0)
            ? 0
            : fail("mv: cannot move " + args[1] + " to " + args[2], 1);
    }
    if (name == "read") {
        char buffer[4096];
        return std::fgets(buffer, sizeof buffer, stdin) ? 0 : 1;
    }
    done = true;
    return fail(name + ": command not found (test shell)", 127);
}

// A line: commands before an unquoted '&' start in the background, those
// before an unquoted ';' run first.
int runLine(const std::string &line, bool &done)
{
    size_t start = 0;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote) {
            quote = c == quote ? 0 : quote;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == ';') {
            const int code = run(line.substr(start, i - start), done);
            if (done)
                return code;
            start = i + 1;
        } else if (c == '&' && (i == 0 || line[i - 1] != '>')) {
            const int code = startInBackground(line.substr(start, i - start));
            if (code != 0) {
                done = true;
                return code;
            }
            start = i + 1;
        }
    }
    return run(line.substr(start), done);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    bool done = false;
    if (argc == 3 && std::wstring(argv[1]) == L"-c")
        return runLine(utf8(argv[2]), done);
    if (argc < 2)
        return fail("usage: sh SCRIPT [ARGUMENTS] | sh -c COMMAND (test shell)", 2);
    for (int i = 2; i < argc; ++i)
        scriptArguments.push_back(utf8(argv[i]));
    FILE *script = _wfopen(argv[1], L"rb");
    if (!script)
        return fail("cannot open " + utf8(argv[1]), 127);
    std::string content;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, script)) > 0)
        content.append(buffer, n);
    std::fclose(script);
    int status = 0;
    size_t pos = 0;
    while (!done && pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        status = runLine(line.substr(first), done);
    }
    return status;
}
