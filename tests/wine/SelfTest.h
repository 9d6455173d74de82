#pragma once

// What the Windows self-tests share: UTF-8 output and one line per check.

#include <windows.h>

#include <cstdio>
#include <string>

namespace SelfTest {

inline int failures = 0;

inline std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(
        CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(
        CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

// Prints "ok WHAT: DETAIL" or "FAIL WHAT: DETAIL" and counts the failures.
inline void check(bool ok, const char *what, const std::wstring &detail = std::wstring())
{
    std::printf(
        "%s %s%s%s\n", ok ? "ok" : "FAIL", what, detail.empty() ? "" : ": ", utf8(detail).c_str());
    std::fflush(stdout);
    if (!ok)
        ++failures;
}

} // namespace SelfTest
