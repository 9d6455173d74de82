#include "InstallationRecord.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

void InstallationRecord::apply(const RecordLayout::Entries &entries)
{
    using RecordLayout::toInteger;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const QString &key = it.key();
        const QString &value = it.value();
        if (key == QLatin1String("software_product_id"))
            productId = toInteger(value);
        else if (key == QLatin1String("software_name_zh"))
            nameZh = value;
        else if (key == QLatin1String("software_name_en"))
            nameEn = value;
        else if (key == QLatin1String("software_version"))
            version = value;
        else if (key == QLatin1String("isMain"))
            isMain = toInteger(value);
        else if (key == QLatin1String("isDb"))
            isDb = toInteger(value);
        else if (key == QLatin1String("isWeb"))
            isWeb = toInteger(value);
        else if (key == QLatin1String("MainPath"))
            mainPath = value;
    }
}

RecordLayout::ReadResult InstallationRecord::read(const QString &path)
{
    RecordLayout::Entries entries;
    const RecordLayout::ReadResult result = RecordLayout::readFile(path, &entries);
    if (result == RecordLayout::ReadResult::Ok)
        apply(entries);
    return result;
}

QString InstallationRecord::unreadableMessage(const QString &path)
{
    return QCoreApplication::translate("MainWindow", "获取本地系统安装信息失败:%1")
        .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()));
}

QStringList InstallationRecord::summary() const
{
    const auto tr
        = [](const char *text) { return QCoreApplication::translate("MainWindow", text); };
    const bool english = QLocale::system().language() == QLocale::English;
    return { tr("ID:%1").arg(productId), tr("名称:%1").arg(english ? nameEn : nameZh),
        tr("版本:%1").arg(version), isMain == 1 ? tr("主程序:已安装") : tr("主程序:未安装"),
        isDb == 1 ? tr("数据库:已安装") : tr("数据库:未安装"),
        isWeb == 1 ? tr("Web:已安装") : tr("Web:未安装"), tr("路径:%1").arg(mainPath) };
}
