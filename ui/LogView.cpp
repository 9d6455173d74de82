#include "LogView.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>

namespace {

// How long lines may wait before they are appended, and how much time one
// batch may take before the event loop gets its turn again.
const int flushDelayMs = 30;
const qint64 flushBudgetNs = 10 * 1000 * 1000;

} // namespace

LogView::LogView(QWidget *parent)
    : QTextEdit(parent)
    , flushTimer(new QTimer(this))
{
    flushTimer->setSingleShot(true);
    connect(flushTimer, &QTimer::timeout, this, &LogView::flush);
}

void LogView::appendLine(const QString &line)
{
    pending.append(line);
    if (!flushTimer->isActive())
        flushTimer->start(flushDelayMs);
}

// Appends as many waiting lines as fit the time budget; the rest follow at
// the next turn of the event loop. Most of a batch's time goes into laying out
// the new paragraphs when the batch closes, so the size that fits is learnt
// from the time the previous batch took as a whole.
void LogView::flush()
{
    if (!pending.isEmpty()) {
        QScrollBar *bar = verticalScrollBar();
        // As QTextEdit::append decides it for a read-only view.
        const bool atBottom = bar->value() >= bar->maximum();
        const int count = qMin(pending.size(), batchLines);
        QElapsedTimer clock;
        clock.start();
        {
            // The enclosing edit block makes the document lay out and report
            // its change once for the batch.
            QTextCursor batch(document());
            batch.beginEditBlock();
            for (int i = 0; i < count; ++i)
                append(pending.at(i));
            batch.endEditBlock();
        }
        pending.erase(pending.begin(), pending.begin() + count);
        // append kept the view at the bottom against the size before the batch.
        if (atBottom)
            bar->setValue(bar->maximum());
        // The next batch is sized from this one's whole time, scrolling
        // included; it grows at most twofold, as a busy machine (or a longer
        // document) can make the next lines slower than these.
        const qint64 perLineNs = qMax<qint64>(1, clock.nsecsElapsed() / count);
        batchLines = int(qBound<qint64>(16, flushBudgetNs / perLineNs, qMax(32, 2 * count)));
    }
    if (!pending.isEmpty()) {
        flushTimer->start(0);
        return;
    }
    if (holding && heldWidget) {
        holding = false;
        heldWidget->show();
    }
    emit drained();
}

void LogView::holdBackUntilDrained(QWidget *widget)
{
    heldWidget = widget;
    widget->installEventFilter(this);
}

// When the held widget is shown while batches are still due, appending the
// rest at once would freeze the window; instead it is taken back, before it
// is ever drawn, until the remaining batches are in.
bool LogView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == heldWidget && event->type() == QEvent::ShowToParent && hasPending()) {
        flush();
        if (hasPending()) {
            holding = true;
            heldWidget->hide();
        }
    }
    return QTextEdit::eventFilter(watched, event);
}

QVariant LogView::loadResource(int type, const QUrl &name)
{
    // The program's own images are compiled in; nothing else is fetched. An
    // empty answer would make the document read the file itself, so anything
    // else gets a blank stand-in.
    const bool own = name.scheme() == QLatin1String("qrc")
        ? name.path().startsWith(QLatin1String("/res/"))
        : name.scheme().isEmpty() && name.path().startsWith(QLatin1String(":/res/"));
    if (own)
        return QTextEdit::loadResource(type, name);
    if (type == QTextDocument::ImageResource) {
        QImage blank(1, 1, QImage::Format_ARGB32);
        blank.fill(Qt::transparent);
        return blank;
    }
    return QStringLiteral("");
}
