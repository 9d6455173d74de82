#include "ContainedTree.h"

#include <QDir>

#include <windows.h>

#include "NativePath.h"

#include <vector>

namespace {

// As many links as the system follows for one path before it gives up.
constexpr int maxLinks = 40;

// Opens what is at path for its attributes alone, sharing reading and writing
// but not deletion: while the handle is held, nobody can rename, remove or
// replace it (a folder swapped for a junction must first be moved away).
// Without follow a link or junction is opened itself, not what it leads to.
HANDLE openHeld(const QString &path, bool follow)
{
    return CreateFileW(nativeLongPath(path).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

// Where the held handle's file finally is, as a path with "/".
QString finalPathOf(HANDLE handle)
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(
            handle, buffer.data(), DWORD(buffer.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return QString();
        if (length < buffer.size()) {
            QString path = QString::fromWCharArray(buffer.data(), int(length));
            if (path.startsWith(QLatin1String("\\\\?\\UNC\\")))
                path = QLatin1String("\\\\") + path.mid(8);
            else if (path.startsWith(QLatin1String("\\\\?\\")))
                path = path.mid(4);
            return QDir::fromNativeSeparators(path);
        }
        buffer.resize(length + 1);
    }
}

bool atOrBelow(const QString &path, const QString &dir)
{
    return !dir.isEmpty() && path.startsWith(dir, Qt::CaseInsensitive)
        && (path.size() == dir.size() || dir.endsWith(QLatin1Char('/'))
            || path.at(dir.size()) == QLatin1Char('/'));
}

bool isMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Where the reparse point at path finally leads; path itself when that can't
// be opened, empty when it can't be told.
QString finalTarget(const QString &path)
{
    const HANDLE followed = openHeld(path, true);
    const QString target = followed == INVALID_HANDLE_VALUE ? path : finalPathOf(followed);
    if (followed != INVALID_HANDLE_VALUE)
        CloseHandle(followed);
    return target;
}

// The walk below a root. Each part opened is held in held (closed by close
// when the walk goes back up), so that the caller holds them all.
class Walk
{
public:
    enum class End {
        Ready, // current() is the folder, held last
        Missing, // a part doesn't exist: see error
        Failed, // a part can't be opened as a folder: see error
        Escapes // see escaped
    };

    Walk(const QString &rootPath, const QString &rootFinal, bool isMain,
        std::vector<std::intptr_t> *held, void (*close)(std::intptr_t))
        : rootPath(rootPath)
        , rootFinal(rootFinal)
        , isMain(isMain)
        , held(held)
        , close(close)
    { }

    End run(const QStringList &folders)
    {
        std::vector<QString> pending(folders.crbegin(), folders.crend());
        while (!pending.empty()) {
            const QString part = pending.back();
            pending.pop_back();
            if (part.isEmpty() || part == QLatin1String("."))
                continue;
            if (part == QLatin1String("..")) {
                if (names.isEmpty())
                    return finish(End::Escapes,
                        { current(), QDir::cleanPath(rootPath + QStringLiteral("/..")) });
                up();
                continue;
            }
            const QString next = current() + QLatin1Char('/') + part;
            const HANDLE handle = openHeld(next, false);
            if (handle == INVALID_HANDLE_VALUE) {
                error = GetLastError();
                return finish(isMissing(error) ? End::Missing : End::Failed);
            }
            BY_HANDLE_FILE_INFORMATION info;
            const bool known = GetFileInformationByHandle(handle, &info);
            if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                CloseHandle(handle);
                if (!reparse(next, &pending))
                    return end;
                continue;
            }
            if (!known || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                CloseHandle(handle);
                error = ERROR_DIRECTORY;
                return finish(End::Failed);
            }
            held->push_back(std::intptr_t(handle));
            names << part;
        }
        return finish(End::Ready);
    }

    QString current() const
    {
        return names.isEmpty() ? rootPath
                               : rootPath + QLatin1Char('/') + names.join(QLatin1Char('/'));
    }

    End end = End::Failed;
    DWORD error = 0; // at End::Missing and End::Failed
    PathGuard::Escape escaped; // at End::Escapes

private:
    End finish(End how, const PathGuard::Escape &escape = PathGuard::Escape())
    {
        end = how;
        escaped = escape;
        return end;
    }

    void up()
    {
        close(held->back());
        held->pop_back();
        names.removeLast();
    }

    // Walks on from the main directory where the reparse point at next leads,
    // when that is inside it. False, with the walk ended, otherwise.
    bool reparse(const QString &next, std::vector<QString> *pending)
    {
        const QString target = finalTarget(next);
        if (++links > maxLinks || !isMain || target.isEmpty() || !atOrBelow(target, rootFinal)) {
            finish(End::Escapes, { next, target });
            return false;
        }
        while (!names.isEmpty())
            up();
        const QStringList rest
            = target.mid(rootFinal.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        pending->insert(pending->end(), rest.crbegin(), rest.crend());
        return true;
    }

    const QString &rootPath;
    const QString &rootFinal;
    const bool isMain;
    std::vector<std::intptr_t> *held;
    void (*close)(std::intptr_t);
    QStringList names; // parts below the root held so far, in order
    int links = 0;
};

} // namespace

bool ContainedTree::openRoot(const QString &path, bool follow, Root *root, QString *error)
{
    const HANDLE handle = openHeld(path, follow);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = qt_error_string(int(GetLastError()));
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)
        || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        || (!follow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        *error = qt_error_string(ERROR_DIRECTORY);
        CloseHandle(handle);
        return false;
    }
    root->path = path;
    root->handle = std::intptr_t(handle);
    root->handlePath = path;
    root->final = finalPathOf(handle);
    if (root->final.isEmpty())
        root->final = path;
    return true;
}

void ContainedTree::closeHandle(std::intptr_t handle)
{
    if (handle != std::intptr_t(INVALID_HANDLE_VALUE) && handle != 0)
        CloseHandle(HANDLE(handle));
}

// Part by part from the held root, each part opened without following a
// reparse point and held until the change is done, so that none of them can
// be swapped meanwhile. A reparse point is asked where it leads: one that
// leads outside (or, below a root of the upgrade's own, anywhere) refuses the
// change; one that stays in the main directory is walked on from the main
// directory, its parts held as well.
ContainedTree::Parent ContainedTree::resolve(
    const Root &root, const QStringList &folders, const QString &name) const
{
    Parent parent;
    parent.name = name;
    Walk walk(root.path, root.final, &root == &roots.front(), &parent.held, closeHandle);
    switch (walk.run(folders)) {
    case Walk::End::Ready:
        parent.result = Parent::State::Ready;
        parent.folderPath = walk.current();
        break;
    case Walk::End::Missing:
    case Walk::End::Failed:
        parent.result
            = walk.end == Walk::End::Missing ? Parent::State::Missing : Parent::State::Failed;
        parent.failure = qt_error_string(int(walk.error));
        break;
    case Walk::End::Escapes:
        parent.result = Parent::State::Escapes;
        parent.escaped = walk.escaped;
        break;
    }
    return parent;
}
