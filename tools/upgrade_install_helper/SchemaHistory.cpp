#include "SchemaHistory.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <iterator>

#include "HelperFailure.h"

namespace {

// What "--up yes" brings the database to. Each step runs once.
struct SchemaStep
{
    int version;
    const char *name;
    const char *sql;
};

const SchemaStep schemaSteps[] = {
    { 1, "suite_info",
        "CREATE TABLE IF NOT EXISTS suite_info (key TEXT PRIMARY KEY NOT NULL, value TEXT NOT "
        "NULL)" },
};

const char historyTableSql[] = "CREATE TABLE IF NOT EXISTS upgrade_history ("
                               "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                               "phase TEXT NOT NULL, "
                               "script TEXT NOT NULL, "
                               "checksum TEXT NOT NULL, "
                               "applied_at TEXT NOT NULL, "
                               "success INTEGER NOT NULL, "
                               "message TEXT)";

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

void exec(const QSqlDatabase &db, const QString &sql, const QString &what)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        stop(FailureKind::Database,
            QStringLiteral("%1失败: %2").arg(what, databaseMessage(query.lastError())));
}

} // namespace

int SchemaHistory::latestVersion()
{
    return schemaSteps[std::size(schemaSteps) - 1].version;
}

QString SchemaHistory::checksum(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

void SchemaHistory::read(const QSqlDatabase &db, const QString &fileName)
{
    QSqlQuery tables(db);
    // Also proves that the file is a database.
    if (!tables.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'")))
        stop(FailureKind::Database,
            QStringLiteral("无法读取数据库 %1: %2")
                .arg(QDir::toNativeSeparators(fileName), databaseMessage(tables.lastError())));
    bool hasHistory = false;
    while (tables.next()) {
        const QString table = tables.value(0).toString();
        hasHistory = hasHistory || table == QLatin1String("upgrade_history");
        m_hasSuiteInfo = m_hasSuiteInfo || table == QLatin1String("suite_info");
    }
    if (hasHistory) {
        QSqlQuery rows(db);
        if (!rows.exec(QStringLiteral("SELECT phase, script, checksum, applied_at, success FROM "
                                      "upgrade_history ORDER BY id")))
            stop(FailureKind::Database,
                QStringLiteral("读取升级记录失败: %1").arg(databaseMessage(rows.lastError())));
        while (rows.next()) {
            const Row row { rows.value(0).toString(), rows.value(1).toString(),
                rows.value(2).toString(), rows.value(3).toString(), rows.value(4).toInt() == 1 };
            m_rows.append(row);
            if (row.success)
                m_applied.insert(row.phase + QLatin1Char('/') + row.script, row.checksum);
        }
    }
    m_schemaVersion = readSchemaVersion(db);
}

void SchemaHistory::rereadSchemaVersion(const QSqlDatabase &db)
{
    m_hasSuiteInfo = db.tables().contains(QStringLiteral("suite_info"));
    m_schemaVersion = readSchemaVersion(db);
}

int SchemaHistory::readSchemaVersion(const QSqlDatabase &db) const
{
    if (!m_hasSuiteInfo)
        return 0;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT value FROM suite_info WHERE key = 'schema_version'")))
        stop(FailureKind::Database,
            QStringLiteral("读取数据库结构版本失败: %1").arg(databaseMessage(query.lastError())));
    if (!query.next())
        return 0;
    bool ok = false;
    const int version = query.value(0).toString().toInt(&ok);
    if (!ok || version < 0)
        stop(FailureKind::Database,
            QStringLiteral("数据库结构版本 \"%1\" 无效").arg(query.value(0).toString()));
    return version;
}

void SchemaHistory::createTable(const QSqlDatabase &db)
{
    exec(db, QString::fromLatin1(historyTableSql),
        QStringLiteral("创建升级记录表 upgrade_history "));
}

bool SchemaHistory::note(const QSqlDatabase &db, const QString &phase, const QString &script,
    const QString &sum, QString *error)
{
    QSqlQuery record(db);
    record.prepare(QStringLiteral("INSERT INTO upgrade_history (phase, script, checksum, "
                                  "applied_at, success) VALUES (?, ?, ?, ?, 1)"));
    record.addBindValue(phase);
    record.addBindValue(script);
    record.addBindValue(sum);
    record.addBindValue(now());
    if (record.exec())
        return true;
    *error = databaseMessage(record.lastError());
    return false;
}

SchemaHistory::Upgrade SchemaHistory::upgradeSchema(const QSqlDatabase &db) const
{
    Upgrade upgrade { m_schemaVersion, QString() };
    for (const SchemaStep &step : schemaSteps) {
        if (step.version <= m_schemaVersion)
            continue;
        const QString sql = QString::fromLatin1(step.sql);
        exec(db, sql, QStringLiteral("数据库结构升级到版本 %1 ").arg(step.version));
        QString error;
        if (!note(db, QStringLiteral("up"),
                QStringLiteral("schema_v%1_%2").arg(step.version).arg(step.name),
                checksum(sql.toUtf8()), &error))
            stop(FailureKind::Database,
                QStringLiteral("数据库结构升级失败: 无法写入升级记录: %1").arg(error));
        upgrade.reached = step.version;
    }
    upgrade.at = now();
    QSqlQuery store(db);
    store.prepare(QStringLiteral("INSERT OR REPLACE INTO suite_info (key, value) VALUES (?, ?)"));
    store.addBindValue(
        QVariantList { QStringLiteral("schema_version"), QStringLiteral("last_upgrade_at") });
    store.addBindValue(QVariantList { QString::number(upgrade.reached), upgrade.at });
    if (!store.execBatch())
        stop(FailureKind::Database,
            QStringLiteral("数据库结构升级失败: %1").arg(databaseMessage(store.lastError())));
    store.finish();
    return upgrade;
}
