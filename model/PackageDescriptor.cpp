#include "PackageDescriptor.h"

#include <QFile>

void PackageDescriptor::apply(const RecordLayout::Entries &entries)
{
    using RecordLayout::toInteger;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const QString &key = it.key();
        const QString &value = it.value();
        if (key == QLatin1String("upgrade_type"))
            upgradeType = toInteger(value);
        else if (key == QLatin1String("software_product_id"))
            productId = toInteger(value);
        else if (key == QLatin1String("software_version_from"))
            versionFrom = value;
        else if (key == QLatin1String("software_version_to"))
            versionTo = value;
        else if (key == QLatin1String("if_upgrade_db"))
            ifUpgradeDb = toInteger(value);
        else if (key == QLatin1String("exe_path"))
            exePath = value;
        else if (key == QLatin1String("script_timeout_seconds"))
            scriptTimeoutSeconds = toInteger(value) > 0 ? toInteger(value) : 30 * 60;
        else if (key == QLatin1String("db_timeout_seconds"))
            dbTimeoutSeconds = qMax(0, toInteger(value));
    }
}

RecordLayout::ReadResult PackageDescriptor::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return RecordLayout::ReadResult::CannotOpen;
    RecordLayout::Entries entries;
    const RecordLayout::ReadResult result = RecordLayout::readDevice(&file, &entries);
    if (result == RecordLayout::ReadResult::Ok)
        apply(entries);
    return result;
}
