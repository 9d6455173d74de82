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
// buildUnchecked() skips the builder's checks and writes the package with
// ResourceWriter directly, for packages the builder would refuse (a descriptor without a product
// ID, an unknown upgrade type, a broken version text, stray files). Its empty folders ("path/") get
// the placeholder file as well.
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
#include "ResourceWriter.h"
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

// Qt's resource compiler, to compare the writer with and for zstd, which the
// writer does not write. Linux only: the Windows Qt SDK has no rcc.exe.
inline QString rccProgram()
{
#ifdef Q_OS_WIN
    return QString();
#else
    const QString bundled = QLibraryInfo::location(QLibraryInfo::BinariesPath) + "/rcc";
    return QFileInfo(bundled).isExecutable()
        ? bundled
        : QStandardPaths::findExecutable(QStringLiteral("rcc"));
#endif
}

// The files of a package on disk: (resource path, file that holds its bytes).
using Sources = QList<QPair<QString, QString>>;

// Writes every file to <sourceDir>/<number>.bin; an empty folder ("path/")
// gets the placeholder file.
inline bool writeSources(
    const QString &sourceDir, const Files &files, Sources *sources, QString *error = nullptr)
{
    QDir().mkpath(sourceDir);
    const QString placeholder = sourceDir + QStringLiteral("/placeholder.bin");
    if (!QFile(placeholder).open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("cannot write in ") + sourceDir;
        return false;
    }
    int number = 0;
    for (const auto &file : files) {
        if (file.first.endsWith(QLatin1Char('/'))) {
            sources->append({ file.first + UpgradeConstants::placeholderFileName(), placeholder });
            continue;
        }
        const QString onDisk = sourceDir + QStringLiteral("/%1.bin").arg(number++);
        QFile content(onDisk);
        if (!content.open(QIODevice::WriteOnly)
            || content.write(file.second) != file.second.size()) {
            if (error)
                *error = QStringLiteral("cannot write ") + onDisk;
            return false;
        }
        sources->append({ file.first, onDisk });
    }
    return true;
}

// Writes output with Qt's rcc, rccArgs before the input (its .qrc goes
// beside the output).
inline bool runRcc(const Sources &sources, const QString &output, const QStringList &rccArgs,
    QString *error = nullptr)
{
    if (rccProgram().isEmpty()) {
        if (error)
            *error = QStringLiteral("Qt's rcc is not available here");
        return false;
    }
    const QString qrcPath = output + QStringLiteral(".qrc");
    {
        QFile qrc(qrcPath);
        if (!qrc.open(QIODevice::WriteOnly)) {
            if (error)
                *error = QStringLiteral("cannot write ") + qrcPath;
            return false;
        }
        QXmlStreamWriter xml(&qrc);
        xml.writeStartDocument();
        xml.writeDTD(QStringLiteral("<!DOCTYPE RCC>"));
        xml.writeStartElement(QStringLiteral("RCC"));
        xml.writeStartElement(QStringLiteral("qresource"));
        xml.writeAttribute(QStringLiteral("prefix"), QStringLiteral("/"));
        for (const auto &source : sources) {
            xml.writeStartElement(QStringLiteral("file"));
            xml.writeAttribute(QStringLiteral("alias"), source.first);
            xml.writeCharacters(source.second);
            xml.writeEndElement();
        }
        xml.writeEndElement();
        xml.writeEndElement();
        xml.writeEndDocument();
    }
    QProcess rcc;
    rcc.setProcessChannelMode(QProcess::MergedChannels);
    rcc.start(rccProgram(),
        QStringList { QStringLiteral("--binary") } + rccArgs
            + QStringList { QStringLiteral("-o"), output, qrcPath });
    if (!rcc.waitForFinished(120 * 1000) || rcc.exitStatus() != QProcess::NormalExit
        || rcc.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("rcc failed: ") + rcc.errorString() + QLatin1Char(' ')
                + QString::fromLocal8Bit(rcc.readAll());
        rcc.kill();
        rcc.waitForFinished(5000);
        return false;
    }
    return true;
}

// The writer's options for rcc's options "--no-compress", "--format-version N",
// "--compress-algo zlib|none", "--compress N" and "--threshold N". False for
// anything else (zstd among them).
inline bool writerOptions(const QStringList &rccArgs, ResourceWriter::Options *options)
{
    for (int i = 0; i < rccArgs.size(); ++i) {
        const QString &arg = rccArgs.at(i);
        const QString value = rccArgs.value(i + 1);
        bool ok = true;
        if (arg == QLatin1String("--no-compress")) {
            options->zlib = false;
            continue;
        } else if (arg == QLatin1String("--compress-algo") && value == QLatin1String("zlib")) {
            options->zlib = true;
        } else if (arg == QLatin1String("--compress-algo") && value == QLatin1String("none")) {
            options->zlib = false;
        } else if (arg == QLatin1String("--format-version")) {
            options->formatVersion = value.toInt(&ok);
        } else if (arg == QLatin1String("--compress")) {
            options->zlibLevel = value.toInt(&ok);
        } else if (arg == QLatin1String("--threshold")) {
            options->zlibThreshold = value.toInt(&ok);
        } else {
            return false;
        }
        if (!ok)
            return false;
        ++i;
    }
    return true;
}

// Writes output with ResourceWriter.
inline bool runWriter(const Sources &sources, const QString &output,
    const ResourceWriter::Options &options, QString *error = nullptr)
{
    ResourceWriter writer(options);
    bool ok = true;
    for (const auto &source : sources)
        ok = ok && writer.addFile(source.first, source.second);
    if (ok && writer.write(output))
        return true;
    if (error)
        *error = writer.errorString();
    return false;
}

// Builds <dir>/<name> with ResourceWriter, without the builder's checks.
// rccArgs are rcc's options, as writerOptions() maps them (e.g.
// {"--format-version", "1"} or {"--compress-algo", "zlib", "--threshold", "0"});
// by default nothing is compressed. Options the writer does not have
// ("--compress-algo zstd") go to Qt's rcc, which only Linux has.
// The files lie on disk under numbered names, so a package may carry names that
// no file system here could hold (a backslash, more than 255 bytes).
inline QString buildUnchecked(const QString &dir, const Files &files, QString *error = nullptr,
    const QString &name = QStringLiteral("package.rcc"),
    const QStringList &rccArgs = { QStringLiteral("--no-compress") })
{
    Sources sources;
    if (!writeSources(dir + QStringLiteral("/src-") + name, files, &sources, error))
        return QString();
    const QString output = dir + QLatin1Char('/') + name;
    ResourceWriter::Options options;
    const bool ok = writerOptions(rccArgs, &options) ? runWriter(sources, output, options, error)
                                                     : runRcc(sources, output, rccArgs, error);
    return ok ? output : QString();
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
