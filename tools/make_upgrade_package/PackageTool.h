#pragma once

#include <QString>
#include <QStringList>

class QTextStream;

// The commands of make_upgrade_package. Each writes its report to out, its
// errors to err, and returns the program's exit code.
namespace PackageTool {

enum ExitCode {
    Success = 0,
    Failure = 1, // refused tree, unreadable file, unusable key, ...
    StructureFailed = 2, // not a package, or a damaged one
    HashesFailed = 3, // contents do not match the manifest, or a malformed manifest
    SignatureFailed = 4, // unsigned, invalid or untrusted where a key was given
    UsageError = 64
};

struct Streams
{
    QTextStream &out;
    QTextStream &err;
};

int build(const QString &sourceDir, const QString &output, const QString &secretKey,
    const QString &trustedComment, bool commentGiven, Streams io);
int list(const QString &package, Streams io);
int info(const QString &package, const QStringList &keys, Streams io);
int verify(const QString &package, const QStringList &keys, Streams io);
int sign(const QString &package, const QString &secretKey, const QString &trustedComment,
    bool commentGiven, Streams io);
// Checks the package as verify does (the report on err only when it fails),
// then writes its tree into folder (PackageExtraction).
int extract(const QString &package, const QString &folder, const QStringList &keys, Streams io);
int diff(const QString &oldDir, const QString &newDir, const QString &outDir, Streams io);

} // namespace PackageTool
