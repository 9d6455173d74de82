#pragma once

#include <QSqlError>
#include <QString>

enum class FailureKind {
    Scripts, // a folder or script can't be run; nothing has run
    Database // the database refused something; the transaction is given up
};

// Thrown to stop the work; the run gives the transaction up and reports it.
struct Failure
{
    FailureKind kind;
    QString message;
};

[[noreturn]] inline void stop(FailureKind kind, const QString &message)
{
    throw Failure { kind, message };
}

// The database's own words for an error, on one line.
inline QString databaseMessage(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return text.simplified();
}
