#pragma once

#include <QString>
#include <QStringList>

// Splitting of an SQL script into the statements that SQLite runs one by one.
namespace SqlScript {

// Statements end at a semicolon outside quotes ('...', "...", `...`, [...])
// and comments (-- to the line end, /* ... */). Inside CREATE TRIGGER the
// semicolons of the body do not count: such a statement ends at "; END;".
// The closing semicolon is not part of a statement; statements that hold
// nothing but blanks and comments are left out, and a last statement needs no
// semicolon.
QStringList splitStatements(const QString &text);

// The word a statement starts with, upper-cased, after blanks and comments;
// empty when it starts with anything else (a quote, a bracket, a symbol).
QString leadingWord(const QString &statement);

} // namespace SqlScript
