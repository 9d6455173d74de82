#include "InstallationRecord.h"

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
