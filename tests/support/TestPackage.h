#pragma once

// TestPackage: upgrade packages (.rcc) for tests, written from a list of
// relative paths and contents.
//
//   QTemporaryDir tmp;
//   const TestPackage::Files files{
//       {"upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5")},
//       {"upgrade/readme.txt", "read me"},
//       {"upgrade/update/bin/app.dll", "new bytes"},
//       {"upgrade/delete/old_folder/", {}}, // trailing "/": an empty folder
//   };
//   QString error;
//   const QString rcc = TestPackage::build(tmp.path(), files, &error);
//   QVERIFY2(!rcc.isEmpty(), qPrintable(error));
//   QVERIFY(QResource::registerResource(rcc)); // tree under ":/upgrade/..."
//   ...
//   QResource::unregisterResource(rcc);
//
// build() writes the tree into <dir>/src and runs PackageBuilder::build, which
// checks the tree, puts the placeholder file into every empty folder and adds
// upgrade/manifest.sha256; the package is <dir>/package.rcc. A readme that is
// not UTF-8, which the builder refuses, goes through buildUnchecked instead.
// Call it again with another dir (or another name) for a second package: a
// registered file must not be overwritten.
//
// buildUnchecked() skips the builder's checks and runs rcc directly, for
// packages the builder would refuse (a descriptor without a product ID, an
// unknown upgrade type, a broken version text, stray files). Its empty
// folders ("path/") get the placeholder file as well.
//
// Paths in Files always use "/" and start with "upgrade/".

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTextCodec>
#include <QXmlStreamWriter>

#include "PackageBuilder.h"
#include "UpgradeConstants.h"

namespace TestPackage {

using Files = QList<QPair<QString, QByteArray>>;

// A descriptor (upgrade_config.xml) with the usual keys. Pass an empty
// exePath to leave "exe_path" out.
inline QByteArray descriptor(int productId, const QString &versionFrom, const QString &versionTo,
    int upgradeType = 0, int ifUpgradeDb = 0, const QString &exePath = QStringLiteral("bin"))
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("root"));
    writer.writeStartElement(QStringLiteral("module"));
    auto entry = [&writer](const QString &key, const QString &value) {
        writer.writeEmptyElement(QStringLiteral("item"));
        writer.writeAttribute(QStringLiteral("key"), key);
        writer.writeAttribute(QStringLiteral("value"), value);
    };
    entry(QStringLiteral("software_product_id"), QString::number(productId));
    entry(QStringLiteral("software_version_from"), versionFrom);
    entry(QStringLiteral("software_version_to"), versionTo);
    entry(QStringLiteral("upgrade_type"), QString::number(upgradeType));
    entry(QStringLiteral("if_upgrade_db"), QString::number(ifUpgradeDb));
    if (!exePath.isEmpty())
        entry(QStringLiteral("exe_path"), exePath);
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

// Writes the files (and "…/" empty folders) below sourceDir.
inline bool writeTree(const QString &sourceDir, const Files &files, QString *error = nullptr)
{
    for (const auto &file : files) {
        const QString path = sourceDir + QLatin1Char('/') + file.first;
        if (file.first.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path)) {
                if (error)
                    *error = QStringLiteral("cannot create folder ") + path;
                return false;
            }
            continue;
        }
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(file.second) != file.second.size()) {
            if (error)
                *error = QStringLiteral("cannot write ") + path + QStringLiteral(": ")
                    + out.errorString();
            return false;
        }
    }
    return true;
}

// Path of Qt's resource compiler, as the builder finds it.
inline QString rccProgram()
{
#ifdef Q_OS_WIN
    const QString bundled = QLibraryInfo::location(QLibraryInfo::BinariesPath) + "/rcc.exe";
#else
    const QString bundled = QLibraryInfo::location(QLibraryInfo::BinariesPath) + "/rcc";
#endif
    if (QFileInfo(bundled).isExecutable())
        return bundled;
    return QStandardPaths::findExecutable(QStringLiteral("rcc"));
}

// Builds <dir>/<name> with rcc directly, without the builder's checks.
// extraRccArgs go to rcc before the input (e.g. {"--format-version", "1"} or
// {"--compress-algo", "zlib", "--threshold", "0"}); by default nothing is compressed.
// The files lie on disk under numbered names, so a package may carry names that
// no file system here could hold (a backslash, more than 255 bytes).
inline QString buildUnchecked(const QString &dir, const Files &files, QString *error = nullptr,
    const QString &name = QStringLiteral("package.rcc"),
    const QStringList &extraRccArgs = { QStringLiteral("--no-compress") })
{
    const QString sourceDir = dir + QStringLiteral("/src-") + name;
    QDir().mkpath(sourceDir);
    const QString placeholder = sourceDir + QStringLiteral("/placeholder.bin");
    const QString qrcPath = sourceDir + QStringLiteral("/package.qrc");
    {
        QFile qrc(qrcPath);
        if (!qrc.open(QIODevice::WriteOnly) || !QFile(placeholder).open(QIODevice::WriteOnly)) {
            if (error)
                *error = QStringLiteral("cannot write in ") + sourceDir;
            return QString();
        }
        QXmlStreamWriter xml(&qrc);
        xml.writeStartDocument();
        xml.writeDTD(QStringLiteral("<!DOCTYPE RCC>"));
        xml.writeStartElement(QStringLiteral("RCC"));
        xml.writeStartElement(QStringLiteral("qresource"));
        xml.writeAttribute(QStringLiteral("prefix"), QStringLiteral("/"));
        int number = 0;
        for (const auto &file : files) {
            const bool folder = file.first.endsWith(QLatin1Char('/'));
            QString onDisk = placeholder;
            if (!folder) {
                onDisk = sourceDir + QStringLiteral("/%1.bin").arg(number++);
                QFile content(onDisk);
                if (!content.open(QIODevice::WriteOnly)
                    || content.write(file.second) != file.second.size()) {
                    if (error)
                        *error = QStringLiteral("cannot write ") + onDisk;
                    return QString();
                }
            }
            xml.writeStartElement(QStringLiteral("file"));
            xml.writeAttribute(QStringLiteral("alias"),
                folder ? file.first + UpgradeConstants::placeholderFileName() : file.first);
            xml.writeCharacters(onDisk);
            xml.writeEndElement();
        }
        xml.writeEndElement();
        xml.writeEndElement();
        xml.writeEndDocument();
    }
    const QString output = dir + QLatin1Char('/') + name;
    QProcess rcc;
    rcc.setProcessChannelMode(QProcess::MergedChannels);
    rcc.start(rccProgram(),
        QStringList { QStringLiteral("--binary") } + extraRccArgs
            + QStringList { QStringLiteral("-o"), output, qrcPath });
    if (!rcc.waitForFinished(120 * 1000) || rcc.exitStatus() != QProcess::NormalExit
        || rcc.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("rcc failed: ") + rcc.errorString() + QLatin1Char(' ')
                + QString::fromLocal8Bit(rcc.readAll());
        rcc.kill();
        rcc.waitForFinished(5000);
        return QString();
    }
    return output;
}

// Builds <dir>/<name> through PackageBuilder from a tree written to
// <dir>/src-<name>. Returns the package path, or an empty string with *error set.
inline QString build(const QString &dir, const Files &files, QString *error = nullptr,
    const QString &name = QStringLiteral("package.rcc"))
{
    for (const auto &file : files) {
        // The builder refuses a readme that is not UTF-8; the details dialog
        // must still show one that came from elsewhere.
        QTextCodec::ConverterState state;
        if (file.first == QLatin1String("upgrade/readme.txt")) {
            QTextCodec::codecForName("UTF-8")->toUnicode(
                file.second.constData(), file.second.size(), &state);
            if (state.invalidChars > 0 || state.remainingChars > 0)
                return buildUnchecked(dir, files, error, name);
        }
    }
    const QString sourceDir = dir + QStringLiteral("/src-") + name;
    if (!writeTree(sourceDir, files, error))
        return QString();
    const QString output = dir + QLatin1Char('/') + name;
    QString message;
    if (!PackageBuilder::build(sourceDir, output, &message)) {
        if (error)
            *error = message;
        return QString();
    }
    return output;
}

} // namespace TestPackage
