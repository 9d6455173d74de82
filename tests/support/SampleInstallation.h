#pragma once

// Lays out an installation for widget and engine tests inside a temporary
// folder: the record "C:/Program Files/Tessaron/setup_config.xml" (the window
// reads it relative to the working directory) and a main directory with
// platform/<exe> and product/<exe>. Makes the folder the working directory for
// its lifetime.
//
//   SampleInstallation install;               // product 7, version 2.1.5, exe "bin"
//   install.writeRecord();                    // or writeRecord(customXml)
//   MainWindow window; window.init();

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include "UpgradeConstants.h"

class SampleInstallation
{
public:
    explicit SampleInstallation(const QString &exePath = QStringLiteral("bin"))
        : exe(exePath)
        , previous(QDir::currentPath())
    {
        root.setAutoRemove(true);
        QDir(root.path()).mkpath(UpgradeConstants::installDir());
        mainDir = root.path() + QStringLiteral("/suite main");
        QDir(root.path()).mkpath(mainDir + QStringLiteral("/platform/") + exe);
        QDir(root.path()).mkpath(mainDir + QStringLiteral("/product/") + exe);
        QDir(root.path()).mkpath(mainDir + QStringLiteral("/product/common/sysconfig"));
        QDir::setCurrent(root.path());
        // An absolute record may be left from a run that ended abruptly.
        if (QDir::isAbsolutePath(UpgradeConstants::installDir()))
            removeRecord();
    }
    ~SampleInstallation()
    {
        QDir::setCurrent(previous);
        // Where the installation directory is absolute (Windows), the record
        // lies outside the temporary folder: it goes with the installation,
        // and so does whatever a test put in its place (a folder, a read-only
        // file), which would otherwise break the next test's record.
        if (QDir::isAbsolutePath(UpgradeConstants::installDir()))
            removeRecord();
    }

    QString path() const { return root.path(); }
    QString mainPath() const { return mainDir; }
    QString exePath() const { return exe; }
    QString recordPath() const
    {
        // Below the working directory, or absolute (Windows) as it is.
        return QDir(root.path()).filePath(UpgradeConstants::installDir())
            + QStringLiteral("/setup_config.xml");
    }
    QString secondRecordPath() const
    {
        return mainDir + QStringLiteral("/product/common/sysconfig/setup_config.xml");
    }

    static QByteArray recordXml(
        int productId, const QString &version, const QString &mainPath, int isDb = 1)
    {
        return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<root>\n <module>\n"
                              "  <item key=\"software_product_id\" value=\"%1\"/>\n"
                              "  <item key=\"software_name_zh\" value=\"测试套件\"/>\n"
                              "  <item key=\"software_name_en\" value=\"Test Suite\"/>\n"
                              "  <item key=\"software_version\" value=\"%2\"/>\n"
                              "  <item key=\"isMain\" value=\"1\"/>\n"
                              "  <item key=\"isDb\" value=\"%4\"/>\n"
                              "  <item key=\"isWeb\" value=\"0\"/>\n"
                              "  <item key=\"MainPath\" value=\"%3\"/>\n"
                              " </module>\n</root>\n")
            .arg(productId)
            .arg(version, mainPath)
            .arg(isDb)
            .toUtf8();
    }

    bool writeRecord(const QByteArray &xml) const
    {
        QFile file(recordPath());
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(xml) == xml.size();
    }
    bool writeRecord(
        int productId = 7, const QString &version = QStringLiteral("2.1.5"), int isDb = 1) const
    {
        return writeRecord(recordXml(productId, version, mainDir, isDb));
    }
    bool writeSecondRecord(
        int productId = 7, const QString &version = QStringLiteral("2.1.5")) const
    {
        QFile file(secondRecordPath());
        const QByteArray xml = recordXml(productId, version, mainDir);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(xml) == xml.size();
    }

private:
    // Whatever is at the record's path: a file (read-only too) or a folder.
    void removeRecord() const
    {
        const QString record = recordPath();
        if (QFileInfo(record).isDir() && !QFileInfo(record).isSymLink()) {
            QDir(record).removeRecursively();
        } else {
            QFile::setPermissions(record, QFile::permissions(record) | QFile::WriteOwner);
            QFile::remove(record);
        }
    }

    QTemporaryDir root;
    QString exe;
    QString mainDir;
    QString previous;
};
