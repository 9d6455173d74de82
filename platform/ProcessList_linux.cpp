#include "ProcessList.h"

#include <algorithm>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ProcFsProcessList.h"

namespace {

// Task flag of kernel threads in field 9 of /proc/<pid>/stat.
constexpr unsigned long kernelThreadFlag = 0x00200000UL;

// Whole contents of a small /proc file (their sizes read as 0, so read to the end).
bool readSmallFile(const QByteArray &path, QByteArray *contents, int limit = 64 * 1024)
{
    contents->clear();
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    bool ok = true;
    while (contents->size() < limit) {
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        contents->append(buffer, static_cast<int>(got));
    }
    ::close(fd);
    return ok;
}

bool readLink(const QByteArray &path, QByteArray *target)
{
    target->clear();
    QByteArray buffer(4096, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::readlink(path.constData(), buffer.data(), size_t(buffer.size()));
        if (got < 0)
            return false;
        if (got < buffer.size()) {
            *target = buffer.left(static_cast<int>(got));
            return !target->isEmpty();
        }
        if (buffer.size() >= 1024 * 1024)
            return false;
        buffer.resize(buffer.size() * 2);
    }
}

QByteArray processFile(const QString &procRoot, qint64 pid, const char *name)
{
    return QFile::encodeName(procRoot) + '/' + QByteArray::number(pid) + '/' + name;
}

// The program's path from the exe link. The kernel marks a program file that
// was removed or replaced while the process runs with " (deleted)"; the
// process still runs that program from that place, so the mark is dropped and
// the process is judged by where its program was. (A real file name ending in
// " (deleted)" can't end in "exe", so it is never a suite program anyway.)
bool programPath(const QString &procRoot, qint64 pid, QString *path)
{
    path->clear();
    QByteArray target;
    if (!readLink(processFile(procRoot, pid, "exe"), &target))
        return false;
    static const QByteArray deletedMark(" (deleted)");
    if (target.endsWith(deletedMark))
        target.chop(deletedMark.size());
    *path = QFile::decodeName(target);
    return !path->isEmpty();
}

QString baseName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

struct StatFields
{
    char state = '?';
    unsigned long flags = 0;
};

// "<pid> (<comm>) <state> <ppid> <pgrp> <session> <tty> <tpgid> <flags> ...";
// comm may hold spaces and parentheses, so the fields start after the last ')'.
bool readStat(const QString &procRoot, qint64 pid, StatFields *fields)
{
    QByteArray stat;
    if (!readSmallFile(processFile(procRoot, pid, "stat"), &stat))
        return false;
    const int close = stat.lastIndexOf(')');
    if (close < 0)
        return false;
    const QList<QByteArray> rest = stat.mid(close + 1).simplified().split(' ');
    if (rest.isEmpty() || rest.first().isEmpty())
        return false;
    fields->state = rest.first().at(0);
    bool ok = false;
    fields->flags = rest.size() > 6 ? rest.at(6).toULong(&ok) : 0;
    if (!ok)
        fields->flags = 0;
    return true;
}

// Name of a process whose program path can't be read (another user's): the
// file name of argv[0], or the kernel's short name when argv is empty.
QString nameWithoutPath(const QString &procRoot, qint64 pid)
{
    QByteArray cmdline;
    readSmallFile(processFile(procRoot, pid, "cmdline"), &cmdline);
    const QByteArray first = cmdline.left(cmdline.indexOf('\0'));
    if (!first.isEmpty())
        return baseName(QFile::decodeName(first));
    QByteArray comm;
    readSmallFile(processFile(procRoot, pid, "comm"), &comm);
    if (comm.endsWith('\n'))
        comm.chop(1);
    return QFile::decodeName(comm);
}

} // namespace

namespace ProcFsProcessList {

bool snapshot(const QString &procRoot, QList<ProcessEntry> *processes)
{
    processes->clear();
    const QDir root(procRoot);
    if (!root.exists())
        return false;
    QList<qint64> pids;
    const QStringList entries = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (numeric && pid > 0 && entry.at(0).isDigit())
            pids.append(pid);
    }
    std::sort(pids.begin(), pids.end());

    for (const qint64 pid : qAsConst(pids)) {
        StatFields stat;
        if (!readStat(procRoot, pid, &stat))
            continue; // ended while the list was read
        // A zombie has ended and holds no files; a dead task is on its way out.
        if (stat.state == 'Z' || stat.state == 'X' || stat.state == 'x')
            continue;
        if (stat.flags & kernelThreadFlag)
            continue;
        ProcessEntry process;
        process.pid = pid;
        QString path;
        process.name
            = programPath(procRoot, pid, &path) ? baseName(path) : nameWithoutPath(procRoot, pid);
        if (process.name.isEmpty())
            continue;
        processes->append(process);
    }
    return true;
}

bool imagePath(const QString &procRoot, qint64 pid, QString *path)
{
    path->clear();
    if (pid <= 0)
        return false;
    return programPath(procRoot, pid, path);
}

bool processUser(const QString &procRoot, qint64 pid, QString *user)
{
    user->clear();
    struct stat info;
    const QByteArray dir = QFile::encodeName(procRoot) + '/' + QByteArray::number(pid);
    if (pid <= 0 || ::stat(dir.constData(), &info) != 0)
        return false;
    struct passwd entry;
    struct passwd *found = nullptr;
    QByteArray buffer(16 * 1024, Qt::Uninitialized);
    if (::getpwuid_r(info.st_uid, &entry, buffer.data(), size_t(buffer.size()), &found) == 0
        && found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0')
        *user = QFile::decodeName(found->pw_name);
    else
        *user = QString::number(info.st_uid);
    return true;
}

} // namespace ProcFsProcessList

namespace ProcessList {

bool snapshot(QList<ProcessEntry> *processes)
{
    return ProcFsProcessList::snapshot(QStringLiteral("/proc"), processes);
}

bool imagePath(qint64 pid, QString *path)
{
    return ProcFsProcessList::imagePath(QStringLiteral("/proc"), pid, path);
}

bool processUser(qint64 pid, QString *user)
{
    return ProcFsProcessList::processUser(QStringLiteral("/proc"), pid, user);
}

} // namespace ProcessList
