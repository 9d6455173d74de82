#include <QApplication>
#include <QFile>

#include "MainWindow.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    QFile style(QStringLiteral(":/res/upgrade_style.qss"));
    style.open(QIODevice::ReadOnly); // a missing sheet leaves the default look
    app.setStyleSheet(QString::fromUtf8(style.readAll()));
    style.close();

    MainWindow window;
    window.show();
    if (!window.init())
        return 0;
    return app.exec();
}
