#include <QApplication>
#include <QCoreApplication>

#include <cstdio>

#include "ApplicationStyle.h"
#include "CommandLine.h"
#include "ExitCode.h"
#include "MainWindow.h"
#include "ProgramVersion.h"
#include "TerminationRequests.h"
#include "UnattendedUpgrade.h"

namespace {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int runWithoutWindow(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const CommandLine line = CommandLine::parse(QCoreApplication::arguments().mid(1));
    switch (line.mode) {
    case CommandLine::Mode::Help:
        print(stdout, CommandLine::usage());
        return ExitUpgraded;
    case CommandLine::Mode::Version:
        print(stdout, ProgramVersion::line(QStringLiteral("upgrade_install")) + QLatin1Char('\n'));
        return ExitUpgraded;
    case CommandLine::Mode::Usage:
        print(stderr, line.error + QLatin1Char('\n') + CommandLine::usage());
        return ExitUsage;
    case CommandLine::Mode::Window: // opensWindow() decided otherwise: not reached
        return ExitUsage;
    case CommandLine::Mode::Unattended:
    case CommandLine::Mode::Recover:
        break;
    }
    UnattendedUpgrade upgrade(line);
    return upgrade.run();
}

} // namespace

int main(int argc, char *argv[])
{
    if (!CommandLine::opensWindow(argc, argv))
        return runWithoutWindow(argc, argv);

    QApplication app(argc, argv);
    installProgramLanguage(app);
    installApplicationStyle(app);
    const CommandLine line = CommandLine::parse(QCoreApplication::arguments().mid(1));

    MainWindow window;
    TerminationRequests termination;
    QObject::connect(
        &termination, &TerminationRequests::received, &window, &MainWindow::terminationRequested);
    window.show();
    if (!window.init())
        return ExitNoRecord;
    if (!line.package.isEmpty())
        window.loadPackage(line.package);
    return app.exec();
}
