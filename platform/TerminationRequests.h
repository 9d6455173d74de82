#pragma once

#include <QObject>

class QSocketNotifier;

// While it lives, the requests from outside to end the program (SIGTERM,
// SIGINT and SIGHUP on Unix; Ctrl+C, Ctrl+Break and the console closing on
// Windows) don't end it but come as received() on the thread that made it, so
// that a running upgrade can be cancelled and rolled back first. Once it is
// gone they end the program as before. One at a time in a process.
class TerminationRequests : public QObject
{
    Q_OBJECT
public:
    explicit TerminationRequests(QObject *parent = nullptr);
    // Puts the previous handling back. On Windows the process ends as soon as
    // the handler of the console's closing returns: it waits for this.
    ~TerminationRequests() override;

    // False when the requests could not be caught; they end the program then.
    bool isActive() const { return active; }

signals:
    void received();

private:
    bool active = false;
    QSocketNotifier *notifier = nullptr;
};
