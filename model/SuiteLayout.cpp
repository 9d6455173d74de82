#include "SuiteLayout.h"

#include "UpgradeConstants.h"

#include <QDir>
#include <QFileInfo>

namespace SuiteLayout {

namespace {

QString joinAll(QString path, const QStringList &names)
{
    for (const QString &name : names)
        path = join(path, name);
    return path;
}

} // namespace

QString join(const QString &folder, const QString &name)
{
    return folder + QDir::separator() + name;
}

QString installationRecord(const QString &installDir)
{
    return QStringLiteral("%1%2%3").arg(
        installDir, QDir::separator(), UpgradeConstants::recordFileName());
}

QStringList recordCopies(const QString &installDir, const QString &mainPath)
{
    return { join(installDir, UpgradeConstants::recordFileName()),
        joinAll(mainPath,
            { productFolderName(), QStringLiteral("common"), QStringLiteral("sysconfig"),
                UpgradeConstants::recordFileName() }) };
}

QString trustedKeysFolder(const QString &mainPath)
{
    return joinAll(mainPath,
        { productFolderName(), QStringLiteral("common"), QStringLiteral("sysconfig"),
            QStringLiteral("trusted_keys") });
}

QString stagingRoot(const QString &mainPath)
{
    return join(mainPath, UpgradeConstants::stagingFolderName());
}

QString stagedPackageRoot(const QString &mainPath)
{
    return join(stagingRoot(mainPath), UpgradeConstants::packageFolderName());
}

QString stagedStepFolder(const QString &mainPath, const QString &step)
{
    return join(stagedPackageRoot(mainPath), step);
}

QString stagedScriptFolder(const QString &mainPath, const QString &folder)
{
    return joinAll(stagedPackageRoot(mainPath), { QStringLiteral("shell"), folder });
}

QString stagedDbFolder(const QString &mainPath, const QString &folder)
{
    return joinAll(stagedPackageRoot(mainPath), { QStringLiteral("db"), folder });
}

QString lockFile(const QString &mainPath)
{
    return join(mainPath, QStringLiteral("upgrade.lock"));
}

QString journalFile(const QString &mainPath)
{
    return join(mainPath, QStringLiteral("upgrade_journal.txt"));
}

QString backupRoot(const QString &mainPath)
{
    return join(mainPath, QStringLiteral("upgrade_backup"));
}

QString rollbackScriptFolderName()
{
    return QStringLiteral("shell_rollback");
}

QString platformFolderName()
{
    return QStringLiteral("platform");
}

QString productFolderName()
{
    return QStringLiteral("product");
}

QString helperProgram(const QString &mainPath, const QString &exePath)
{
    return joinAll(
        mainPath, { productFolderName(), exePath, UpgradeConstants::helperProgramName() });
}

QString projectTool(const QString &mainPath, const QString &exePath)
{
    return joinAll(
        mainPath, { platformFolderName(), exePath, UpgradeConstants::projectToolName() });
}

QString mainPathFromProgramDir(const QString &programDir)
{
    return QDir::cleanPath(programDir + QStringLiteral("/../.."));
}

bool programSitsInSuite(const QString &programDir, const QString &folderName)
{
    const QString parent = QFileInfo(QDir::cleanPath(programDir)).absolutePath();
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity names = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity names = Qt::CaseSensitive;
#endif
    return QFileInfo(parent).fileName().compare(folderName, names) == 0;
}

QString dataFolder(const QString &mainPath)
{
    return QDir::cleanPath(mainPath + QStringLiteral("/data"));
}

QString databaseFile(const QString &mainPath)
{
    return dataFolder(mainPath) + QStringLiteral("/suite.db");
}

QString backupFolder(const QString &mainPath)
{
    return QDir::cleanPath(mainPath + QStringLiteral("/backup"));
}

} // namespace SuiteLayout
