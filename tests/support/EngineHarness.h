#pragma once

// Support for the engine tests: file trees on disk, upgrade packages (built
// through TestPackage), and a worker run the way the window runs it
// (parentless, on a thread of its own, answered through queued connections).
//
//   EngineHarness::Upgrade upgrade;               // installation in <tmp>/suite
//   QVERIFY(writeTree(upgrade.installPath, {{"a.dll", "old"}}));
//   QVERIFY2(upgrade.execute({{"update/a.dll", "new"}}), qPrintable(upgrade.error));
//   upgrade.run.statusLines(); upgrade.run.outcomes();

#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

#include "CUpgradeWorker.h"
#include "TestPackage.h"
#include "UpgradeConstants.h"

namespace EngineHarness {

// Relative path -> content; a path ending in "/" is an empty folder.
using Tree = QMap<QString, QByteArray>;

inline bool writeFile(const QString &path, const QByteArray &content = QByteArray())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline TestPackage::Files filesOf(const Tree &tree, const QString &prefix = QString())
{
    TestPackage::Files files;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        files.append({ prefix + it.key(), it.value() });
    return files;
}

inline bool writeTree(const QString &root, const Tree &tree)
{
    return TestPackage::writeTree(root, filesOf(tree));
}

// Everything below root, hidden entries included, links not followed:
// folders as "path/" -> "", links as "path@" -> their target.
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

// tree with the folders leading to each entry added as snapshot() lists them.
inline Tree withFolders(const Tree &tree)
{
    Tree result = tree;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        QString path = it.key();
        if (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        for (int slash = path.lastIndexOf(QLatin1Char('/')); slash > 0;
             slash = path.lastIndexOf(QLatin1Char('/'))) {
            path.truncate(slash);
            result.insert(path + QLatin1Char('/'), QByteArray());
        }
    }
    return result;
}

// The package tree below "upgrade/": tree plus a fitting descriptor and a readme.
inline Tree packageTree(const Tree &tree)
{
    Tree full = tree;
    full.insert(QStringLiteral("upgrade_config.xml"), TestPackage::descriptor(7, "2.1.0", "2.1.9"));
    full.insert(QStringLiteral("readme.txt"), QByteArray("read me\n"));
    return full;
}

inline QString buildPackage(const QString &dir, const Tree &tree, QString *error,
    const QString &name = QStringLiteral("package.rcc"))
{
    return TestPackage::build(
        dir, filesOf(packageTree(tree), QStringLiteral("upgrade/")), error, name);
}

// A package made with rcc directly, for names the builder refuses and that
// could not even exist on disk (a name longer than 255 bytes).
inline QString buildWithAliases(const QString &dir, const Tree &tree, QString *error)
{
    return TestPackage::buildUnchecked(dir, filesOf(packageTree(tree), QStringLiteral("upgrade/")),
        error, QStringLiteral("aliased.rcc"));
}

// Marks path immutable (chattr +i), which even root can't write through, and
// takes the mark off again when it goes out of scope. isSet() is false where
// the tool or the file system can't; the caller then skips.
class Immutable
{
public:
    explicit Immutable(const QString &path)
        : path(path)
        , set(chattr(QStringLiteral("+i")))
    { }
    ~Immutable()
    {
        if (set)
            chattr(QStringLiteral("-i"));
    }
    Immutable(const Immutable &) = delete;
    Immutable &operator=(const Immutable &) = delete;
    bool isSet() const { return set; }

private:
    bool chattr(const QString &flag) const
    {
        QProcess process;
        process.start(QStringLiteral("chattr"), { flag, path });
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }
    QString path;
    bool set;
};

// Makes path the working directory for its lifetime. The version record step
// resolves the installation directory against it.
class WorkingDirectory
{
public:
    explicit WorkingDirectory(const QString &path)
        : previous(QDir::currentPath())
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
// a thread of its own, talked to only through queued calls; its signals are
// recorded on the test thread in the order they arrive ("status:<line>" or the
// signal with its argument). Like the window, it answers sigCopyAllEnd(true)
// with doStartUpgrade and sigCopyAllEnd(false) with slotFaildClear.
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
        auto record = [this](const QString &event) { events << event; };
        auto flag
            = [](bool ok) { return ok ? QStringLiteral("(true)") : QStringLiteral("(false)"); };
        QObject::connect(worker, &CUpgradeWorker::status, &receiver,
            [record](const QString &line) { record(QStringLiteral("status:") + line); });
        QObject::connect(worker, &CUpgradeWorker::sigCopyAllEnd, &receiver, [=](bool ok) {
            record(QStringLiteral("sigCopyAllEnd") + flag(ok));
            if (answerCopyAllEnd)
                call([ok](CUpgradeWorker *w) { ok ? w->doStartUpgrade() : w->slotFaildClear(); });
        });
        QObject::connect(worker, &CUpgradeWorker::sigSuccess, &receiver,
            [=](bool ok) { record(QStringLiteral("sigSuccess") + flag(ok)); });
        QObject::connect(worker, &CUpgradeWorker::sigFaildClearEnd, &receiver, [=] {
            record(QStringLiteral("sigFaildClearEnd"));
            ++endCount;
        });
        QObject::connect(worker, &CUpgradeWorker::sigSuccessClearEnd, &receiver, [=] {
            record(QStringLiteral("sigSuccessClearEnd"));
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
        call([target, back](CUpgradeWorker *) {
            QMetaObject::invokeMethod(
                target, [back] { *back = true; }, Qt::QueuedConnection);
        });
        return QTest::qWaitFor([back] { return *back; }, timeoutMs);
    }

    // Ends the worker's thread (the worker goes with it) and delivers
    // whatever it still sent.
    void stop()
    {
        if (!worker)
            return;
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

    // The signals other than status, in order.
    QStringList outcomes() const
    {
        QStringList result = events;
        result.erase(std::remove_if(result.begin(), result.end(),
                         [](const QString &e) { return e.startsWith(QLatin1String("status:")); }),
            result.end());
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
};

// One upgrade of the installation at installPath (<tmp>/suite by default)
// with a package built from a tree, run to its end as the window runs it, with
// tmp as the working directory. Every run must end with exactly one end signal.
struct Upgrade
{
    explicit Upgrade(bool onOwnThread = true)
        : run(onOwnThread)
    { }

    QTemporaryDir tmp;
    QString installPath = tmp.path() + QStringLiteral("/suite");
    QString error;
    WorkerRun run;
    bool createInstallation = true; // make installPath before the run
    bool aliased = false; // build the package with buildWithAliases
    bool toTheEnd = true; // false: stop after the extraction, keep the worker

    // An empty tree registers no package at all.
    bool execute(const Tree &package)
    {
        QString rcc;
        if (!package.isEmpty()) {
            rcc = aliased ? buildWithAliases(tmp.path(), package, &error)
                          : buildPackage(tmp.path(), package, &error);
            if (rcc.isEmpty())
                return false;
        }
        RegisteredPackage registered(rcc);
        if (registered.isRegistered() == package.isEmpty()) {
            error = QStringLiteral("cannot register ") + rcc;
            return false;
        }
        if (createInstallation)
            QDir().mkpath(installPath);
        WorkingDirectory cwd(tmp.path());
        run.answerCopyAllEnd = toTheEnd;
        run.startCopyAll(installPath);
        const bool ended
            = toTheEnd ? run.waitForEnd() : run.waitForEvent(QStringLiteral("sigCopyAllEnd(true)"));
        if (!ended || !run.flush()) {
            error = QStringLiteral("the upgrade did not end: ") + run.events.join(" | ");
            return false;
        }
        if (!toTheEnd)
            return true;
        run.stop();
        if (run.endCount != 1)
            error = QStringLiteral("%1 end signals: ").arg(run.endCount) + run.events.join(" | ");
        return run.endCount == 1;
    }

    QString target(const QString &relative) const
    {
        return installPath + QDir::separator() + relative;
    }
    QString staging() const
    {
        return installPath + QLatin1Char('/') + UpgradeConstants::stagingFolderName();
    }
};

} // namespace EngineHarness
