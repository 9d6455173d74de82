#pragma once

#include <QHash>
#include <QString>

// The check of a package just written, through the installer's own loading
// (LoadedPackage), under a map root of its own so that a package registered
// elsewhere in the program is neither seen nor disturbed.
namespace BuiltPackageCheck {

// Reads the package at path back as the installer will: its structure, then
// the registered tree must hold exactly the files of sizes (alias
// "upgrade/..." -> size), then every file must match the manifest and the
// installer must accept it. An empty string when all holds, else the first
// problem, in English.
QString problem(const QString &path, const QHash<QString, qint64> &sizes);

} // namespace BuiltPackageCheck
