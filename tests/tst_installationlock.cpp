#include <QtTest>

#include "InstallationLock.h"

// The lock of one upgrade per installation.
class tst_InstallationLock : public QObject
{
    Q_OBJECT
private slots:
    void childrenDontHoldIt();
};

// A program started while the lock is held (a script, a service it starts)
// gets no handle on it, which would keep the lock after the installer ended.
void tst_InstallationLock::childrenDontHoldIt()
{
#ifndef Q_OS_LINUX
    QSKIP("reads /proc");
#endif
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/upgrade.lock");
    InstallationLock lock;
    QCOMPARE(lock.take(file), InstallationLock::Result::Taken);
    QProcess child;
    child.start(QStringLiteral("sleep"), { QStringLiteral("30") });
    QVERIFY(child.waitForStarted());
    const QString fds = QStringLiteral("/proc/%1/fd").arg(child.processId());
    QStringList held;
    for (const QString &fd :
        QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        held << QFile::symLinkTarget(fds + QLatin1Char('/') + fd);
    child.kill();
    child.waitForFinished();
    QVERIFY(!held.isEmpty()); // its standard channels, at least
    QVERIFY2(!held.contains(file), qPrintable(held.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(tst_InstallationLock)
#include "tst_installationlock.moc"
