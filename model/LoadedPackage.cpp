#include "LoadedPackage.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QResource>

#include "PackageFile.h"

namespace {

const uchar *bytes(const QByteArray &data)
{
    return reinterpret_cast<const uchar *>(data.constData());
}

} // namespace

LoadedPackage::~LoadedPackage()
{
    if (isRegistered())
        QResource::unregisterResource(bytes(current));
}

LoadedPackage::Result LoadedPackage::load(const QString &path)
{
    release();
    damage.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Result::Unreadable;
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Result::Unreadable;
    file.close();
    switch (PackageFile::validate(data, &damage)) {
    case PackageFile::Verdict::Damaged:
        return Result::Damaged;
    case PackageFile::Verdict::NotResourceFile:
        return Result::NotResourceFile;
    case PackageFile::Verdict::Valid:
        break;
    }
    current = data;
    QResource::registerResource(bytes(current));
    return Result::Registered;
}

void LoadedPackage::release()
{
    if (!isRegistered())
        return;
    if (!QResource::unregisterResource(bytes(current)))
        retired.append(current);
    current.clear();
}

QString LoadedPackage::message(Result result)
{
    switch (result) {
    case Result::Unreadable:
        return QCoreApplication::translate("MainWindow", "无法读取升级包文件");
    case Result::Damaged:
    case Result::Corrupted:
        return QCoreApplication::translate("MainWindow", "升级包文件已损坏");
    case Result::Unsigned:
        return QCoreApplication::translate("MainWindow", "升级包未签名");
    case Result::BadSignature:
        return QCoreApplication::translate("MainWindow", "升级包签名无效");
    case Result::UntrustedSigner:
        return QCoreApplication::translate("MainWindow", "升级包签名者不受信任");
    case Result::Registered:
    case Result::NotResourceFile:
        break;
    }
    return QString();
}

QString LoadedPackage::baseName(const QString &path)
{
    return QFileInfo(path).fileName().split(QLatin1Char('.'), Qt::KeepEmptyParts).first();
}
