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

bool isFolderProgram(
    const QString &path, const QString &name, const QString &platformDir, const QString &productDir)
{
    const Qt::CaseSensitivity cs = fileNameCase();
    const QString inPlatform = QDir::toNativeSeparators(platformDir + QLatin1Char('/') + name);
    const QString inProduct = QDir::toNativeSeparators(productDir + QLatin1Char('/') + name);
    if (path.compare(inPlatform, cs) == 0 || path.compare(inProduct, cs) == 0)
        return true;
#ifndef Q_OS_WIN
    // /proc gives the program's path with every link resolved; a main
    // directory reached through a link must still match.
    return sameResolvedFile(path, inPlatform) || sameResolvedFile(path, inProduct);
#else
    return false;
#endif
}

QList<RunningProgram> findBlockingPrograms(const QList<ProcessEntry> &processes,
    const QStringList &names, const QString &platformDir, const QString &productDir,
    const ImagePathFunction &imagePath, const UserFunction &user)
{
    QList<RunningProgram> found;
    for (const ProcessEntry &process : processes) {
        if (!names.contains(process.name, fileNameCase())
            || process.name.contains(QLatin1String("upgrade_install")))
            continue;
        QString path;
        // A path that can't be read blocks.
        if (imagePath(process.pid, &path)
            && !isFolderProgram(path, process.name, platformDir, productDir))
            continue;
        RunningProgram program;
        program.name = process.name;
        program.pid = process.pid;
        program.path = path;
        if (user)
            program.user = user(process.pid);
        found.append(program);
    }
    return found;
}

QString findBlockingProcess(const QList<ProcessEntry> &processes, const QStringList &names,
    const QString &platformDir, const QString &productDir, const ImagePathFunction &imagePath)
{
    const QList<RunningProgram> found
        = findBlockingPrograms(processes, names, platformDir, productDir, imagePath, nullptr);
    return found.isEmpty() ? QString() : found.first().name;
}

QList<RunningProgram> findRunningSuitePrograms(const QString &mainPath, const QString &exePath)
{
    const QStringList names = listSuiteExecutables(mainPath, exePath);
    QList<ProcessEntry> processes;
    if (names.isEmpty() || !ProcessList::snapshot(&processes))
        return {};
    return findBlockingPrograms(
        processes, names, programFolder(mainPath, SuiteLayout::platformFolderName(), exePath),
        programFolder(mainPath, SuiteLayout::productFolderName(), exePath),
        [](qint64 pid, QString *path) { return ProcessList::imagePath(pid, path); },
        [](qint64 pid) {
            QString user;
            ProcessList::processUser(pid, &user);
            return user;
        });
}

QString findRunningSuiteProcess(const QString &mainPath, const QString &exePath)
{
    const QList<RunningProgram> found = findRunningSuitePrograms(mainPath, exePath);
    return found.isEmpty() ? QString() : found.first().name;
}

} // namespace SuiteGuard
