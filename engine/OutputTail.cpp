#include "OutputTail.h"

namespace {

QString lineText(const QByteArray &bytes, int maxLength)
{
    QString text = QString::fromUtf8(bytes).trimmed();
    if (text.size() > maxLength)
        text = text.left(maxLength) + QStringLiteral("…");
    return text;
}

} // namespace

OutputTail::OutputTail(int maxLines, int maxLineLength)
    : maxLines(maxLines)
    , maxLineLength(maxLineLength)
{ }

void OutputTail::append(const QByteArray &bytes)
{
    // Room for a cut-off multi-byte character and the mark that shows the cut.
    const int keepBytes = maxLineLength * 4 + 4;
    int from = 0;
    while (from < bytes.size()) {
        const int end = bytes.indexOf('\n', from);
        const int stop = end < 0 ? bytes.size() : end;
        if (partial.size() < keepBytes)
            partial += bytes.mid(from, qMin(stop - from, keepBytes - partial.size()));
        if (end < 0)
            break;
        finishLine();
        from = end + 1;
    }
}

void OutputTail::finishLine()
{
    const QString text = lineText(partial, maxLineLength);
    partial.clear();
    if (text.isEmpty())
        return;
    kept.append(text);
    if (kept.size() > maxLines)
        kept.removeFirst();
}

QStringList OutputTail::lines() const
{
    QStringList result = kept;
    const QString last = lineText(partial, maxLineLength);
    if (!last.isEmpty()) {
        result.append(last);
        if (result.size() > maxLines)
            result.removeFirst();
    }
    return result;
}

void OutputTail::clear()
{
    kept.clear();
    partial.clear();
}
