#pragma once

#include <QString>

namespace VisibleText {

// Text from outside (a file name, a script's output, a package's contents)
// made safe to write as part of one log or console line: every control
// character (C0, DEL, C1) and the Unicode line and paragraph separators are
// written as visible escapes (\n, \r, \t, \x1B, \x85, \u2028), so that no
// such text can end a line, start a forged one or steer a terminal.
QString escaped(const QString &text);

} // namespace VisibleText
