#pragma once

#include <QStringList>
#include <QTextEdit>

class QTimer;

// The upgrade log on the progress page. The worker sends up to thousands of
// lines a second; appended one by one, each would lay out the document and
// update the view, keeping the event loop from running for most of a second
// at a time. Lines are collected instead and appended in batches sized to a
// time budget, each still through QTextEdit::append (one paragraph, rich text
// taken as rich text), so the view ends exactly as line-by-line appending
// would leave it.
class LogView : public QTextEdit
{
    Q_OBJECT
public:
    explicit LogView(QWidget *parent = nullptr);

    // Queues a line; it is appended shortly after.
    void appendLine(const QString &line);
    bool hasPending() const { return !pending.isEmpty(); }

    // Keeps widget from being seen while lines are still waiting: when it is
    // about to be shown early, it is taken back until the log has drained.
    void holdBackUntilDrained(QWidget *widget);

signals:
    // Every queued line has been appended.
    void drained();

protected:
    // Lines come from packages and scripts: markup in them may format text,
    // but never makes the view load a file or a network path.
    QVariant loadResource(int type, const QUrl &name) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void flush();

    QStringList pending;
    QTimer *flushTimer = nullptr;
    int batchLines = 256; // lines that fit the time budget, learnt from the last batch
    QWidget *heldWidget = nullptr;
    bool holding = false;
};
