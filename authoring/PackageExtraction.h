#pragma once

#include <QString>

// Unpacks a registered package's tree into a folder of the author's or the
// administrator's choice, as the installer stages it: every file written new
// (never through a link, never over anything), each one hashed as it is
// written and checked against the package's manifest, the placeholder files
// of empty folders left out. A failure leaves the folder as it was.
namespace PackageExtraction {

enum class Failure {
    None,
    NotEmpty, // the folder exists and holds something
    NoParent, // the folder is missing and so is its parent
    CannotWrite, // a folder or file could not be made, or the package not read
    Mismatch, // a file written differs from the manifest (or is missing or extra)
    PackageChanged // the package file was changed on disk since it was loaded
};

struct Result
{
    Failure failure = Failure::None;
    QString detail; // English: the path and what went wrong
    int files = 0; // the files left in the folder
};

// Writes the tree below treeRoot (":<map root>/upgrade" of a registered
// package) into folder/upgrade; folder is created when missing (its parent
// must exist). The manifest is read from treeRoot; a package without one is
// written unchecked, as the installer stages it.
Result extract(const QString &treeRoot, const QString &folder);

} // namespace PackageExtraction
