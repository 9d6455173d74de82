#include "ApplicationStyle.h"

#include <QApplication>
#include <QFile>

void installApplicationStyle(QApplication &app)
{
    QFile style(QStringLiteral(":/res/upgrade_style.qss"));
    style.open(QIODevice::ReadOnly); // the result is not needed: a failed open reads nothing
    app.setStyleSheet(QString::fromUtf8(style.readAll()));
    style.close();
}
