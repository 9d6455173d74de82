#pragma once

#include <QString>

#include <functional>

// The console's view of the worker's progress (sigProgress) while nobody
// watches a window: the action's text once when a step starts (a script, a
// file step, the database step), and "[37%] action" at most every few
// seconds while it runs.
class ProgressLines
{
public:
    // Milliseconds on a steady clock; tests give their own.
    using Clock = std::function<qint64()>;
    explicit ProgressLines(Clock clock = Clock());

    static constexpr qint64 intervalMs = 5000;

    // The line to print for this report, or empty.
    QString take(int done, int total, const QString &action);

private:
    // What tells the steps apart: a file step's actions name each file
    // ("正在更新文件:…", "正在更新目录:…"), a script's its own name.
    static QString stepOf(const QString &action);

    Clock clock;
    QString step;
    qint64 lastLineMs = 0;
};
