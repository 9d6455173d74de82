#include "PackageBuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

#include "BuiltPackageCheck.h"
#include "PackageFile.h"
#include "PackageSource.h"
#include "PackageWriter.h"

// The builder never touches the author's tree: it lists the files, checks
// them (PackageSource), and writes the package (PackageWriter) into a private
// temporary folder, every file under its path relative to the source folder.
// Empty folders get one placeholder file from that temporary folder. The
// package is read back as the installer loads it (BuiltPackageCheck) before
// it replaces the output.
//
// Nothing is compressed. Stored data is read straight out of the
// registered file, so the extraction is a plain copy; a compressed entry is
// inflated whole into memory on every open, which is slow and costly for the
// large files a package carries. It also keeps packages readable by a Qt
// built without zstd, and lets the structural check bound every entry
// without decompressing anything. Packages get larger; they are copied, not
// downloaded, so speed wins.
namespace PackageBuilder {

namespace {

// Copies the checked package to outputFile (absolute, clean), replacing it
// only once the whole copy is written.
QString copyProblem(const QString &packagePath, const QString &outputFile)
{
    const QFileInfo output(outputFile);
    if (!QDir().mkpath(output.absolutePath()))
        return QStringLiteral("cannot create the folder %1")
            .arg(QDir::toNativeSeparators(output.absolutePath()));
    QFile built(packagePath);
    QSaveFile target(outputFile);
    if (!built.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2")
            .arg(QDir::toNativeSeparators(outputFile), target.errorString());
    QByteArray chunk;
    while (!(chunk = built.read(4 * 1024 * 1024)).isEmpty()) {
        if (target.write(chunk) != chunk.size())
            break;
    }
    if (!target.commit())
        return QStringLiteral("cannot write %1: %2")
            .arg(QDir::toNativeSeparators(outputFile), target.errorString());
    return QString();
}

// A package larger than the installer can read is refused before anything
// is written: its files' bytes alone tell (each adds its size field, and the
// names, the tree and the manifest come on top). The format's offsets are
// 32-bit (4 GiB), and Qt 5 reads those of the files' data as signed numbers,
// so the files may take 2 GiB at most.
QString sizeProblem(const PackageSource::Result &source)
{
    qint64 bytes = 24;
    for (const PackageSource::File &file : source.files)
        bytes += file.size + 4;
    if (bytes <= PackageFile::maxDataReach)
        return QString();
    return QStringLiteral("the package would hold more than %1 bytes; a package can hold at most "
                          "%2 bytes of files (2 GiB: Qt 5 reads no file's data past it, although "
                          "the format's 32-bit offsets would reach %3)")
        .arg(bytes)
        .arg(PackageFile::maxDataReach)
        .arg(PackageFile::maxFileSizeText());
}

// Why the package of sourceDir cannot be built into outputFile, or an empty
// string once it is.
QString buildProblem(const QString &sourceDir, const QString &outputFile)
{
    const PackageSource::Result source = PackageSource::check(sourceDir, outputFile);
    if (!source.ok())
        return source.problems.first().text;
    const QString tooLarge = sizeProblem(source);
    if (!tooLarge.isEmpty())
        return tooLarge;
    QTemporaryDir work;
    if (!work.isValid())
        return QStringLiteral("cannot create a temporary folder: %1").arg(work.errorString());
    PackageWriter::Written written;
    QString problem;
    if (!PackageWriter::write(source, work.path(), &written, &problem))
        return problem;
    problem = BuiltPackageCheck::problem(written.path, written.sizes);
    if (!problem.isEmpty())
        return problem;
    return copyProblem(written.path, QDir::cleanPath(QDir(outputFile).absolutePath()));
}

} // namespace

bool build(const QString &sourceDir, const QString &outputFile, QString *error)
{
    const QString problem = buildProblem(sourceDir, outputFile);
    if (error)
        *error = problem;
    return problem.isEmpty();
}

} // namespace PackageBuilder
