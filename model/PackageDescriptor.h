#pragma once

#include <QString>

#include "RecordLayout.h"

// The loaded package as read from its upgrade_config.xml. Every load starts
// from these initial values, so nothing of an earlier package survives; a
// descriptor without "upgrade_type" therefore fails the type check.
struct PackageDescriptor
{
    int upgradeType = -1;
    int productId = -1;
    QString versionFrom;
    QString versionTo;
    int ifUpgradeDb = 0;
    QString exePath;
    // Time limits, in whole seconds, from "script_timeout_seconds" and
    // "db_timeout_seconds": a script that runs longer is stopped (30 minutes
    // when the package says nothing), the database helper only when the
    // package sets a limit (0: none).
    int scriptTimeoutSeconds = 30 * 60;
    int dbTimeoutSeconds = 0;

    void apply(const RecordLayout::Entries &entries);

    // Reads the descriptor at path (in the registered package) and takes its
    // entries when it is Ok.
    RecordLayout::ReadResult read(const QString &path);
};
