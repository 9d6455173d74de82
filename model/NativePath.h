#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <string>

// The form of a path for the Win32 calls: absolute, with native separators,
// and with "\\?\" before one of 260 characters or more, so that the system
// looks at the file and doesn't cut the path off.
inline std::wstring nativeLongPath(const QString &path)
{
    const QString absolute = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (absolute.size() < 260 || absolute.startsWith(QLatin1String("\\\\")))
        return absolute.toStdWString();
    return (QStringLiteral("\\\\?\\") + absolute).toStdWString();
}
