#pragma once

#include <QString>

// Asks a running program to end, as a person closing it would; it is never
// forced. Implemented in ProgramCloser_unix.cpp (SIGTERM) and
// ProgramCloser_win.cpp (the Restart Manager's shutdown, then WM_CLOSE to its
// top-level windows when that left it running).
namespace ProgramCloser {

enum class Result {
    Asked, // the request went out (the program may still take its time)
    Gone, // the process has ended, or now runs another program
    NotAllowed, // the system refused: another user's program
    Failed // no way to ask it; the reason says why
};

struct Outcome
{
    Result result = Result::Asked;
    QString reason; // for a person, when not Asked
};

// Asks the process pid to end, once it is sure that the process still runs
// the executable at path (as ProcessList::imagePath gives it): a process ID
// taken over by another program is never asked.
Outcome askToEnd(qint64 pid, const QString &path);

} // namespace ProgramCloser
