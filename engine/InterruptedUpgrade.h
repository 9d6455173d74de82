#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include "UpgradeOutcome.h"

// An upgrade that was interrupted (killed, crashed, a power cut) left its
// journal in the main directory; before anything else it is brought to an
// end: undone, or finished when it was past its database step. The window and
// the command line word the result each in their own way; the mechanics are
// these.
class InterruptedUpgrade : public QObject
{
    Q_OBJECT
public:
    explicit InterruptedUpgrade(const QString &mainPath, QObject *parent = nullptr);

    struct Ending
    {
        RecoveryResult result = RecoveryResult::NothingToDo;
        QStringList lines; // what the recovery did, in order
    };

    // Whether a journal is there (of an interrupted upgrade, or of one that
    // is running now).
    bool isPending() const;
    // Brings the upgrade to an end and waits for it; each line is passed on
    // by line() as it comes. Nothing to do without a journal.
    Ending finish();
    // A log of its own beside the upgrades' logs: the ending's lines and
    // "结果:" with the face's summary. False with the reason when it can't be
    // written.
    bool writeLog(const Ending &ending, const QString &summary, QString *error = nullptr) const;

signals:
    void line(const QString &line);
    // What the recovery's worker says of these (WorkerDriver's).
    void manualAction(const QString &line);
    void failure(const QString &kind, const QString &target, const QString &reason);

private:
    QString mainPath;
};
