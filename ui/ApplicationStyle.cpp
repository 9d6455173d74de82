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
    Q_INIT_RESOURCE(qt_translations);
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
    // The Windows distribution ships Qt's translations beside the program
    // (qt.conf points there); anywhere else (the Windows SDK has none, a copied
    // program, a server without them) the copy compiled in serves.
    initUiResources();
    auto *translator = new QTranslator(&app);
    const QString folders[] = { QLibraryInfo::location(QLibraryInfo::TranslationsPath),
        QStringLiteral(":/translations") };
    for (const QString &folder : folders) {
        if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder))
            return app.installTranslator(translator);
    }
    delete translator;
    return false;
}

bool installProgramLanguage(QApplication &app)
{
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    QLocale::setDefault(chinese);
    return installQtTranslations(app, chinese);
}

QFileDialog::Options fileDialogOptions(const QLocale &system)
{
    if (system.language() == QLocale::Chinese)
        return {};
    return QFileDialog::DontUseNativeDialog;
}
