#pragma once

#include <QString>

// Builds an upgrade package (.rcc) from a folder that holds the "upgrade" tree:
// checks the tree, puts the placeholder file into every empty folder, writes
// the .qrc, runs Qt's rcc in binary mode and checks the result.
namespace PackageBuilder {

// True on success; otherwise *error names the problem (in English).
bool build(const QString &sourceDir, const QString &outputFile, QString *error);

} // namespace PackageBuilder
