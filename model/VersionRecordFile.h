#pragma once

#include <QString>

// Rewrites the version entries of an installation record (setup_config.xml).
// The file is replaced atomically: the new content goes to a temporary file
// next to it, which then takes the record's place, so a crash, a full disk or
// a failed write leaves the old record as it was.
namespace VersionRecordFile {

enum class Result {
    Written, // the record was rewritten (changed or not)
    CannotRead, // missing, a folder, or not readable
    ParseError, // not well-formed XML: left untouched
    CannotWrite // readable, but the new content could not be put in its place
};

// Every child element of the root's first child "module" whose attribute
// "value" equals `from` gets the value `to`, whatever its key. The document is
// written back with 4 blanks of indentation per level, in the encoding its
// XML declaration names (UTF-8 when it names none).
Result rewrite(
    const QString &path, const QString &from, const QString &to, QString *errorString = nullptr);

} // namespace VersionRecordFile
