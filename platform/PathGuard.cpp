#include "PathGuard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

// The folder of a cleaned absolute path; a root ("/", "C:/") keeps its slash.
QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash == 0 || (slash == 2 && path.at(1) == QLatin1Char(':')))
        return path.left(slash + 1);
    return path.left(slash);
}

} // namespace

QString PathGuard::cleaned(const QString &path)
{
    return path.isEmpty() ? QString() : QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool PathGuard::atOrBelow(const QString &path, const QString &dir)
{
    return path.startsWith(dir, pathCase)
        && (path.size() == dir.size() || dir.endsWith(QLatin1Char('/'))
            || path.at(dir.size()) == QLatin1Char('/'));
}

PathGuard::PathGuard(const QString &mainDir)
    : main(cleaned(mainDir))
{ }

bool PathGuard::check(const QString &path, Escape *escape)
{
    const QString target = cleaned(path);
    if (main.isEmpty() || !atOrBelow(target, main)) {
        if (escape)
            *escape = { path, target };
        return false;
    }
    return checkCleaned(target, escape) && physicalCheck(path, false, escape);
}

bool PathGuard::checkParent(const QString &path, Escape *escape)
{
    const QString target = cleaned(path);
    if (main.isEmpty() || !atOrBelow(target, main) || target.size() == main.size()) {
        if (escape)
            *escape = { path, target };
        return false;
    }
    return checkCleaned(parentOf(target), escape) && physicalCheck(path, true, escape);
}

void PathGuard::forget()
{
    verdicts.clear();
    mainFinal.clear();
}

QString PathGuard::describe(const Escape &escape)
{
    return QCoreApplication::translate("PathGuard", "%1指向安装目录之外(%2)")
        .arg(QDir::toNativeSeparators(escape.link), QDir::toNativeSeparators(escape.target));
}

QString PathGuard::refusal(const Escape &escape)
{
    return QCoreApplication::translate("PathGuard", "拒绝写入:%1").arg(describe(escape));
}

bool PathGuard::checkCleaned(const QString &folder, Escape *escape)
{
    if (folder.size() == main.size())
        return true; // the main directory itself
    auto it = verdicts.constFind(folder);
    if (it == verdicts.constEnd()) {
        // Only the parts below the deepest folder already judged are looked
        // at; a folder below a bad one is bad for the same reason.
        QString known = main;
        Verdict verdict;
        for (QString up = parentOf(folder); up.size() > main.size(); up = parentOf(up)) {
            const auto above = verdicts.constFind(up);
            if (above == verdicts.constEnd())
                continue;
            if (above->ok)
                known = up;
            else
                verdict = *above;
            break;
        }
        if (verdict.ok)
            verdict.ok = walk(known, folder, &verdict.escape);
        it = verdicts.insert(folder, verdict);
    }
    if (!it->ok && escape)
        *escape = it->escape;
    return it->ok;
}
