#include "PackageFacts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextDocument>

#include "PackageDescriptor.h"

namespace PackageFacts {

QStringList lines(const QString &path, const PackageDescriptor &package, const QString &signature)
{
    const char *context = "MainWindow";
    QStringList facts { QCoreApplication::translate(context, "升级包:%1")
                            .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())) };
    if (!package.versionFrom.isEmpty() || !package.versionTo.isEmpty()) {
        facts << QCoreApplication::translate(context, "适用版本:%1 至 %2")
                     .arg(package.versionFrom, package.versionTo)
              << QCoreApplication::translate(context, "升级后版本:%1").arg(package.versionTo);
    }
    if (!signature.isEmpty())
        facts << signature;
    return facts;
}

QString toolTip(const QStringList &facts)
{
    return facts.isEmpty()
        ? QString()
        : Qt::convertFromPlainText(facts.join(QLatin1Char('\n')), Qt::WhiteSpaceNoWrap);
}

} // namespace PackageFacts
