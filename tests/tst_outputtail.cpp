#include <QtTest>

#include "OutputTail.h"

// The bounded tail of a child's output.
class tst_OutputTail : public QObject
{
    Q_OBJECT
private slots:
    void tail_data();
    void tail();
};

void tst_OutputTail::tail_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces"); // written one after another
    QTest::addColumn<QStringList>("expected"); // with 3 lines of up to 5 characters kept

    QTest::newRow("lines in order, blank ones left out")
        << QList<QByteArray> { "a\n\n  b \r\n", "c" } << QStringList { "a", "b", "c" };
    QTest::newRow("only the last lines stay")
        << QList<QByteArray> { "1\n2\n3\n", "4\n5\n" } << QStringList { "3", "4", "5" };
    QTest::newRow("a line split across writes")
        << QList<QByteArray> { "ab", "c\nd" } << QStringList { "abc", "d" };
    QTest::newRow("long lines cut, also one written in many pieces")
        << QList<QByteArray> { "123456789\n", QByteArray(100000, 'x'), QByteArray(100000, 'y') }
        << QStringList { "12345…", "xxxxx…" };
    QTest::newRow("UTF-8") << QList<QByteArray> { "中文\xe8", "\xaf\xad\n" }
                           << QStringList { "中文语" };
}

void tst_OutputTail::tail()
{
    QFETCH(QList<QByteArray>, pieces);
    OutputTail tail(3, 5);
    for (const QByteArray &piece : pieces)
        tail.append(piece);
    QTEST(tail.lines(), "expected");
}

QTEST_GUILESS_MAIN(tst_OutputTail)
#include "tst_outputtail.moc"
