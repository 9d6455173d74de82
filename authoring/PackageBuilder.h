#pragma once

#include <QString>

// Builds an upgrade package (.rcc) from a folder that holds the "upgrade" tree:
// checks the tree, puts the placeholder file into every empty folder, writes
// the package in-process (a Qt binary resource file, see ResourceWriter) and
// checks the result. No external program is run.
namespace PackageBuilder {

// True on success; otherwise *error names the problem (in English).
bool build(const QString &sourceDir, const QString &outputFile, QString *error);

} // namespace PackageBuilder
