#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "PackageManifest.h"
#include "PackageSignature.h"

// The package file chosen by the operator, registered as a resource tree with
// an empty map root (its contents under ":/upgrade"). The file is read once;
// the bytes that are checked are the bytes that get registered, and they stay
// alive as long as the registration does.
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

    // Releases the current package, then reads path once and checks those
    // bytes: their structure, then (registered) every file below upgrade/
    // against upgrade/manifest.sha256 when the package has one, then the
    // signature path + ".minisig" against the trusted keys. A refused
    // package is left unregistered.
    Result load(const QString &path);
    // load() in two steps, for a program that looks at the registered tree
    // in between: open() releases the current package, reads path once,
    // checks the structure of those bytes and registers them (Registered,
    // Unreadable, TooLarge, Damaged or NotResourceFile); verify() then checks
    // them against the manifest and the signature and releases a refused
    // package (Unreadable when none is open).
    Result open(const QString &path);
    Result verify();
    // The manifest's verdict on the package that verify() or load() checked.
    const PackageManifest::Result &manifestResult() const { return checkedManifest; }
    // Unregisters the current package, if any.
    void release();

    bool isRegistered() const { return !current.isEmpty(); }
    // The registered bytes (empty when none is registered).
    const QByteArray &data() const { return current; }
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
    QByteArray current;
    // Qt refuses to unregister a tree still in use (an open file of it, say);
    // those bytes must then outlive the registration.
    QList<QByteArray> retired;
    QString damage;
    QString trustFolder;
    QString signature;
    QString mapRoot;
    QString openedPath;
    PackageSignature::SignatureFile signatureFile;
    PackageManifest::Result checkedManifest;
};
