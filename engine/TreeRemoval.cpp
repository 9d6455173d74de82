#include "TreeRemoval.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QVector>

#include <atomic>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>
#endif

namespace TreeRemoval {

using FileTree::Failures;
using FileTree::note;
using FileTree::removeFile;

namespace {

struct Listed
{
    QFileInfo info;
    QString path;
};

// What removeFolder removes, below folder: every file, link and other entry
// at any depth, and every folder after what is in it (folder itself last).
void collect(const QString &folder, QVector<Listed> *files, QStringList *folders)
{
    QString prefix = QDir::toNativeSeparators(folder);
    if (!prefix.endsWith(QDir::separator()))
        prefix += QDir::separator();
    // System makes dangling links, FIFOs and sockets visible, so that they
    // don't keep the folder from going. The listing's entry infos already
    // know each entry's kind, so most entries cost no further look-up.
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &info : entries) {
        const QString path = prefix + info.fileName();
        if (info.isDir() && !info.isSymLink())
            collect(path, files, folders);
        else
            files->append({ info, path });
    }
    folders->append(QDir::toNativeSeparators(QDir(folder).absolutePath()));
}

// Runs remove(i, failures) for every i below count, on several threads when
// there are many: a removal may wait for the disk (a file system that
// discards freed blocks as they are freed waits for each), and such waits
// overlap. True when every one succeeded.
template <typename Remove>
bool removeEach(int count, const Remove &remove, Failures *failures, bool mayThread = true)
{
    const int threads = count < 256 || !mayThread ? 1 : 16;
    std::atomic<int> next { 0 };
    QVector<Failures> found(threads);
    QVector<int> failed(threads, 0);
    const auto work = [&](int slot) {
        for (int i = next++; i < count; i = next++) {
            if (!remove(i, &found[slot]))
                ++failed[slot];
        }
    };
    FileTree::onThreads(threads, work);
    bool ok = true;
    for (int slot = 0; slot < threads; ++slot) {
        if (failures)
            *failures += found.at(slot);
        ok = ok && failed.at(slot) == 0;
    }
    return ok;
}

// Removes a file or link that a listing found. Windows refuses to remove a
// read-only file, so it is made writable first. Elsewhere the mode plays no
// part in a removal, and the owner's write bit is only added when the removal
// fails: the end is the same (the file gone, or left with that bit added)
// without a look-up and a metadata write per file.
bool removeListedFile(const QFileInfo &info, const QString &path, Failures *failures)
{
#ifdef Q_OS_UNIX
    if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT)
        return true; // gone: removed, or by someone else meanwhile
#endif
    FileTree::makeWritable(info, path);
    return removeFile(path, failures) || !FileTree::entryPresent(QFileInfo(path));
}

// Removes the files that collect() listed.
bool removeListed(const QVector<Listed> &files, Failures *failures)
{
    return removeEach(
        files.size(),
        [&files](int i, Failures *found) {
            return removeListedFile(files.at(i).info, files.at(i).path, found);
        },
        failures);
}

#ifdef Q_OS_UNIX
// Removes everything in the folder open as dir, at any depth, never through a
// link: each sub-folder is opened from its parent's handle with O_NOFOLLOW, so
// one swapped for a link meanwhile goes as a link and is never entered. The
// entries of a large folder are removed on several threads (removeEach).
bool emptyFolderAt(int dir, const QString &path, Failures *failures, bool mayThread = true)
{
    std::vector<QByteArray> names;
    const int listing = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0)
            ::close(listing);
        note(failures, path, qt_error_string(errno));
        return false;
    }
    while (const dirent *entry = ::readdir(entries)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(entries);

    const QString prefix = path + QLatin1Char('/');
    // Threads at one level at most: below a folder emptied on several, one.
    const bool threaded = mayThread && names.size() >= 256;
    // A folder comes back as EISDIR (POSIX: EPERM) from unlinkat; it is then
    // emptied and removed in turn.
    const auto remove = [&](int i, Failures *found) {
        const char *name = names[size_t(i)].constData();
        const QString entry = prefix + QFile::decodeName(names[size_t(i)]);
        if (::unlinkat(dir, name, 0) == 0 || errno == ENOENT)
            return true;
        if (errno == EISDIR || errno == EPERM) {
            const int sub = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) {
                const bool emptied = emptyFolderAt(sub, entry, found, mayThread && !threaded);
                ::close(sub);
                if (::unlinkat(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
                    return true;
                if (emptied)
                    note(found, entry,
                        QCoreApplication::translate("CUpgradeWorker", "无法删除文件夹"));
                return false;
            }
            // Swapped for a file or a link since: it goes as such.
            if ((errno == ENOTDIR || errno == ELOOP)
                && (::unlinkat(dir, name, 0) == 0 || errno == ENOENT))
                return true;
        }
        note(found, entry, qt_error_string(errno));
        return false;
    };
    return removeEach(int(names.size()), remove, failures, threaded);
}
#endif

} // namespace

bool removeFiles(const QStringList &paths, Failures *failures)
{
    QVector<Listed> files;
    files.reserve(paths.size());
    for (const QString &path : paths)
        files.append({ QFileInfo(path), path });
    return removeListed(files, failures);
}

bool removeFolder(const QString &folder, Failures *failures)
{
#ifdef Q_OS_UNIX
    const QByteArray local = QFile::encodeName(folder);
    const int dir = ::open(local.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        // A link standing where the folder is expected goes as a link;
        // following it would empty a folder elsewhere.
        struct stat info;
        if ((errno == ELOOP || errno == ENOTDIR) && ::lstat(local.constData(), &info) == 0
            && S_ISLNK(info.st_mode))
            return removeFile(folder, failures);
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
            return true;
        note(failures, folder, qt_error_string(errno));
        return false;
    }
    bool ok = emptyFolderAt(dir, folder, failures);
    ::close(dir);
    if (::rmdir(local.constData()) != 0 && errno != ENOENT) {
        if (ok)
            note(failures, folder, QCoreApplication::translate("CUpgradeWorker", "无法删除文件夹"));
        ok = false;
    }
    return ok;
#else
    // A link standing where the folder is expected goes as a link; following
    // it would empty a folder elsewhere.
    if (QFileInfo(folder).isSymLink())
        return removeFile(folder, failures);
    if (!QDir(folder).exists())
        return true;
    QVector<Listed> files;
    QStringList folders;
    collect(folder, &files, &folders);
    bool ok = removeListed(files, failures);
    for (const QString &path : qAsConst(folders)) {
        if (!QDir().rmdir(path)) {
            // Only worth a word of its own when nothing inside explains it.
            if (ok)
                note(failures, path,
                    QCoreApplication::translate("CUpgradeWorker", "无法删除文件夹"));
            ok = false;
        }
    }
    return ok;
#endif
}

} // namespace TreeRemoval
