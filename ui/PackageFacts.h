#pragma once

#include <QString>
#include <QStringList>

struct PackageDescriptor;

// What a package brings, as the package field's tooltip and the details
// dialog tell it.
namespace PackageFacts {

// One fact a line: its file (native, absolute), when its descriptor was read
// the versions it applies to and installs, and the signature line when one is
// given.
QStringList lines(
    const QString &path, const PackageDescriptor &package, const QString &signature = QString());

// The facts as a tooltip, shown as plain text whatever the path holds; empty
// for no facts.
QString toolTip(const QStringList &facts);

} // namespace PackageFacts
