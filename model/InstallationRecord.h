#pragma once

#include <QString>
#include <QStringList>

#include "RecordLayout.h"

// The installed system as read from setup_config.xml.
struct InstallationRecord
{
    int productId = -1;
    QString nameZh;
    QString nameEn;
    QString version;
    int isMain = 0;
    int isDb = 0;
    int isWeb = 0;
    QString mainPath;

    // Takes the known keys from the entries; unknown keys are ignored and
    // missing keys keep the current value.
    void apply(const RecordLayout::Entries &entries);

    // Reads the record file at path and takes its entries when it is Ok.
    RecordLayout::ReadResult read(const QString &path);

    // The seven lines of system information shown to the operator (ID, name
    // in the system locale's language, version, the three parts, the path).
    QStringList summary() const;

    // "获取本地系统安装信息失败:" and the record file's path (native,
    // absolute): why the installer can't go on without its record.
    static QString unreadableMessage(const QString &path);
};
