#include <QtTest>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>

#include "ApplicationStyle.h"

// Qt's own texts (standard buttons) come from the translations compiled in;
// the program speaks Chinese whatever the system's language.
class tst_ApplicationStyle : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void qtTranslations_data();
    void qtTranslations();
    void programLanguage_data();
    void programLanguage();
    void fileDialog_data();
    void fileDialog();
    void textFieldColours_data();
    void textFieldColours();
};

void tst_ApplicationStyle::cleanup()
{
    for (QTranslator *translator : qApp->findChildren<QTranslator *>())
        qApp->removeTranslator(translator);
    qDeleteAll(qApp->findChildren<QTranslator *>());
    QLocale::setDefault(QLocale::system());
    qApp->setStyleSheet(QString());
}

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
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    QCOMPARE(installQtTranslations(*app, QLocale(locale)), loaded);
    QMessageBox box(QMessageBox::Question, QString(), QString(), QMessageBox::Yes);
    QCOMPARE(box.button(QMessageBox::Yes)->text(), yes);
    for (QTranslator *translator : app->findChildren<QTranslator *>())
        app->removeTranslator(translator);
}

void tst_ApplicationStyle::programLanguage_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");
    QTest::newRow("standard button") << "QPlatformTheme"
                                     << "&No"
                                     << "否(&N)";
    QTest::newRow("message box details") << "QMessageBox"
                                         << "Show Details..."
                                         << "显示详情...";
    QTest::newRow("file dialog") << "QFileDialog"
                                 << "Look in:"
                                 << "查找范围：";
}

// Under an English default locale (as on servers with LANG=C), Qt's texts are
// Chinese and so is the default locale afterwards.
void tst_ApplicationStyle::programLanguage()
{
    QFETCH(QString, context);
    QFETCH(QString, english);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QVERIFY(installProgramLanguage(*qApp));
    QVERIFY(QFile::exists(":/translations/qtbase_zh_CN.qm")); // for machines without Qt's folder
    QTEST(QCoreApplication::translate(qPrintable(context), qPrintable(english)), "chinese");
    QCOMPARE(QLocale().language(), QLocale::Chinese);
}

void tst_ApplicationStyle::fileDialog_data()
{
    QTest::addColumn<QString>("system");
    QTest::addColumn<bool>("native");
    QTest::newRow("Chinese system: native dialog") << "zh_CN" << true;
    QTest::newRow("English system: Qt's dialog") << "en_US" << false;
    QTest::newRow("C locale: Qt's dialog") << "C" << false;
}

void tst_ApplicationStyle::fileDialog()
{
    QFETCH(QString, system);
    const QFileDialog::Options options = fileDialogOptions(QLocale(system));
    QTEST(!options.testFlag(QFileDialog::DontUseNativeDialog), "native");
}

void tst_ApplicationStyle::textFieldColours_data()
{
    QTest::addColumn<QString>("name"); // empty: the message box's details field
    QTest::addColumn<bool>("logColours");
    QTest::newRow("main log") << "textEdit" << true;
    QTest::newRow("information box") << "textEdit_3" << true;
    QTest::newRow("message box details") << QString() << false;
}

// The log's cyan on blue stays with the window's fields; a message box's
// details keep Qt's readable default.
void tst_ApplicationStyle::textFieldColours()
{
    QFETCH(QString, name);
    installApplicationStyle(*qApp);
    QWidget window;
    QMessageBox box(QMessageBox::Warning, "提示", "text", QMessageBox::Ok, &window);
    box.setDetailedText("details");
    auto *field = name.isEmpty() ? box.findChild<QTextEdit *>() : new QTextEdit(&window);
    QVERIFY(field);
    field->setObjectName(name.isEmpty() ? field->objectName() : name);
    field->ensurePolished();
    QTEST(field->palette().color(QPalette::Text) == QColor(0, 222, 255), "logColours");
}

QTEST_MAIN(tst_ApplicationStyle)
#include "tst_applicationstyle.moc"
