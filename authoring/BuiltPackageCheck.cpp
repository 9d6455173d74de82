#include "BuiltPackageCheck.h"

#include <QAtomicInt>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <limits>

#include "LoadedPackage.h"
#include "PackageFile.h"

namespace BuiltPackageCheck {

namespace {

// The first way the tree registered at base (":<map root>/") differs from
// sizes, or an empty string.
QString treeProblem(const QString &base, const QHash<QString, qint64> &sizes)
{
    if (!QFileInfo(base + QStringLiteral("upgrade/upgrade_config.xml")).isFile())
        return QStringLiteral("the package does not show upgrade/upgrade_config.xml");
    QDirIterator it(
        base + QStringLiteral("upgrade"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    int found = 0;
    while (it.hasNext()) {
        it.next();
        const QString alias = it.filePath().mid(base.size());
        if (!sizes.contains(alias))
            return QStringLiteral("the package holds %1, which is not in the tree (a "
                                  "name changed)")
                .arg(alias);
        if (it.fileInfo().size() != sizes.value(alias))
            return QStringLiteral("%1 has %2 bytes in the package but %3 in the tree")
                .arg(alias)
                .arg(it.fileInfo().size())
                .arg(sizes.value(alias));
        ++found;
    }
    if (found == sizes.size())
        return QString();
    for (auto it = sizes.cbegin(); it != sizes.cend(); ++it) {
        if (!QFileInfo(base + it.key()).isFile())
            return QStringLiteral("%1 is missing from the package (dropped "
                                  "or renamed)")
                .arg(it.key());
    }
    return QStringLiteral("the package holds %1 files instead of %2").arg(found).arg(sizes.size());
}

// Why the package at path can't be opened as the installer opens it, or an
// empty string once it is registered under mapRoot.
QString openProblem(LoadedPackage &package, const QString &path, const QString &mapRoot)
{
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("the written package cannot be read: %1").arg(file.errorString());
        const qint64 size = file.size();
        if (size <= 0 || size > PackageFile::maxFileSize)
            return QStringLiteral("the package would be %1 bytes; a package must be between 1 "
                                  "byte and %2")
                .arg(size)
                .arg(PackageFile::maxFileSizeText());
    }
    package.setMapRoot(mapRoot);
    switch (package.open(path)) {
    case LoadedPackage::Result::Registered:
        break;
    case LoadedPackage::Result::Damaged:
    case LoadedPackage::Result::NotResourceFile:
        return QStringLiteral("the written package fails the structural check: %1")
            .arg(package.detail());
    case LoadedPackage::Result::TooLarge:
        return QStringLiteral("the written package is larger than the installer reads: %1")
            .arg(package.detail());
    default:
        return QStringLiteral("the written package cannot be read: %1").arg(package.detail());
    }
    if (!QFileInfo(QLatin1Char(':') + mapRoot).isDir())
        return QStringLiteral("the written package cannot be registered");
    return QString();
}

} // namespace

QString problem(const QString &path, const QHash<QString, qint64> &sizes)
{
    static QAtomicInt counter;
    const QString mapRoot
        = QStringLiteral("/package-builder-check-%1").arg(counter.fetchAndAddRelaxed(1));
    LoadedPackage package;
    QString problem = openProblem(package, path, mapRoot);
    if (problem.isEmpty())
        problem = treeProblem(QLatin1Char(':') + mapRoot + QLatin1Char('/'), sizes);
    if (!problem.isEmpty())
        return problem;
    const LoadedPackage::Result verdict = package.verify();
    const PackageManifest::Result &manifest = package.manifestResult();
    if (manifest.verdict != PackageManifest::Verdict::Verified)
        return QStringLiteral("the package does not match its manifest (did a file change "
                              "while the package was built?): %1")
            .arg(manifest.detail());
    if (verdict != LoadedPackage::Result::Registered)
        return QStringLiteral("the installer refuses the written package: %1")
            .arg(package.detail());
    return QString();
}

} // namespace BuiltPackageCheck
