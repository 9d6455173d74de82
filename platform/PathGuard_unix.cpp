#include "PathGuard.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// As many links as the kernel follows for one path before it gives up.
constexpr int maxLinks = 40;

// The stored target of the link at path; empty when it can't be read.
QByteArray readLink(const QByteArray &path)
{
    QByteArray buffer(256, '\0');
    for (;;) {
        const ssize_t length = readlink(path.constData(), buffer.data(), size_t(buffer.size()));
        if (length < 0)
            return QByteArray();
        if (length < buffer.size())
            return buffer.left(int(length));
        buffer.resize(buffer.size() * 2);
    }
}

// The location an absolute path finally has: every link on the way followed
// as the system does (".." after a link leads to the parent of its target).
// From the first part that is missing or can't be looked at, the rest is
// taken as text, so that a dangling link gives where a write through it would
// land. False for a loop (more links than the system would follow).
bool finalLocation(const QByteArray &path, QByteArray *location)
{
    std::vector<QByteArray> pending; // parts still to take, the next one last
    const auto push = [&pending](const QByteArray &text) {
        const QList<QByteArray> parts = text.split('/');
        for (int i = parts.size(); i-- > 0;) {
            if (!parts[i].isEmpty() && parts[i] != ".")
                pending.push_back(parts[i]);
        }
    };
    push(path);
    QByteArray done; // resolved so far; empty for the root
    int links = 0;
    bool missing = false;
    while (!pending.empty()) {
        const QByteArray part = pending.back();
        pending.pop_back();
        if (part == "..") {
            done.truncate(qMax(0, done.lastIndexOf('/')));
            continue;
        }
        const QByteArray next = done + '/' + part;
        struct stat info;
        if (!missing && lstat(next.constData(), &info) != 0)
            missing = true;
        if (!missing && S_ISLNK(info.st_mode)) {
            const QByteArray target = readLink(next);
            if (++links > maxLinks)
                return false;
            if (!target.isEmpty()) {
                if (target.startsWith('/'))
                    done.clear();
                push(target);
                continue;
            }
            missing = true; // gone since lstat: the rest is text
        }
        done = next;
    }
    *location = done.isEmpty() ? QByteArray("/") : done;
    return true;
}

// The final location of path, or path itself for a loop.
QString finalOf(const QString &path)
{
    QByteArray location;
    return finalLocation(QFile::encodeName(path), &location) ? QFile::decodeName(location) : path;
}

} // namespace

bool PathGuard::walk(const QString &known, const QString &folder, Escape *escape)
{
    if (mainFinal.isEmpty())
        mainFinal = finalOf(main);
    int from = known.size();
    while (from < folder.size()) {
        int end = folder.indexOf(QLatin1Char('/'), from + 1);
        if (end < 0)
            end = folder.size();
        from = end;
        const QString part = folder.left(end);
        const QByteArray local = QFile::encodeName(part);
        struct stat info;
        if (lstat(local.constData(), &info) != 0)
            return true; // missing from here on, or not to be looked at
        if (!S_ISLNK(info.st_mode))
            continue;
        QByteArray location;
        if (!finalLocation(local, &location)) {
            // A loop: name the target the link stores.
            const QString stored = QFile::decodeName(readLink(local));
            *escape = { part,
                QDir::isAbsolutePath(stored)
                    ? stored
                    : QDir::cleanPath(
                        folder.left(part.lastIndexOf(QLatin1Char('/')) + 1) + stored) };
            return false;
        }
        const QString target = QFile::decodeName(location);
        if (!atOrBelow(target, mainFinal)) {
            *escape = { part, target };
            return false;
        }
    }
    return true;
}

bool PathGuard::physicalCheck(const QString &raw, bool parentOnly, Escape *escape)
{
    if (!raw.contains(QLatin1String("..")))
        return true;
    QStringList parts = QDir::fromNativeSeparators(raw).split(QLatin1Char('/'));
    if (!parts.contains(QLatin1String("..")))
        return true;
    // A target to remove or replace is judged by its folder; a last part of
    // "." or ".." names a folder itself.
    if (parentOnly && parts.size() > 1 && parts.last() != QLatin1String(".")
        && parts.last() != QLatin1String(".."))
        parts.removeLast();
    const QString path = parts.join(QLatin1Char('/'));
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::currentPath() + '/' + path;
    QByteArray location;
    const bool resolved = finalLocation(QFile::encodeName(absolute), &location);
    if (mainFinal.isEmpty())
        mainFinal = finalOf(main);
    const QString target = QFile::decodeName(location);
    if (resolved && atOrBelow(target, mainFinal))
        return true;
    if (escape)
        *escape = { raw, resolved ? target : raw };
    return false;
}
