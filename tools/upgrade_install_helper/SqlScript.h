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

} // namespace SqlScript
