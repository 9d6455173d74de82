#include "PackageFile.h"

// Placeholder until the structural walk lands: only the magic is looked at.
namespace PackageFile {

Verdict validate(const QByteArray &data, QString *detail)
{
    if (!data.startsWith("qres")) {
        if (detail)
            *detail = QStringLiteral("not a Qt resource file");
        return Verdict::NotResourceFile;
    }
    return Verdict::Valid;
}

} // namespace PackageFile
