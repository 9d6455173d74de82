#include <QApplication>

#include "ApplicationStyle.h"
#include "MainWindow.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    installApplicationStyle(app);

    MainWindow window;
    window.show();
    if (!window.init())
        return 0;
    return app.exec();
}
