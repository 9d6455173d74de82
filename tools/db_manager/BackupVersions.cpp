#include "BackupVersions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>

#include "InstallationRecord.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"

namespace {

const QLatin1String suiteKey("suite_version");
const QLatin1String schemaKey("schema_version");

bool samePath(const QString &a, const QString &b)
{
    const auto clean
        = [](const QString &path) { return QDir::cleanPath(QDir::fromNativeSeparators(path)); };
#ifdef Q_OS_WIN
    return clean(a).compare(clean(b), Qt::CaseInsensitive) == 0;
#else
    return clean(a) == clean(b);
#endif
}

std::optional<int> readSchemaVersion(QSqlDatabase &db)
{
    if (!db.open())
        return std::nullopt;
    // A database the helper never upgraded has no suite_info: version 0.
    QSqlQuery tables(db);
    if (!tables.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")))
        return std::nullopt; // not a database
    if (!db.tables().contains(QStringLiteral("suite_info")))
        return 0;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT value FROM suite_info WHERE key = 'schema_version'")))
        return std::nullopt;
    if (!query.next())
        return 0;
    bool ok = false;
    const int version = query.value(0).toString().toInt(&ok);
    return ok && version >= 0 ? std::optional<int>(version) : std::nullopt;
}

} // namespace

namespace BackupVersions {

QString fileName()
{
    return QStringLiteral("backup.json");
}

QString installedVersion(const QString &mainPath)
{
    InstallationRecord record;
    if (record.read(SuiteLayout::installationRecord(UpgradeConstants::installDir()))
            == RecordLayout::ReadResult::Ok
        && samePath(record.mainPath, mainPath) && !record.version.trimmed().isEmpty())
        return record.version.trimmed();
    InstallationRecord copy;
    if (copy.read(SuiteLayout::recordCopies(UpgradeConstants::installDir(), mainPath).last())
        == RecordLayout::ReadResult::Ok)
        return copy.version.trimmed();
    return QString();
}

std::optional<int> schemaVersion(const QString &databaseFile)
{
    if (!QFileInfo(databaseFile).isFile())
        return std::nullopt;
    const QString connection = QUuid::createUuid().toString();
    std::optional<int> version;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(databaseFile);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        version = readSchemaVersion(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return version;
}

bool write(const QString &folder, const Versions &versions, QString *reason)
{
    QJsonObject object;
    object.insert(suiteKey, versions.suite.isEmpty() ? QJsonValue() : QJsonValue(versions.suite));
    object.insert(schemaKey, versions.schema ? QJsonValue(*versions.schema) : QJsonValue());
    // QSaveFile writes a new file beside and renames it into place on commit.
    const QByteArray json = QJsonDocument(object).toJson();
    QSaveFile file(folder + QLatin1Char('/') + fileName());
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        *reason = QStringLiteral("cannot write %1: %2")
                      .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
        return false;
    }
    return true;
}

bool read(const QString &folder, Versions *versions)
{
    QFile file(folder + QLatin1Char('/') + fileName());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(64 * 1024));
    if (!document.isObject())
        return false;
    const QJsonObject object = document.object();
    versions->suite = object.value(suiteKey).toString().trimmed();
    const QJsonValue schema = object.value(schemaKey);
    versions->schema = schema.isDouble() ? std::optional<int>(schema.toInt()) : std::nullopt;
    return true;
}

} // namespace BackupVersions
