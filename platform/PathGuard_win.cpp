#include "PathGuard.h"

#include <QDir>

#include "WinFileSystem.h"

// The walk and the resolution of junctions and symbolic links are
// WinFileSystem::firstEscape's (checked under wine); this adapts the types.

namespace {

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QString fromNative(const std::wstring &path)
{
    return QDir::fromNativeSeparators(QString::fromStdWString(path));
}

} // namespace

bool PathGuard::walk(const QString &known, const QString &folder, Escape *escape)
{
    std::wstring link;
    std::wstring target;
    if (!WinFileSystem::firstEscape(native(main), native(folder), &link, &target, native(known)))
        return true;
    *escape = { fromNative(link), fromNative(target) };
    return false;
}

bool PathGuard::physicalCheck(const QString &raw, bool parentOnly, Escape *escape)
{
    // Windows folds ".." in a path as text before it looks at the file
    // system, as the cleaned path was folded.
    Q_UNUSED(raw)
    Q_UNUSED(parentOnly)
    Q_UNUSED(escape)
    return true;
}
