#pragma once

#include <QString>

// The rules for one file or folder name inside a package, shared by the
// package builder (which refuses to write such a name) and the installer's
// structure check (which refuses a package that holds one). Windows decides
// most of them: packages are unpacked there, and a name it can't create would
// be lost or land somewhere else. Control characters are refused everywhere:
// a name is shown in logs and on the console, one line per entry; so are the
// invisible ones that reorder a line as it is shown (U+202E and the like).
namespace EntryName {

enum class Problem {
    None,
    Empty,
    TooLong, // more than maxLength UTF-16 units
    ControlCharacter, // C0, DEL or C1
    DirectionCharacter, // a bidirectional control or zero-width space: reorders or hides text
    NonCharacter, // U+FFFE, U+FFFF: not carried by XML (the builder's .qrc)
    ForbiddenCharacter, // <>:"/\|?*
    LoneSurrogate, // half of a character: not encodable
    TrailingDot, // Windows drops it ("." and ".." included)
    TrailingBlank, // Windows drops it
    ReservedDevice // CON, PRN, AUX, NUL, COM1..9, LPT1..9, with any extension
};

constexpr int maxLength = 255;

// What is wrong with name; *reason (when given) says it in English, as "a
// control character (U+000A) in the name" (empty for None).
Problem check(const QString &name, QString *reason = nullptr);

// The form two names share when Windows can't tell them apart (letter case).
QString folded(const QString &name);

} // namespace EntryName
