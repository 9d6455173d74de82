#pragma once

#include <QString>
#include <QStringList>

// What the helper's command line asks for.
struct HelperOptions
{
    enum class Result {
        Ok, // do what the fields below say
        Help, // print helpText (the usage, or the version line for --version)
        Usage // a mistake: error says what
    };
    enum class Mode { Run, DryRun, Status };

    Result result = Result::Ok;
    QString error; // for Usage
    QString helpText; // for Help
    // --status, --dry-run or --applied named: a person's command line, whose
    // errors end the program normally. Also set for Usage.
    bool byPerson = false;
    Mode mode = Mode::Run; // --applied asks in the Status mode
    bool askApplied = false;
    bool up = false;
    QString beforeDir; // empty: not given
    QString afterDir;
    // Absolute; the suite's unless --database names one. Empty when the
    // program doesn't sit in a suite and --database is not given: error says so.
    QString databaseFile;

    // arguments: with the program's name first; programDir: the program's own
    // folder, <main>/product/<program folder>, which finds the suite's database.
    static HelperOptions parse(const QStringList &arguments, const QString &programDir);
    // The one-line usage printed after a command line that can't be read.
    static QString synopsis();

    // Whether a run or dry run was given nothing to do.
    bool nothingToDo() const
    {
        return mode != Mode::Status && !up && beforeDir.isEmpty() && afterDir.isEmpty();
    }
};
