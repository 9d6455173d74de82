#pragma once

#include <QString>
#include <QStringList>

// Lays out the package tree that takes an installation from one tree (OLD)
// to another (NEW), for the author to review, complete and build:
//
//   OUT/upgrade/upgrade_config.xml   a template whose product ID and
//                                    versions must be filled in
//   OUT/upgrade/delete/<path>        an empty file per file only in OLD; an
//   OUT/upgrade/delete/<folder>/     empty folder per folder only in OLD (it
//                                    goes whole)
//   OUT/upgrade/update/<path>        each file in both that differs
//   OUT/upgrade/add/<path>           each file only in NEW, each empty folder
//                                    only in NEW
//
// It follows how the installer applies the steps: delete first (every leaf
// at any depth), then update and add, which merge their top-level entries
// into the installation. A file that becomes a folder or the other way round
// is deleted, then added. New files keep their execute bits.
namespace PackageDiff {

struct Summary
{
    QStringList deleted; // relative paths; folders end with "/"
    QStringList updated;
    QStringList added;
    QStringList notes; // what the author should know (English)
};

// False with *error (English) when a tree cannot be read, holds a link or a
// special file, or outDir already exists; nothing is left behind then.
bool layout(const QString &oldDir, const QString &newDir, const QString &outDir, Summary *summary,
    QString *error);

} // namespace PackageDiff
