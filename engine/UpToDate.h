#pragma once

#include <QString>

// Whether an installation already is what a package would make it: at the
// package's target version, every file the package updates there as a
// regular file with the same bytes, every file it adds there as a regular
// file (the add step keeps what is there), every folder it brings there, and
// nothing it deletes left. Running the upgrade again on such a host would
// change nothing, so it isn't started.
namespace UpToDate {

enum class Gap {
    None, // up to date
    OtherVersion, // the installed version isn't the package's target
    Missing, // a file or folder of the package isn't installed
    Different, // installed, but not a regular file with the package's bytes
    StillThere // something the package deletes is still installed
};

struct Verdict
{
    Gap gap = Gap::None;
    QString path; // the first path at fault, in the installation
    bool upToDate() const { return gap == Gap::None; }
    // Why not, in English, for the debug trace.
    QString reason() const;
};

// Versions compare as the fit compares them; the package tree is read at
// packageRoot and mirrored into mainPath as the file steps do.
Verdict judge(const QString &installedVersion, const QString &versionTo, const QString &mainPath,
    const QString &packageRoot);

} // namespace UpToDate
