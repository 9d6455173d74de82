#pragma once

#include <QHash>
#include <QString>

#include "PackageSource.h"

// Writes the package of a checked source tree with ResourceWriter (in-process,
// no rcc, nothing compressed): every file under its alias, an empty
// placeholder file in every empty folder, and upgrade/manifest.sha256, which
// lists every other file with its SHA-256, placeholders included.
namespace PackageWriter {

struct Written
{
    QString path; // the package file
    QHash<QString, qint64> sizes; // every file the package holds, by alias, with its size
};

// Writes the placeholder file, the manifest and then the package into the
// folder work. False with *error (in English) when something can't be
// written or read.
bool write(
    const PackageSource::Result &source, const QString &work, Written *written, QString *error);

} // namespace PackageWriter
