#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include "PackageManifest.h"

class PackageImage;

// The one read of a loaded package's file that its checks need: the SHA-256
// of every file's span (the manifest's check) and the BLAKE2b-512 of the whole
// file (what a prehashed minisign signature signs), taken block by block from
// the file, the BLAKE2b on a second thread over the same blocks. Only two
// blocks are held at a time, whatever the package's size.
namespace PackagePass {

struct Digests
{
    QVector<QByteArray> spans; // in the order of the spans given
    QByteArray prehash; // when asked for
};

// False with *error (English) when the file can't be read as far as needed
// (cut short since it was opened, say). Without a prehash only the stretch
// that holds the spans is read.
bool run(const PackageImage &image, const QVector<PackageManifest::Span> &spans, bool prehash,
    Digests *digests, QString *error);

} // namespace PackagePass
