#pragma once

#include <QString>
#include <QStringList>

// What the installer was asked to do on its command line. Without arguments,
// or with one package file, it opens its window; the rest runs without one.
struct CommandLine
{
    enum class Mode {
        Window, // no arguments, or one package file to choose at once
        Unattended, // --unattended --package FILE [options]
        Recover, // --recover [--log FILE] [--result FILE] [--quiet]
        Help, // --help: usage on standard output
        Version, // --version: "upgrade_install 1.1.0" on standard output
        Usage // a mistake: error and usage on standard error
    };
    Mode mode = Mode::Window;
    QString package;
    QString logFile;
    QString resultFile; // --result: the run's result as JSON
    bool backupFirst = false;
    bool dryRun = false;
    bool quiet = false; // only problems and the result line on the console
    bool closePrograms = false; // ask the suite's running programs to close
    int waitProgramsSeconds = 60; // how long closing them may take
    int backupTimeoutSeconds = 3600; // how long --backup-first's backup may take
    QString error; // for Usage: what is wrong

    // arguments without the program's name.
    static CommandLine parse(const QStringList &arguments);
    // Whether argv (with the program's name) opens the window: decided
    // before any application object exists, as only the window needs a
    // display.
    static bool opensWindow(int argc, const char *const *argv);
    static QString usage();
};
