#include "SuiteGuard.h"

#include <QDir>
#include <QFileInfo>

#include "SuiteLayout.h"

namespace {

Qt::CaseSensitivity fileNameCase()
{
#ifdef Q_OS_WIN
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

#ifndef Q_OS_WIN
bool sameResolvedFile(const QString &processPath, const QString &expected)
{
    const QString resolved = QFileInfo(expected).canonicalFilePath();
    return !resolved.isEmpty() && processPath == resolved;
}
#endif

} // namespace

namespace SuiteGuard {

QString programFolder(const QString &mainPath, const QString &top, const QString &exePath)
{
    QDir dir(mainPath);
    dir.cd(top); // a missing folder leaves the path where it was
    if (!exePath.isEmpty())
        dir.cd(exePath);
    return dir.absolutePath();
}

QStringList listExecutables(const QString &dir)
{
    QStringList names;
    const QDir folder(dir);
    if (!folder.exists())
        return names;
    const QStringList files = folder.entryList(QDir::Files);
    for (const QString &name : files) {
        if (name.size() >= 5 && name.endsWith(QLatin1String("exe"), fileNameCase()))
            names.append(name);
    }
    return names;
}

QStringList listSuiteExecutables(const QString &mainPath, const QString &exePath)
{
    return listExecutables(programFolder(mainPath, SuiteLayout::platformFolderName(), exePath))
        + listExecutables(programFolder(mainPath, SuiteLayout::productFolderName(), exePath));
}

QString findBlockingProcess(const QList<ProcessEntry> &processes, const QStringList &names,
    const QString &platformDir, const QString &productDir, const ImagePathFunction &imagePath)
{
    const Qt::CaseSensitivity cs = fileNameCase();
    for (const ProcessEntry &process : processes) {
        if (!names.contains(process.name, cs))
            continue;
        QString path;
        bool blocks = true; // a path that can't be read blocks
        if (imagePath(process.pid, &path)) {
            const QString inPlatform
                = QDir::toNativeSeparators(platformDir + QLatin1Char('/') + process.name);
            const QString inProduct
                = QDir::toNativeSeparators(productDir + QLatin1Char('/') + process.name);
            blocks = path.compare(inPlatform, cs) == 0 || path.compare(inProduct, cs) == 0;
#ifndef Q_OS_WIN
            // /proc gives the program's path with every link resolved; a main
            // directory reached through a link must still match.
            if (!blocks)
                blocks = sameResolvedFile(path, inPlatform) || sameResolvedFile(path, inProduct);
#endif
        }
        if (blocks && process.name.contains(QLatin1String("upgrade_install")))
            blocks = false;
        if (blocks)
            return process.name;
    }
    return QString();
}

QString findRunningSuiteProcess(const QString &mainPath, const QString &exePath)
{
    const QStringList names = listSuiteExecutables(mainPath, exePath);
    QList<ProcessEntry> processes;
    if (!ProcessList::snapshot(&processes))
        return QString();
    return findBlockingProcess(processes, names,
        programFolder(mainPath, SuiteLayout::platformFolderName(), exePath),
        programFolder(mainPath, SuiteLayout::productFolderName(), exePath),
        [](qint64 pid, QString *path) { return ProcessList::imagePath(pid, path); });
}

} // namespace SuiteGuard
