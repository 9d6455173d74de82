#pragma once

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

ReadResult readFile(const QString &path, Entries *entries);
ReadResult readDevice(QIODevice *device, Entries *entries);

// Base-10 integer of an entry value; text that is not an integer gives 0.
int toInteger(const QString &value);

} // namespace RecordLayout
