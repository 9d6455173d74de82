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

ContainedTree::Parent ContainedTree::resolve(
    const Root &root, const QStringList &folders, const QString &name) const
{
    // Part by part from the held root, each part opened without following a
    // reparse point and held until the change is done, so that none of them
    // can be swapped meanwhile. A reparse point is asked where it leads: one
    // that leads outside (or, below a root of the upgrade's own, anywhere)
    // refuses the change; one that stays in the main directory is walked on
    // from the main directory, its parts held as well.
    Parent parent;
    parent.name = name;
    QStringList names; // parts below the root held so far, in order
    std::vector<QString> pending(folders.crbegin(), folders.crend());
    const bool isMain = &root == &roots.front();
    int links = 0;
    const auto current = [&root, &names] {
        return names.isEmpty() ? root.path
                               : root.path + QLatin1Char('/') + names.join(QLatin1Char('/'));
    };
    const auto up = [&parent, &names] {
        closeHandle(parent.held.back());
        parent.held.pop_back();
        names.removeLast();
    };
    while (!pending.empty()) {
        const QString part = pending.back();
        pending.pop_back();
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (names.isEmpty()) {
                parent.result = Parent::State::Escapes;
                parent.escaped = { current(), QDir::cleanPath(root.path + QStringLiteral("/..")) };
                return parent;
            }
            up();
            continue;
        }
        const QString next = current() + QLatin1Char('/') + part;
        const HANDLE handle = openHeld(next, false);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            parent.result = isMissing(error) ? Parent::State::Missing : Parent::State::Failed;
            parent.failure = qt_error_string(int(error));
            return parent;
        }
        BY_HANDLE_FILE_INFORMATION info;
        const bool known = GetFileInformationByHandle(handle, &info);
        if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            CloseHandle(handle);
            const HANDLE followed = openHeld(next, true);
            const QString target = followed == INVALID_HANDLE_VALUE ? next : finalPathOf(followed);
            if (followed != INVALID_HANDLE_VALUE)
                CloseHandle(followed);
            if (++links > maxLinks || !isMain || target.isEmpty()
                || !atOrBelow(target, root.final)) {
                parent.result = Parent::State::Escapes;
                parent.escaped = { next, target };
                return parent;
            }
            while (!names.isEmpty())
                up();
            const QStringList rest
                = target.mid(root.final.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
            pending.insert(pending.end(), rest.crbegin(), rest.crend());
            continue;
        }
        if (!known || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            CloseHandle(handle);
            parent.result = Parent::State::Failed;
            parent.failure = qt_error_string(ERROR_DIRECTORY);
            return parent;
        }
        parent.held.push_back(std::intptr_t(handle));
        names << part;
    }
    parent.result = Parent::State::Ready;
    parent.folderPath = current();
    return parent;
}
