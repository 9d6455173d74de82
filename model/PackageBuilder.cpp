#include "PackageBuilder.h"

// Placeholder until the builder lands.
namespace PackageBuilder {

bool build(const QString &, const QString &, QString *error)
{
    if (error)
        *error = QStringLiteral("not implemented yet");
    return false;
}

} // namespace PackageBuilder
