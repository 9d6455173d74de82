// make_upgrade_package SOURCE_DIR OUTPUT.rcc
//
// Builds an upgrade package from SOURCE_DIR, which holds the folder "upgrade".
// Exit code 0 when the package was written, 1 when the tree was refused (the
// reason goes to standard error), 2 on wrong usage.
#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

#include "PackageBuilder.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream err(stderr);
    if (args.size() != 3) {
        err << "usage: make_upgrade_package SOURCE_DIR OUTPUT.rcc\n"
               "SOURCE_DIR holds the folder \"upgrade\" with upgrade_config.xml.\n";
        return 2;
    }
    QString error;
    if (!PackageBuilder::build(args.at(1), args.at(2), &error)) {
        err << "make_upgrade_package: " << error << '\n';
        return 1;
    }
    QTextStream(stdout) << "wrote " << args.at(2) << '\n';
    return 0;
}
