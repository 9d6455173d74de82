#include "ApplicationStyle.h"

#include <QApplication>
#include <QFile>

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
