#include "ApplicationStyle.h"

#include <QApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerUpgradeResources()
{
    Q_INIT_RESOURCE(upgrade);
}

void initUiResources()
{
    static const bool registered = (registerUpgradeResources(), true);
    Q_UNUSED(registered)
}

void installApplicationStyle(QApplication &app)
{
    initUiResources();
    QFile style(QStringLiteral(":/res/upgrade_style.qss"));
    style.open(QIODevice::ReadOnly); // the result is not needed: a failed open reads nothing
    app.setStyleSheet(QString::fromUtf8(style.readAll()));
    style.close();
}

bool installQtTranslations(QApplication &app, const QLocale &locale)
{
    // qtbase_* holds the widgets' texts; older installations only have qt_*.
    auto *translator = new QTranslator(&app);
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
    for (const QString &name : { QStringLiteral("qtbase"), QStringLiteral("qt") }) {
        if (translator->load(locale, name, QStringLiteral("_"), folder))
            return app.installTranslator(translator);
    }
    delete translator;
    return false;
}
