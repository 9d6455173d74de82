#include "ContainedTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <vector>

namespace {

// As many links as the kernel follows for one path before it gives up.
constexpr int maxLinks = 40;

// The held folder itself, for this process and the children it starts.
QString procPath(int fd)
{
    return QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(fd);
}

QByteArray readLinkAt(int dir, const QByteArray &name)
{
    QByteArray buffer(256, '\0');
    for (;;) {
        const ssize_t length
            = ::readlinkat(dir, name.constData(), buffer.data(), size_t(buffer.size()));
        if (length < 0)
            return QByteArray();
        if (length < buffer.size())
            return buffer.left(int(length));
        buffer.resize(buffer.size() * 2);
    }
}

// A folder reached from dir by name, never through a link.
int openFolderAt(int dir, const QByteArray &name)
{
    return ::openat(dir, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The kernel's own resolution, where it has one: links that stay below the
// root are followed, anything that leads out fails. -1 with errno set; EXDEV,
// ELOOP, ENOSYS and the like leave the decision to the walk below.
int openBeneath(int root, const QByteArray &relative)
{
#if defined(Q_OS_LINUX) && defined(SYS_openat2)
    open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return int(::syscall(SYS_openat2, root, relative.constData(), &how, sizeof how));
#else
    Q_UNUSED(root)
    Q_UNUSED(relative)
    errno = ENOSYS;
    return -1;
#endif
}

// The folders opened on the way down from a root, the root's duplicate first.
class Descent
{
public:
    explicit Descent(int root) { enter(::fcntl(root, F_DUPFD_CLOEXEC, 0), QString()); }
    ~Descent()
    {
        for (const int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
    Descent(const Descent &) = delete;
    Descent &operator=(const Descent &) = delete;

    int top() const { return fds.back(); }
    bool atRoot() const { return fds.size() == 1; }
    void enter(int fd, const QString &name)
    {
        fds.push_back(fd);
        names << name;
    }
    void up()
    {
        ::close(fds.back());
        fds.pop_back();
        names.removeLast();
    }
    void toRoot()
    {
        while (!atRoot())
            up();
    }
    // The held folder, handed over to the caller.
    int release()
    {
        const int fd = fds.back();
        fds.back() = -1;
        return fd;
    }
    // The text path of a part in the current folder.
    QString pathOf(const QString &rootPath, const QString &name) const
    {
        QStringList all = names.mid(1);
        all << name;
        return rootPath + QLatin1Char('/') + all.join(QLatin1Char('/'));
    }

private:
    std::vector<int> fds;
    QStringList names;
};

void pushParts(std::vector<QByteArray> *pending, const QByteArray &text)
{
    const QList<QByteArray> parts = text.split('/');
    for (int i = parts.size(); i-- > 0;) {
        if (!parts[i].isEmpty() && parts[i] != ".")
            pending->push_back(parts[i]);
    }
}

// Where path finally lies, when that is the main directory (finally at
// mainFinal) or below it: the walk starts again from the main directory
// with the way from there, ahead of the parts still pending (dropped when
// path holds them already). False, with nothing changed, otherwise.
bool reenter(const QByteArray &path, const QString &mainFinal, Descent *descent,
    std::vector<QByteArray> *pending, bool pathHoldsPending)
{
    char location[PATH_MAX];
    if (!::realpath(path.constData(), location))
        return false;
    const QString final = QFile::decodeName(location);
    if (final != mainFinal && !final.startsWith(mainFinal + QLatin1Char('/')))
        return false;
    descent->toRoot();
    if (pathHoldsPending)
        pending->clear();
    pushParts(pending, QFile::encodeName(final.mid(mainFinal.size())));
    return true;
}

// Part by part, never following a link by the kernel: a link's target is
// taken apart and walked from the folder it lies in (from the main directory
// for an absolute one that names a place inside it).
class Walk
{
public:
    enum class End {
        Ready, // release() hands over the folder
        Failed, // a part can't be opened: see error
        AboveRoot, // ".." above the root leads outside
        Escapes // a link leads outside: see escaped
    };

    Walk(int rootFd, const QString &rootPath, const QString &rootFinal, bool isMain)
        : descent(rootFd)
        , rootPath(rootPath)
        , rootFinal(rootFinal)
        , isMain(isMain)
    { }

    End run(const QByteArray &relative)
    {
        pushParts(&pending, relative);
        while (!pending.empty()) {
            const QByteArray part = pending.back();
            pending.pop_back();
            if (part == "..") {
                if (!climb())
                    return End::AboveRoot;
                continue;
            }
            const int next = openFolderAt(descent.top(), part);
            if (next >= 0) {
                descent.enter(next, QFile::decodeName(part));
                continue;
            }
            error = errno;
            struct stat info;
            if (::fstatat(descent.top(), part.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0
                || !S_ISLNK(info.st_mode))
                return End::Failed;
            if (!followLink(part))
                return End::Escapes;
        }
        return End::Ready;
    }

    int release() { return descent.release(); }

    int error = 0; // errno, at End::Failed
    PathGuard::Escape lastLink; // the link that brought the walk where it is
    PathGuard::Escape escaped; // at End::Escapes

private:
    // One folder up. Above the main directory the rest of the way is outside,
    // and may lead back in (through the main directory's own name, or a link
    // to it): where it finally lies decides. False when it leads out.
    bool climb()
    {
        if (descent.atRoot() && isMain) {
            QByteArray rest = QFile::encodeName(QFileInfo(rootFinal).path());
            for (auto it = pending.crbegin(); it != pending.crend(); ++it)
                rest += '/' + *it;
            if (reenter(rest, rootFinal, &descent, &pending, true))
                return true;
        }
        if (descent.atRoot())
            return false;
        descent.up();
        return true;
    }

    // Walks on where the link part in the current folder leads. False, with
    // escaped set, when it leads out.
    bool followLink(const QByteArray &part)
    {
        const QString link = descent.pathOf(rootPath, QFile::decodeName(part));
        const QByteArray target = readLinkAt(descent.top(), part);
        const QString targetText = QFile::decodeName(target);
        const QString where = QDir::isAbsolutePath(targetText)
            ? targetText
            : QDir::cleanPath(link + QStringLiteral("/../") + targetText);
        lastLink = { link, where };
        if (++links > maxLinks || target.isEmpty()) {
            escaped = { link, where };
            return false;
        }
        if (target.startsWith('/')) {
            // Only the main directory's own final location may be named.
            const QString finalRoot = rootFinal;
            const bool inside = isMain
                && (targetText == finalRoot || targetText.startsWith(finalRoot + QLatin1Char('/')));
            // A link naming the main directory by another name (through a
            // link to it) stays inside as well.
            if (!inside && isMain && reenter(target, finalRoot, &descent, &pending, false))
                return true;
            if (!inside) {
                escaped = { link, where };
                return false;
            }
            descent.toRoot();
            pushParts(&pending, target.mid(QFile::encodeName(finalRoot).size()));
            return true;
        }
        pushParts(&pending, target);
        return true;
    }

    Descent descent;
    const QString &rootPath;
    const QString &rootFinal;
    const bool isMain;
    std::vector<QByteArray> pending;
    int links = 0;
};

} // namespace

bool ContainedTree::openRoot(const QString &path, bool follow, Root *root, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_PATH | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        *error = qt_error_string(errno);
        return false;
    }
    root->path = path;
    root->handle = fd;
    root->handlePath = procPath(fd);
    char location[PATH_MAX];
    root->final = ::realpath(procPath(fd).toLocal8Bit().constData(), location)
        ? QFile::decodeName(location)
        : path;
    return true;
}

void ContainedTree::closeHandle(std::intptr_t handle)
{
    if (handle >= 0)
        ::close(int(handle));
}

ContainedTree::Parent ContainedTree::resolve(
    const Root &root, const QStringList &folders, const QString &name) const
{
    Parent parent;
    parent.name = name;
    const int rootFd = int(root.handle);
    const auto ready = [&parent](int fd) {
        parent.result = Parent::State::Ready;
        parent.held.push_back(fd);
        parent.folderPath = procPath(fd);
        return std::move(parent);
    };
    const auto failed = [&parent](Parent::State state, int error) {
        parent.result = state;
        parent.failure = qt_error_string(error);
        return std::move(parent);
    };
    if (folders.isEmpty()) {
        const int fd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
        return fd >= 0 ? ready(fd) : failed(Parent::State::Failed, errno);
    }
    const QByteArray relative = QFile::encodeName(folders.join(QLatin1Char('/')));
    const int fd = openBeneath(rootFd, relative);
    if (fd >= 0)
        return ready(fd);
    if (errno == ENOENT || errno == ENOTDIR || errno == EACCES)
        return failed(errno == ENOENT ? Parent::State::Missing : Parent::State::Failed, errno);

    Walk walk(rootFd, root.path, root.final, &root == &roots.front());
    const Walk::End end = walk.run(relative);
    if (end == Walk::End::Ready)
        return ready(walk.release());
    if (end == Walk::End::Failed)
        return failed(
            walk.error == ENOENT ? Parent::State::Missing : Parent::State::Failed, walk.error);
    parent.result = Parent::State::Escapes;
    if (end == Walk::End::Escapes)
        parent.escaped = walk.escaped;
    else // above the root
        parent.escaped = walk.lastLink.link.isEmpty()
            ? PathGuard::Escape { root.path + QLatin1Char('/') + folders.join(QLatin1Char('/')),
                  QDir::cleanPath(root.path + QStringLiteral("/..")) }
            : walk.lastLink;
    return parent;
}
