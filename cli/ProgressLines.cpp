#include "ProgressLines.h"

#include <QElapsedTimer>

#include <memory>

ProgressLines::ProgressLines(Clock clock)
    : clock(std::move(clock))
{
    if (!this->clock) {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        this->clock = [timer] { return timer->elapsed(); };
    }
}

QString ProgressLines::stepOf(const QString &action)
{
    const int colon = action.indexOf(QLatin1Char(':'));
    // "正在更新" of "正在更新文件:…" and "正在更新目录:…".
    return colon < 0 ? action : action.left(qMin(colon, 4));
}

QString ProgressLines::take(int done, int total, const QString &action)
{
    if (action.isEmpty())
        return QString();
    const qint64 now = clock();
    const QString current = stepOf(action);
    if (current != step) {
        step = current;
        lastLineMs = now;
        return action;
    }
    if (now - lastLineMs < intervalMs || total <= 0)
        return QString();
    lastLineMs = now;
    const int percent = int(qBound<qint64>(0, qint64(done) * 100 / total, 100));
    return QStringLiteral("[%1%] %2").arg(percent).arg(action);
}
