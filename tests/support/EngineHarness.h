#pragma once

// Support for the engine tests: file trees on disk, upgrade packages, and a
// worker run the way the window runs it (parentless, on a thread of its own,
// answered through queued connections).
//
//   QTemporaryDir tmp;
//   const QString rcc = EngineHarness::buildPackage(tmp.path(), {{"update/a.dll", "new"}}, &error);
//   EngineHarness::RegisteredPackage package(rcc);
//   EngineHarness::WorkerRun run;                 // setDbFlags(0, 0)
//   run.startCopyAll(installPath);                // then startUpgrade or sigFaildClear
//   QVERIFY(run.waitForEnd());
//   run.statusLines(); run.outcomes();

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QResource>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QThread>
#include <QXmlStreamWriter>

#include <functional>
#include <memory>

#include "CUpgradeWorker.h"
#include "PackageBuilder.h"
#include "UpgradeConstants.h"

namespace EngineHarness {

// Package entries: path below "upgrade/" -> content; a path ending in "/" is
// an empty folder.
using Tree = QMap<QString, QByteArray>;

inline bool writeFile(const QString &path, const QByteArray &content = QByteArray())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Writes tree below root (folders for "…/" entries).
inline bool writeTree(const QString &root, const Tree &tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (it.key().endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path))
                return false;
        } else if (!writeFile(path, it.value())) {
            return false;
        }
    }
    return true;
}

// Everything below root, hidden entries included, links not followed:
// relative path -> content, folders as "path/" -> "". Links show as
// "path@" -> their target.
inline Tree snapshot(const QString &root)
{
    Tree result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(info.filePath());
        if (info.isSymLink())
            result.insert(relative + QLatin1Char('@'), info.symLinkTarget().toUtf8());
        else if (info.isDir())
            result.insert(relative + QLatin1Char('/'), QByteArray());
        else
            result.insert(relative, readFile(info.filePath()));
    }
    return result;
}

// Tree with the folders leading to each file listed as "path/" entries, as
// snapshot() reports them.
inline Tree withFolders(const Tree &tree)
{
    Tree result;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        QString path = it.key();
        if (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        result.insert(it.key(), it.value());
        int slash = path.lastIndexOf(QLatin1Char('/'));
        while (slash > 0) {
            path.truncate(slash);
            result.insert(path + QLatin1Char('/'), QByteArray());
            slash = path.lastIndexOf(QLatin1Char('/'));
        }
    }
    return result;
}

inline QByteArray descriptorXml()
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("root"));
    writer.writeStartElement(QStringLiteral("module"));
    const QList<QPair<QString, QString>> entries {
        { QStringLiteral("software_product_id"), QStringLiteral("7") },
        { QStringLiteral("software_version_from"), QStringLiteral("2.1.0") },
        { QStringLiteral("software_version_to"), QStringLiteral("2.1.9") },
        { QStringLiteral("upgrade_type"), QStringLiteral("0") },
        { QStringLiteral("if_upgrade_db"), QStringLiteral("0") },
        { QStringLiteral("exe_path"), QStringLiteral("bin") },
    };
    for (const auto &entry : entries) {
        writer.writeEmptyElement(QStringLiteral("item"));
        writer.writeAttribute(QStringLiteral("key"), entry.first);
        writer.writeAttribute(QStringLiteral("value"), entry.second);
    }
    writer.writeEndDocument();
    return xml;
}

// The package tree as staged: the descriptor and readme added to tree.
inline Tree packageTree(const Tree &tree)
{
    Tree full = tree;
    full.insert(QStringLiteral("upgrade_config.xml"), descriptorXml());
    full.insert(QStringLiteral("readme.txt"), QByteArray("read me\n"));
    return full;
}

// Builds dir/name (.rcc) with PackageBuilder from tree (paths below "upgrade/";
// descriptor and readme added). Returns the path, or "" with *error set.
inline QString buildPackage(const QString &dir, const Tree &tree, QString *error,
    const QString &name = QStringLiteral("package.rcc"))
{
    const QString source = dir + QStringLiteral("/source-") + name;
    if (!writeTree(source + QStringLiteral("/upgrade"), packageTree(tree))) {
        *error = QStringLiteral("cannot write the package tree below ") + source;
        return QString();
    }
    const QString output = dir + QLatin1Char('/') + name;
    if (!PackageBuilder::build(source, output, error))
        return QString();
    return output;
}

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

// Builds a package with rcc directly, with names the builder refuses (and
// that could not even exist on disk): each entry of aliases is a path below
// "upgrade/" with its content.
inline QString buildWithAliases(const QString &dir, const Tree &aliases, QString *error,
    const QString &name = QStringLiteral("aliased.rcc"))
{
    const QString source = dir + QStringLiteral("/aliased-") + name;
    QDir().mkpath(source);
    const QString qrcPath = source + QStringLiteral("/package.qrc");
    QFile qrc(qrcPath);
    if (!qrc.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write ") + qrcPath;
        return QString();
    }
    QXmlStreamWriter xml(&qrc);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("RCC"));
    xml.writeStartElement(QStringLiteral("qresource"));
    xml.writeAttribute(QStringLiteral("prefix"), QStringLiteral("/"));
    int number = 0;
    const Tree full = packageTree(aliases);
    for (auto it = full.cbegin(); it != full.cend(); ++it) {
        const QString file = source + QStringLiteral("/%1.bin").arg(number++);
        if (!writeFile(file, it.value())) {
            *error = QStringLiteral("cannot write ") + file;
            return QString();
        }
        xml.writeStartElement(QStringLiteral("file"));
        xml.writeAttribute(QStringLiteral("alias"), QStringLiteral("upgrade/") + it.key());
        xml.writeCharacters(file);
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    qrc.close();

    const QString output = dir + QLatin1Char('/') + name;
    QProcess rcc;
    rcc.setProcessChannelMode(QProcess::MergedChannels);
    rcc.start(rccProgram(),
        { QStringLiteral("--binary"), QStringLiteral("--no-compress"), QStringLiteral("-o"), output,
            qrcPath });
    if (!rcc.waitForFinished(120000) || rcc.exitStatus() != QProcess::NormalExit
        || rcc.exitCode() != 0) {
        *error = QStringLiteral("rcc failed: ") + rcc.errorString() + QLatin1Char(' ')
            + QString::fromLocal8Bit(rcc.readAll());
        rcc.kill();
        rcc.waitForFinished(5000);
        return QString();
    }
    return output;
}

// Makes path the working directory for its lifetime. The version record step
// resolves the installation directory against it, so a chain test keeps its
// writes inside its own temporary folder.
class WorkingDirectory
{
public:
    explicit WorkingDirectory(const QString &path) : previous(QDir::currentPath())
    {
        QDir::setCurrent(path);
    }
    ~WorkingDirectory() { QDir::setCurrent(previous); }

private:
    QString previous;
};

// Registers a package for its lifetime (empty map root: its tree is ":/upgrade").
class RegisteredPackage
{
public:
    explicit RegisteredPackage(const QString &rccPath)
        : path(rccPath)
        , registered(!rccPath.isEmpty() && QResource::registerResource(rccPath))
    { }
    ~RegisteredPackage()
    {
        if (registered)
            QResource::unregisterResource(path);
    }
    bool isRegistered() const { return registered; }

private:
    QString path;
    bool registered;
};

// One worker, run as the window runs it: created without a parent, moved to
// a thread of its own, talked to only through queued calls; its outcome
// signals are recorded on the test thread in the order they arrive. Like the
// window, the run answers sigCopyAllEnd(true) with doStartUpgrade and
// sigCopyAllEnd(false) with slotFaildClear.
class WorkerRun
{
public:
    explicit WorkerRun(bool onOwnThread = true)
    {
        worker = new CUpgradeWorker;
        worker->setDbFlags(0, 0);
        if (onOwnThread) {
            worker->moveToThread(&thread);
            QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
            thread.start();
        }
        QObject::connect(worker, &CUpgradeWorker::status, &receiver,
            [this](const QString &line) { events << QStringLiteral("status:") + line; });
        QObject::connect(worker, &CUpgradeWorker::sigCopyAllEnd, &receiver, [this](bool ok) {
            events << (ok ? QStringLiteral("sigCopyAllEnd(true)")
                          : QStringLiteral("sigCopyAllEnd(false)"));
            if (!answerCopyAllEnd)
                return;
            if (ok)
                call([](CUpgradeWorker *w) { w->doStartUpgrade(); });
            else
                call([](CUpgradeWorker *w) { w->slotFaildClear(); });
        });
        QObject::connect(worker, &CUpgradeWorker::sigSuccess, &receiver, [this](bool ok) {
            events << (ok ? QStringLiteral("sigSuccess(true)")
                          : QStringLiteral("sigSuccess(false)"));
        });
        QObject::connect(worker, &CUpgradeWorker::sigFaildClearEnd, &receiver, [this] {
            events << QStringLiteral("sigFaildClearEnd");
            ++endCount;
        });
        QObject::connect(worker, &CUpgradeWorker::sigSuccessClearEnd, &receiver, [this] {
            events << QStringLiteral("sigSuccessClearEnd");
            ++endCount;
        });
    }

    ~WorkerRun() { stop(); }

    WorkerRun(const WorkerRun &) = delete;
    WorkerRun &operator=(const WorkerRun &) = delete;

    // Runs f on the worker's thread, queued, as a window's signal would.
    void call(std::function<void(CUpgradeWorker *)> f)
    {
        CUpgradeWorker *w = worker;
        QMetaObject::invokeMethod(
            w, [w, f] { f(w); }, Qt::QueuedConnection);
    }

    void startCopyAll(const QString &installPath)
    {
        call([installPath](CUpgradeWorker *w) {
            w->doStartCopyAll(UpgradeConstants::installDir(), installPath);
        });
    }

    // Waits for the first end signal (sigFaildClearEnd or sigSuccessClearEnd).
    bool waitForEnd(int timeoutMs = 60000)
    {
        return QTest::qWaitFor([this] { return endCount > 0; }, timeoutMs);
    }

    // Waits until event (as recorded in events) has arrived.
    bool waitForEvent(const QString &event, int timeoutMs = 60000)
    {
        return QTest::qWaitFor([this, event] { return events.contains(event); }, timeoutMs);
    }

    // Waits until the worker has handled everything queued before this call
    // and its signals have arrived here.
    bool flush(int timeoutMs = 30000)
    {
        auto back = std::make_shared<bool>(false);
        QObject *target = &receiver;
        QMetaObject::invokeMethod(
            worker,
            [target, back] {
                QMetaObject::invokeMethod(
                    target, [back] { *back = true; }, Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
        return QTest::qWaitFor([back] { return *back; }, timeoutMs);
    }

    // Ends the worker's thread (the worker is deleted with it) and delivers
    // whatever it still sent.
    void stop()
    {
        if (stopped)
            return;
        stopped = true;
        if (thread.isRunning()) {
            thread.quit();
            thread.wait(30000);
        } else {
            delete worker;
        }
        worker = nullptr;
        QCoreApplication::sendPostedEvents();
    }

    CUpgradeWorker *object() const { return worker; }

    QStringList statusLines() const
    {
        QStringList lines;
        for (const QString &event : events) {
            if (event.startsWith(QLatin1String("status:")))
                lines << event.mid(7);
        }
        return lines;
    }

    // The non-status events, in order.
    QStringList outcomes() const
    {
        QStringList result;
        for (const QString &event : events) {
            if (!event.startsWith(QLatin1String("status:")))
                result << event;
        }
        return result;
    }

    QStringList events;
    int endCount = 0;
    // False: the extraction's end is recorded but not answered, so that the
    // staging tree can be looked at before the chain would remove it.
    bool answerCopyAllEnd = true;

private:
    QThread thread;
    QObject receiver;
    CUpgradeWorker *worker = nullptr;
    bool stopped = false;
};

} // namespace EngineHarness
