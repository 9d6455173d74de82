#pragma once

#include <QString>

// Where a file the command line asks for (--log, --result) may be written: it
// replaces what is there by a rename, so it must not take the place of what
// the upgrade or a recovery needs, nor be a link or anything but a file.
namespace OutputPaths {

// Why the file named by option ("--log") at path may not be written, or
// empty. packagePath: the package (empty for --recover); mainPath: the
// suite's main directory, empty when not known.
QString refusal(const QString &option, const QString &path, const QString &packagePath,
    const QString &mainPath);

// Whether two names name one place (links and ".." resolved, as far as the
// path exists).
bool samePlace(const QString &a, const QString &b);

} // namespace OutputPaths
