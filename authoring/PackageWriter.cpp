#include "PackageWriter.h"

#include <QDir>
#include <QFile>
#include <QVector>

#include "PackageManifest.h"
#include "ResourceWriter.h"
#include "UpgradeConstants.h"

namespace PackageWriter {

namespace {

QString placeholderAlias(const QString &dir)
{
    return dir + QLatin1Char('/') + UpgradeConstants::placeholderFileName();
}

// upgrade/manifest.sha256: every file of the package with its SHA-256, the
// placeholder files included. Its size, or -1 with *error.
qint64 writeManifest(
    const PackageSource::Result &source, const QString &manifestPath, QString *error)
{
    QVector<PackageManifest::Entry> entries;
    const QString prefix = QStringLiteral("upgrade/");
    for (const PackageSource::File &entry : source.files) {
        QString reason;
        const QByteArray digest = PackageManifest::hashFile(entry.sourcePath, &reason);
        if (digest.isEmpty()) {
            *error = QStringLiteral("%1 cannot be read: %2").arg(entry.alias, reason);
            return -1;
        }
        entries.append({ digest, entry.alias.mid(prefix.size()) });
    }
    const QByteArray empty = PackageManifest::hashBytes(nullptr, 0);
    for (const QString &dir : source.emptyDirs)
        entries.append({ empty, placeholderAlias(dir.mid(prefix.size())) });
    const QByteArray text = PackageManifest::format(entries);
    QFile file(manifestPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush()) {
        *error = QStringLiteral("cannot write the manifest %1: %2")
                     .arg(QDir::toNativeSeparators(manifestPath), file.errorString());
        return -1;
    }
    return text.size();
}

// The package itself: every file under its alias, the placeholder in every
// empty folder, the manifest last.
bool writePackage(const PackageSource::Result &source, const QString &packagePath,
    const QString &placeholderPath, const QString &manifestPath, QString *error)
{
    ResourceWriter writer;
    bool ok = true;
    for (const PackageSource::File &entry : source.files)
        ok = ok && writer.addFile(entry.alias, entry.sourcePath);
    for (const QString &dir : source.emptyDirs)
        ok = ok && writer.addFile(placeholderAlias(dir), placeholderPath);
    ok = ok
        && writer.addFile(QStringLiteral("upgrade/") + PackageManifest::fileName(), manifestPath);
    if (!ok || !writer.write(packagePath)) {
        *error = QStringLiteral("cannot write the package: %1").arg(writer.errorString());
        return false;
    }
    return true;
}

} // namespace

bool write(
    const PackageSource::Result &source, const QString &work, Written *written, QString *error)
{
    const QString placeholderPath
        = work + QLatin1Char('/') + UpgradeConstants::placeholderFileName();
    {
        QFile placeholder(placeholderPath);
        if (!placeholder.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write the placeholder file: %1")
                         .arg(placeholder.errorString());
            return false;
        }
    }
    const QString packagePath = work + QStringLiteral("/package.rcc");
    const QString manifestPath = work + QLatin1Char('/') + PackageManifest::fileName();
    const qint64 manifestSize = writeManifest(source, manifestPath, error);
    if (manifestSize < 0
        || !writePackage(source, packagePath, placeholderPath, manifestPath, error))
        return false;
    written->path = packagePath;
    written->sizes.clear();
    for (const PackageSource::File &entry : source.files)
        written->sizes.insert(entry.alias, entry.size);
    for (const QString &dir : source.emptyDirs)
        written->sizes.insert(placeholderAlias(dir), 0);
    written->sizes.insert(QStringLiteral("upgrade/") + PackageManifest::fileName(), manifestSize);
    return true;
}

} // namespace PackageWriter
