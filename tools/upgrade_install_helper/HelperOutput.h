#pragma once

class QString;

// Exit codes of a normal end. A run's errors end the program abnormally
// instead (see HelperOutput::endAbnormally()).
enum ExitCode { ExitSuccess = 0, ExitFailure = 1, ExitPending = 3, ExitUsage = 64 };

// The helper's lines on standard output and standard error, and how it ends.
namespace HelperOutput {

// One line on standard output, blanks simplified.
void say(const QString &line);
// Each line of text on standard error, blanks simplified.
void complain(const QString &text);
// The text of --help as it is; false when it could not be written.
bool writeText(const QString &text);
// Whether a line of say() or complain() could not be written (a closed or
// full output): the work may be done, but the program does not end with
// success.
bool outputLost();

// A failed run ends the process abnormally: installers that judge the helper
// only by how it ends (a normal exit, whatever its code, counted as success)
// still see the failure; ours also takes any exit code but 0 as failure.
[[noreturn]] void endAbnormally();

} // namespace HelperOutput
