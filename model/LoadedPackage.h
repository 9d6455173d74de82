#pragma once

#include <QList>
#include <QString>

#include <memory>

#include "PackageManifest.h"
#include "PackageSignature.h"

class PackageImage;

// The package file chosen by the operator, registered as a resource tree with
// an empty map root (its contents under ":/upgrade"). The file is held open
// and mapped while it is registered (PackageImage), never read into memory:
// Qt reads the tree and the small files through the mapping, the checks read
// the file by ranges in one pass, and the staging copy does again, checking
// every file it writes against the manifest, so that a file changed on disk
// since it was checked is never applied.
class LoadedPackage
{
public:
    enum class Result {
        Registered, // checked and registered
        Unreadable, // missing, no permission, not a regular file (a folder, a pipe, a device)
        TooLarge, // larger than a package file can be (PackageFile::maxFileSize)
        Damaged, // a resource file whose structure is broken: not registered
        NotResourceFile, // not a package at all: nothing registered
        Corrupted, // a file differs from the package's manifest (or is missing or extra)
        Unsigned, // trusted keys are installed, the package has no signature
        BadSignature, // the signature doesn't match the package
        UntrustedSigner // a valid signature by a key that isn't trusted here
    };

    LoadedPackage() = default;
    ~LoadedPackage();
    LoadedPackage(const LoadedPackage &) = delete;
    LoadedPackage &operator=(const LoadedPackage &) = delete;

    // The folder of the installation's trusted public keys (*.pub, minisign
    // format); when it holds one, load() accepts only packages signed by it.
    // Key files that can't be read are passed over; when only such files are
    // there, no package is accepted until one can be read.
    void setTrustedKeysFolder(const QString &folder) { trustFolder = folder; }
    // Where the package's tree is registered: "" (the installer's) puts it
    // under ":/upgrade", "/x" under ":/x/upgrade", out of the way of another
    // package registered in the same program. Releases the current package.
    void setMapRoot(const QString &root);
    // ":<map root>/upgrade", where a registered package's tree lies.
    QString treeRoot() const;

    // Releases the current package, then opens path and checks its
    // structure, then (registered) every file below upgrade/ against
    // upgrade/manifest.sha256 when the package has one, and the signature
    // path + ".minisig" against the trusted keys, both in one read of the
    // file. A refused package is left unregistered.
    Result load(const QString &path);
    // load() in two steps, for a program that looks at the registered tree
    // in between: open() releases the current package, opens and maps path,
    // checks its structure and registers it (Registered,
    // Unreadable, TooLarge, Damaged or NotResourceFile); verify() then checks
    // them against the manifest and the signature and releases a refused
    // package (Unreadable when none is open).
    Result open(const QString &path);
    Result verify();
    // The manifest's verdict on the package that verify() or load() checked.
    const PackageManifest::Result &manifestResult() const { return checkedManifest; }
    // Unregisters the current package, if any.
    void release();

    bool isRegistered() const { return current != nullptr; }
    // The size of the registered package file (0 when none is registered).
    qint64 size() const;
    // The registered package's signature file checked against keys, with
    // one read of the package file (the authors' tool's check).
    PackageSignature::Result checkSignature(const QVector<Minisign::PublicKey> &keys) const;
    // Why a package was refused, in English: the damage, the files that
    // differ from the manifest, what is wrong with the signature. For an
    // accepted package a note at most (a signature file that can't be read
    // while no key is trusted).
    QString detail() const { return damage; }
    // The registered package's signature as the operator reads it: unsigned,
    // or its trusted comment and key id (marked unchecked when no key is
    // trusted here).
    QString signatureSummary() const { return signature; }

    // The operator's text for a package that can't be used (translation
    // context MainWindow); empty for one that can be read.
    static QString message(Result result);
    // Why the package at path was refused, one sentence a problem, each
    // naming its file: the package (native, absolute), a file in it (by its
    // path below upgrade/, the first few and how many more) or its signature
    // file. Worded from result and the manifest's problems, never from the
    // English detail (translation context MainWindow). Empty for Registered
    // and NotResourceFile.
    static QStringList problems(
        Result result, const QString &path, const PackageManifest::Result &manifest);
    // The file name of path up to its first dot: what the window shows.
    static QString baseName(const QString &path);

private:
    PackageSignature::Message message(bool prehash, QString *error) const;

    std::shared_ptr<PackageImage> current;
    // Qt refuses to unregister a tree still in use (an open file of it, say);
    // its mapping must then outlive the registration.
    QList<std::shared_ptr<PackageImage>> retired;
    QString damage;
    QString trustFolder;
    QString signature;
    QString mapRoot;
    QString openedPath;
    PackageSignature::SignatureFile signatureFile;
    PackageManifest::Result checkedManifest;
};
