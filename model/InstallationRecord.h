#pragma once

#include <QString>

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
};
