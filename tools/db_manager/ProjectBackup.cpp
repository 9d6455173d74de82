#include "ProjectBackup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "SuiteLayout.h"

namespace {

// Files, folders and links; pipes, sockets and devices aren't project data
// (and reading a pipe could wait forever), so they aren't listed.
bool copyTree(const QString &source, const QString &target, QString *reason)
{
    if (!QDir().mkpath(target)) {
        *reason = QStringLiteral("cannot create %1").arg(QDir::toNativeSeparators(target));
        return false;
    }
    const QFileInfoList entries = QDir(source).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString to = target + QLatin1Char('/') + entry.fileName();
        if (entry.isSymLink() && !entry.isFile()) {
            // A link to a folder (or to nothing) is copied as the link: following
            // it could leave the data folder or run in circles.
            if (!QFile::link(entry.symLinkTarget(), to)) {
                *reason = QStringLiteral("cannot copy the link %1")
                              .arg(QDir::toNativeSeparators(entry.filePath()));
                return false;
            }
        } else if (entry.isDir()) {
            if (!copyTree(entry.filePath(), to, reason))
                return false;
        } else {
            QFile file(entry.filePath());
            if (!file.copy(to)) {
                *reason = QStringLiteral("cannot copy %1: %2")
                              .arg(QDir::toNativeSeparators(entry.filePath()), file.errorString());
                return false;
            }
        }
    }
    return true;
}

} // namespace

namespace ProjectBackup {

QString folderName(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyyMMdd-hhmmss"));
}

Outcome run(const QString &mainPath, const QDateTime &now)
{
    Outcome outcome;
    outcome.dataPath = SuiteLayout::dataFolder(mainPath);
    if (!QFileInfo(outcome.dataPath).isDir()) {
        outcome.result = Result::NoDataFolder;
        return outcome;
    }

    const QString backupRoot = SuiteLayout::backupFolder(mainPath);
    if (!QDir().mkpath(backupRoot)) {
        outcome.reason
            = QStringLiteral("cannot create %1").arg(QDir::toNativeSeparators(backupRoot));
        return outcome;
    }
    // Claim a fresh folder: mkdir fails when the name is taken.
    const QString base = backupRoot + QLatin1Char('/') + folderName(now);
    QString target = base;
    QDir root(backupRoot);
    for (int n = 2; !root.mkdir(QFileInfo(target).fileName()); ++n) {
        if (n > 1000 || !QFileInfo::exists(target)) {
            outcome.reason
                = QStringLiteral("cannot create %1").arg(QDir::toNativeSeparators(target));
            return outcome;
        }
        target = base + QLatin1Char('-') + QString::number(n);
    }

    if (!copyTree(outcome.dataPath, target, &outcome.reason)) {
        QDir(target).removeRecursively(); // a half copy must not pass for a backup
        return outcome;
    }
    outcome.result = Result::Done;
    outcome.backupPath = target;
    return outcome;
}

} // namespace ProjectBackup
