#pragma once

#include <QString>
#include <QStringList>

// What the installer was asked to do on its command line. Without arguments,
// or with one package file, it opens its window; the rest runs without one.
struct CommandLine
{
    enum class Mode {
        Window, // no arguments, or one package file to choose at once
        Unattended, // --unattended --package FILE [--log FILE] [--backup-first] [--dry-run]
        Recover, // --recover: only bring an interrupted upgrade to an end
        Help, // --help: usage on standard output
        Usage // a mistake: error and usage on standard error
    };
    Mode mode = Mode::Window;
    QString package;
    QString logFile;
    bool backupFirst = false;
    bool dryRun = false;
    QString error; // for Usage: what is wrong

    // arguments without the program's name.
    static CommandLine parse(const QStringList &arguments);
    // Whether argv (with the program's name) opens the window: decided
    // before any application object exists, as only the window needs a
    // display.
    static bool opensWindow(int argc, const char *const *argv);
    static QString usage();
};
