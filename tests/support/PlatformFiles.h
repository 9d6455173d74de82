#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

// Links and the file system's own behaviour where a test needs to know which
// system runs it.

// Whether this Windows program runs under wine, whose file system keeps some
// Unix behaviour (it renames a folder that holds an open file).
inline bool underWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

// Gives the entry Windows' hidden attribute (elsewhere a leading dot hides it).
inline void markHidden(const QString &path)
{
#ifdef Q_OS_WIN
    const QString native = QDir::toNativeSeparators(path);
    const auto name = reinterpret_cast<const wchar_t *>(native.utf16());
    SetFileAttributesW(name, GetFileAttributesW(name) | FILE_ATTRIBUTE_HIDDEN);
#else
    Q_UNUSED(path)
#endif
}

// A symbolic link at link that leads to target (stored as given: a relative
// target stays relative to the link's folder). QFile::link makes a shortcut
// (.lnk) on Windows, which the file system never follows: there the link is
// a real symbolic link (CreateSymbolicLinkW), and false with *why when the
// system can't make one (wine reports success but makes none; Windows needs
// developer mode or the privilege), so that the test skips with that reason.
inline bool makeSymLink(const QString &target, const QString &link, QString *why)
{
#ifdef Q_OS_WIN
    const QString native = QDir::toNativeSeparators(link);
    const QString stored = QDir::toNativeSeparators(target);
    const QString resolved = QFileInfo(QFileInfo(link).absoluteDir(), target).absoluteFilePath();
    DWORD flags = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (QFileInfo(resolved).isDir())
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    if (!CreateSymbolicLinkW(reinterpret_cast<const wchar_t *>(native.utf16()),
            reinterpret_cast<const wchar_t *>(stored.utf16()), flags)) {
        *why = QStringLiteral("no symbolic link can be made here: ")
            + qt_error_string(int(GetLastError()));
        return false;
    }
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(native.utf16()));
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *why = QStringLiteral("no symbolic link can be made here: CreateSymbolicLinkW reported "
                              "success but made none (wine)");
        return false;
    }
    return true;
#else
    if (QFile::link(target, link))
        return true;
    *why = QStringLiteral("no symbolic link can be made at ") + link;
    return false;
#endif
}
