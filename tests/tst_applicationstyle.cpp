#include <QtTest>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "ApplicationStyle.h"

// Qt's own texts (standard buttons) follow the system's language where the
// system has Qt's translations for it.
class tst_ApplicationStyle : public QObject
{
    Q_OBJECT
private slots:
    void qtTranslations_data();
    void qtTranslations();
};

void tst_ApplicationStyle::qtTranslations_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QString>("yes"); // the Yes button's text
    QTest::newRow("Chinese") << "zh_CN" << true << "是(&Y)";
    QTest::newRow("no translation: Qt's English") << "C" << false << "&Yes";
}

void tst_ApplicationStyle::qtTranslations()
{
    QFETCH(QString, locale);
    QFETCH(bool, loaded);
    QFETCH(QString, yes);
    if (loaded
        && !QFile::exists(QLibraryInfo::location(QLibraryInfo::TranslationsPath)
            + QStringLiteral("/qtbase_zh_CN.qm")))
        QSKIP("Qt's translations (qttranslations5-l10n) are not installed");
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    QCOMPARE(installQtTranslations(*app, QLocale(locale)), loaded);
    QMessageBox box(QMessageBox::Question, QString(), QString(), QMessageBox::Yes);
    QCOMPARE(box.button(QMessageBox::Yes)->text(), yes);
    for (QTranslator *translator : app->findChildren<QTranslator *>())
        app->removeTranslator(translator);
}

QTEST_MAIN(tst_ApplicationStyle)
#include "tst_applicationstyle.moc"
