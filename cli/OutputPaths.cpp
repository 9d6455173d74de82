#include "OutputPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include "PackageSignature.h"
#include "RegularFile.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("UnattendedUpgrade", text);
}

// The absolute path with the part of it that exists resolved (links, ".."),
// the rest as it is: two names of one place compare equal.
QString resolved(const QString &path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QStringList rest;
    for (;;) {
        const QString canonical = QFileInfo(existing).canonicalFilePath();
        if (!canonical.isEmpty())
            return QDir::cleanPath(QDir(canonical).filePath(rest.join(QLatin1Char('/'))));
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        rest.prepend(QFileInfo(existing).fileName());
        existing = parent;
    }
}

#ifdef Q_OS_WIN
const Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
const Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

// What the file may not replace: the package, the record, the main directory
// but for its logs folder.
QString placeRefusal(
    const QString &option, const QString &path, const QString &packagePath, const QString &mainPath)
{
    const QString named = QDir::toNativeSeparators(path);
    const QString target = resolved(path);
    const auto inside = [&](const QString &folder) {
        const QString resolvedFolder = resolved(folder);
        return target.startsWith(resolvedFolder + QLatin1Char('/'), pathCase)
            || (resolvedFolder == QStringLiteral("/") && target.startsWith(resolvedFolder));
    };
    if (!packagePath.isEmpty()
        && (OutputPaths::samePlace(path, packagePath)
            || OutputPaths::samePlace(path, PackageSignature::signaturePath(packagePath))))
        return tr("选项%1不能指向升级包或其签名文件:%2").arg(option, named);
    const QString installDir = UpgradeConstants::installDir();
    const QStringList records = mainPath.isEmpty()
        ? QStringList { SuiteLayout::installationRecord(installDir) }
        : SuiteLayout::recordCopies(installDir, mainPath);
    for (const QString &record : records) {
        if (OutputPaths::samePlace(path, record))
            return tr("选项%1不能指向安装信息文件:%2").arg(option, named);
    }
    // The main directory holds the journal, the backup and the lock that
    // an interrupted upgrade needs; only its logs folder is for logs.
    if (!mainPath.isEmpty() && (OutputPaths::samePlace(path, mainPath) || inside(mainPath))
        && !inside(QDir(mainPath).filePath(QStringLiteral("logs"))))
        return tr("选项%1在主目录中只能指向logs文件夹:%2").arg(option, named);
    return QString();
}

} // namespace

namespace OutputPaths {

bool samePlace(const QString &a, const QString &b)
{
    return QString::compare(resolved(a), resolved(b), pathCase) == 0;
}

QString refusal(
    const QString &option, const QString &path, const QString &packagePath, const QString &mainPath)
{
    if (path.isEmpty())
        return QString();
    const QString named = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    // The file replaces what is there by a rename; anything else there stays.
    if (info.isSymLink())
        return tr("选项%1不能指向符号链接:%2").arg(option, named);
    if ((info.exists() && !info.isFile()) || RegularFile::isSpecial(path))
        return tr("选项%1指向的不是普通文件:%2").arg(option, named);
    // Known before anything starts, rather than after the upgrade.
    if (!QFileInfo(info.absolutePath()).isDir())
        return tr("选项%1指向的文件夹不存在:%2")
            .arg(option, QDir::toNativeSeparators(info.absolutePath()));
    return placeRefusal(option, path, packagePath, mainPath);
}

} // namespace OutputPaths
