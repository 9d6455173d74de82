#include <QtTest>

#include "PathGuard.h"
#include "support/PlatformFiles.h"

namespace {

// Makes the folders and links of a row below root; a link is "name>target",
// a target starting with "@/" is taken below root, others are stored as they
// are (relative to the link's folder). False with *why when a link can't be
// made.
bool prepare(const QString &root, const QStringList &links, QString *why)
{
    for (const char *folder : { "main/sub/deeper", "outside/dir", "outside/a/b", "main2" }) {
        if (!QDir(root).mkpath(QLatin1String(folder))) {
            *why = QStringLiteral("cannot make ") + folder;
            return false;
        }
    }
    for (const QString &link : links) {
        const QStringList parts = link.split(QLatin1Char('>'));
        const QString target
            = parts.at(1).startsWith(QLatin1String("@/")) ? root + parts.at(1).mid(1) : parts.at(1);
        if (!makeSymLink(target, root + '/' + parts.at(0), why))
            return false;
    }
    return true;
}

} // namespace

// Writes stay inside the installation: links on the way to a target that lead
// outside the main directory are found; links inside are followed.
class tst_PathGuard : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data();
    void verdicts();
    void verdictRenewedAfterForget();
    void pathForms_data();
    void pathForms();
    void manyTargetsAreQuick();
};

void tst_PathGuard::verdicts_data()
{
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QString>("mainDir"); // below the test's root
    QTest::addColumn<QString>("path"); // below the test's root
    QTest::addColumn<bool>("checkOk");
    QTest::addColumn<bool>("parentOk");
    QTest::addColumn<QString>("link"); // expected escape of the first failing call
    QTest::addColumn<QString>("target");

    const QString none;
    QTest::newRow("plain path") << QStringList() << "main"
                                << "main/sub/deeper/file.txt" << true << true << none << none;
    QTest::newRow("missing tail") << QStringList() << "main"
                                  << "main/sub/new/folder/file.txt" << true << true << none << none;
    QTest::newRow("main dir itself: no target to remove") << QStringList() << "main"
                                                          << "main" << true << false << "main"
                                                          << "main";
    QTest::newRow("link inside is followed")
        << QStringList { "main/in>sub", "main/sub/abs>@/main/sub/deeper" } << "main"
        << "main/in/abs/file.txt" << true << true << none << none;
    QTest::newRow("outside link at the first level")
        << QStringList { "main/plugins>../outside/dir" } << "main"
        << "main/plugins/x.dll" << false << false << "main/plugins"
        << "outside/dir";
    QTest::newRow("outside link at a deeper level")
        << QStringList { "main/sub/deeper/plugins>@/outside/dir" } << "main"
        << "main/sub/deeper/plugins/new/x.dll" << false << false << "main/sub/deeper/plugins"
        << "outside/dir";
    QTest::newRow("outside link as the last part: only its removal is fine")
        << QStringList { "main/sub/plugins>@/outside/dir" } << "main"
        << "main/sub/plugins" << false << true << "main/sub/plugins"
        << "outside/dir";
    QTest::newRow("relative link climbing out")
        << QStringList { "main/sub/deeper/up>../../../outside" } << "main"
        << "main/sub/deeper/up/dir/x.dll" << false << false << "main/sub/deeper/up"
        << "outside";
    QTest::newRow("link to a link that ends outside")
        << QStringList { "main/hop>away", "main/away>../outside/dir" } << "main"
        << "main/hop/x.dll" << false << false << "main/hop"
        << "outside/dir";
    QTest::newRow("dangling link leading outside")
        << QStringList { "main/sub/gone>../../outside/missing/more" } << "main"
        << "main/sub/gone" << false << true << "main/sub/gone"
        << "outside/missing/more";
    QTest::newRow("link loop is refused")
        << QStringList { "main/loop1>loop2", "main/loop2>loop1" } << "main"
        << "main/loop1/x.dll" << false << false << "main/loop1"
        << "main/loop2";
    QTest::newRow("sibling with the main dir's name as prefix")
        << QStringList { "main/sib>../main2" } << "main"
        << "main/sib/x.dll" << false << false << "main/sib"
        << "main2";
    QTest::newRow("'..' leaving the main dir as text")
        << QStringList() << "main"
        << "main/sub/../../outside/dir/x.dll" << false << false
        << "main/sub/../../outside/dir/x.dll"
        << "outside/dir/x.dll";
    QTest::newRow("'..' after an outside link, inside as text")
        << QStringList { "main/sub/deeper/jump>@/outside/a/b" } << "main"
        << "main/sub/deeper/jump/../x.dll" << false << false << "main/sub/deeper/jump/../x.dll"
        << "outside/a/x.dll";
    QTest::newRow("main dir reached through a link")
        << QStringList { "suite>main", "main/abs>@/main/sub" } << "suite"
        << "suite/abs/deeper/x.dll" << true << true << none << none;
    QTest::newRow("main dir reached through a link, outside link in it")
        << QStringList { "suite>main", "main/plugins>../outside/dir" } << "suite"
        << "suite/plugins/x.dll" << false << false << "suite/plugins"
        << "outside/dir";
}

void tst_PathGuard::verdicts()
{
    QFETCH(QStringList, links);
    QFETCH(QString, mainDir);
    QFETCH(QString, path);
    QFETCH(bool, checkOk);
    QFETCH(bool, parentOk);
    QFETCH(QString, link);
    QFETCH(QString, target);

    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    QString why;
    if (!prepare(root, links, &why))
        QSKIP(qPrintable(why));
    PathGuard guard(root + '/' + mainDir);
    PathGuard::Escape escape;
    QCOMPARE(guard.check(root + '/' + path, &escape), checkOk);
    if (checkOk)
        escape = PathGuard::Escape();
    QCOMPARE(guard.checkParent(root + '/' + path, checkOk ? &escape : nullptr), parentOk);
    // Asked again from the cache, the verdicts stay.
    QCOMPARE(guard.checkParent(root + '/' + path), parentOk);
    QCOMPARE(guard.check(root + '/' + path), checkOk);
    if (!link.isEmpty()) {
        QCOMPARE(escape.link, root + '/' + link);
        QCOMPARE(escape.target, root + '/' + target);
    }
}

void tst_PathGuard::verdictRenewedAfterForget()
{
    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    QString why;
    QVERIFY2(prepare(root, {}, &why), qPrintable(why));
    QVERIFY(QDir(root).mkpath("main/plugins"));
    PathGuard guard(root + "/main");
    const QString target = root + "/main/plugins/x.dll";
    QVERIFY(guard.checkParent(target));

    // A link planted in place of the folder: the verdict holds within the
    // step, and the next step finds it.
    QVERIFY(QDir(root + "/main/plugins").removeRecursively());
    if (!makeSymLink(root + "/outside/dir", root + "/main/plugins", &why))
        QSKIP(qPrintable(why));
    QVERIFY(guard.checkParent(target));
    guard.forget();
    PathGuard::Escape escape;
    QVERIFY(!guard.checkParent(target, &escape));
    QCOMPARE(escape.link, root + "/main/plugins");
    QCOMPARE(PathGuard::describe(escape),
        QStringLiteral("%1指向安装目录之外(%2)")
            .arg(QDir::toNativeSeparators(escape.link),
                QDir::toNativeSeparators(root + "/outside/dir")));
}

void tst_PathGuard::pathForms_data()
{
    QTest::addColumn<QString>("mainDir"); // below the test's root, as the record may hold it
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("inside");
    QTest::newRow("main dir with native separators")
        << QDir::toNativeSeparators("/main") << "/main/sub/x.dll" << true;
    QTest::newRow("sibling whose name starts like the main dir's")
        << QDir::toNativeSeparators("/main") << QDir::toNativeSeparators("/main2/x.dll") << false;
#ifdef Q_OS_WIN
    QTest::newRow("letter case differs") << "/main"
                                         << "\\MAIN\\Sub/x.dll" << true;
#endif
}

// The installation's path as the record holds it (backslashes on Windows, any
// letter case there) names the same folder.
void tst_PathGuard::pathForms()
{
    QFETCH(QString, mainDir);
    QFETCH(QString, path);
    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    QString why;
    QVERIFY2(prepare(root, {}, &why), qPrintable(why));
    PathGuard guard(QDir::toNativeSeparators(root) + mainDir);
    QTEST(guard.check(QDir::toNativeSeparators(root) + path), "inside");
    QTEST(guard.checkParent(root + path), "inside");
}

void tst_PathGuard::manyTargetsAreQuick()
{
    // 20,000 targets in 400 folders, the folders linked in and out of each
    // other inside the installation.
    QTemporaryDir dir;
    const QString main = QFileInfo(dir.path()).canonicalFilePath() + "/main";
    QStringList targets;
    QString why;
    bool linked = true;
    for (int folder = 0; folder < 400; ++folder) {
        const QString path = QStringLiteral("%1/f%2/g%3").arg(main).arg(folder / 20).arg(folder);
        QVERIFY(QDir().mkpath(path));
        const QString link = QStringLiteral("%1/l%2").arg(main).arg(folder);
        // Where no link can be made, its targets are reached directly.
        const bool viaLink = folder % 20 == 0 && linked && makeSymLink(path, link, &why);
        linked = linked && (folder % 20 != 0 || viaLink);
        for (int file = 0; file < 50; ++file)
            targets << QStringLiteral("%1/%2/file%3.dll")
                           .arg(viaLink ? link : path)
                           .arg(file % 5)
                           .arg(file);
    }
    PathGuard guard(main);
    QElapsedTimer timer;
    timer.start();
    for (const QString &target : qAsConst(targets))
        QVERIFY(guard.checkParent(target));
    qInfo("%d targets checked in %lld ms, %d folders judged", targets.size(), timer.elapsed(),
        guard.foldersJudged());
    if (!linked)
        qInfo("without links: %s", qPrintable(why));
    // The time is printed, not bounded (a loaded machine would fail a bound;
    // scripts/bench measures speed): the 20,000 targets lie in 2,000 folders,
    // each judged once and its verdict kept for the other targets in it.
    QCOMPARE(guard.foldersJudged(), 2000);
}

QTEST_GUILESS_MAIN(tst_PathGuard)
#include "tst_pathguard.moc"
