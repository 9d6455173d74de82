#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

class QIODevice;

// Reader of the key/value layout shared by the installation record and the
// package descriptor: document element "root", its first child "module", and
// one child element per entry carrying the attributes "key" and "value".
namespace RecordLayout {

enum class ReadResult {
    Ok, // parsed; entries hold what the module element carried (maybe nothing)
    CannotOpen,
    ParseError,
    WrongRoot // well-formed, but the document element is not "root"
};

// Entry key -> value. A later entry with the same key wins; an entry without
// "key" is skipped; a missing "value" gives an empty string.
using Entries = QHash<QString, QString>;

// A document nested deeper than maxNestingDepth elements is a parse error:
// Qt's DOM parser descends once per level and, on a document nested a few
// thousand (1 MB stack, Windows) to some tens of thousands (8 MB) levels
// deep, runs out of stack and crashes the program.
ReadResult readFile(const QString &path, Entries *entries);
ReadResult readDevice(QIODevice *device, Entries *entries);

// The layout needs three levels (root, module, entry); this leaves room for
// anything a hand-edited file might add, far below what exhausts the stack.
constexpr int maxNestingDepth = 256;

// False when an element of xml is nested deeper than maxNestingDepth, found
// without recursion at any depth; nothing else about the document is judged
// (the parse that follows does that). Run before a document is handed to the
// DOM parser.
bool withinNestingLimit(const QByteArray &xml, QString *reason = nullptr);

// Base-10 integer of an entry value; text that is not an integer gives 0.
int toInteger(const QString &value);

} // namespace RecordLayout
