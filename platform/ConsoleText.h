#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// Text on a console program's standard output and error, written so that
// whoever reads it gets the text. On Windows a console window gets it as
// Unicode, whatever its code page; a pipe or a file gets UTF-8 (the ANSI code
// page holds little of the suite's text, and its programs read each other's
// output as UTF-8). Elsewhere it is written in the locale's encoding, which
// the terminal expects.
namespace ConsoleText {

// Writes text as it is (no line end added) and flushes the stream; false when
// it could not be written.
bool write(std::FILE *stream, const QString &text);

// What another of the suite's programs wrote into a pipe in that way.
QString fromPipe(const QByteArray &bytes);

} // namespace ConsoleText
