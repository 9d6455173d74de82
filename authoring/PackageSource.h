#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// The check of a package's source: the folder that holds the tree "upgrade",
// and the output path the package is to be written to. It lists what goes
// into the package and every problem that keeps the tree from being built;
// the author's tree is only read.
namespace PackageSource {

enum class Kind {
    NoTree, // the source folder, or its folder "upgrade", does not exist
    Output, // no output path, a folder in its place, or one inside the tree
    Descriptor, // upgrade_config.xml is missing, no XML, or its entries don't fit the installer
    Name, // a name the installer refuses, no valid text, or one that only letter case tells apart
    Place, // an entry the layout has no place for, or a file where a folder belongs (or back)
    Link, // a symbolic link that dangles, leads out of the tree or into a loop
    Special, // a device, pipe or socket
    Unreadable, // a file that cannot be read
    Readme // readme.txt is no UTF-8 text
};

struct Problem
{
    Kind kind = Kind::NoTree;
    QString text; // in English, naming the entry ("upgrade/...")
};

struct File
{
    QString alias; // "upgrade/..." relative to the source folder
    QString sourcePath; // absolute path of the file that supplies the bytes
    qint64 size = 0;
};

struct Result
{
    QVector<Problem> problems; // in the order found; the tree can be built when there are none
    QVector<File> files; // in the order of the walk, folders by name
    QStringList emptyDirs; // aliases of the folders that get the placeholder file

    bool ok() const { return problems.isEmpty(); }
};

// Checks sourceDir (a missing source or tree ends the check at once) and
// outputFile, then the descriptor, every entry below "upgrade" and the
// readme; a refused entry is reported and not looked into.
Result check(const QString &sourceDir, const QString &outputFile);

} // namespace PackageSource
