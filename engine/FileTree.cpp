#include "FileTree.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QResource>
#include <QThread>
#include <QVector>

#include <atomic>
#include <thread>
#include <vector>

#include "SuiteLayout.h"

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <cerrno>
#include <memory>
#endif

namespace FileTree {

using SuiteLayout::join;

namespace {

// The "user" bits say what the running user may do (for root nearly
// anything), not what the mode holds, so only owner, group and other count.
const QFileDevice::Permissions userBits
    = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
const QFileDevice::Permissions executeBits
    = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

// Present on disk, or a symbolic link whose target is gone (QFile::exists
// follows links and would miss it).
bool entryPresent(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

// makeWritable for path, whose entry info holds what was read of it.
void makeWritable(const QFileInfo &info, const QString &path)
{
    if (info.isSymLink())
        return;
#ifdef Q_OS_WIN
    QFile::setPermissions(path, QFileDevice::WriteOwner);
#else
    // Only adds the owner's write bit: should the removal fail after all, the
    // file keeps the rest of its mode. A file that has the bit (nearly every
    // one) is left untouched, which spares a metadata write per file.
    if (!info.exists() || info.permission(QFileDevice::WriteOwner))
        return;
    QFile::setPermissions(path, (info.permissions() & ~userBits) | QFileDevice::WriteOwner);
#endif
}

#ifdef Q_OS_UNIX

// Closes a descriptor when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : fd(fd)
    { }
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd; }
    // Closes now; false when the system reports an error (a late write error
    // of some file systems shows only here).
    bool close()
    {
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }

private:
    int fd;
};

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(qMin<qint64>(size, 1 << 30)));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// Copies in (a regular file of size bytes, read from its start) to out:
// inside the kernel where the file system allows it, otherwise through a
// 1 MiB buffer. The size read before the copy ends it; a file that shrinks
// meanwhile ends at its end.
bool copyContents(int in, int out, qint64 size)
{
#ifdef Q_OS_LINUX
    qint64 done = 0;
    for (;;) {
        const size_t chunk = size_t(qBound<qint64>(1, size - done, qint64(1) << 30));
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (copied > 0) {
            done += copied;
            if (done >= size)
                return true;
            continue;
        }
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied == 0)
            return true; // end of file
        if (errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS
            && errno != EBADF)
            return false; // a real failure: no space, file too large, I/O error
        break; // the file systems can't: the buffer goes on from here
    }
#else
    Q_UNUSED(size)
#endif
    const size_t bufferSize = size_t(1) << 20;
    const std::unique_ptr<char[]> buffer(new char[bufferSize]);
    for (;;) {
        const ssize_t got = ::read(in, buffer.get(), bufferSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!writeAll(out, buffer.get(), got))
            return false;
    }
}

enum class CopyOutcome { Copied, Failed, NotTried };

// The mode a file created with 0666 gets under the process's umask (read
// from /proc, since asking umask() changes it); -1 when unknown.
int creationMode()
{
    static const int mode = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const int mask = line.mid(6).trimmed().toInt(&ok, 8);
                return ok ? 0666 & ~mask : -1;
            }
        }
        return -1;
    }();
    return mode;
}

// Whether the file open as fd (for reading) holds exactly the size bytes at
// data: what was just written, read back through the page cache, mapped
// rather than copied where the file system allows it.
bool holdsExactly(int fd, const char *data, qint64 size)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_size != size)
        return false;
    if (size == 0)
        return true;
    // Mapping pays for large files only: unmapping costs every thread of the
    // process a TLB flush.
    void *map = size < 1024 * 1024 ? MAP_FAILED
                                   : ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) {
        const bool same = std::memcmp(map, data, size_t(size)) == 0;
        ::munmap(map, size_t(size));
        return same;
    }
    char buffer[64 * 1024];
    for (qint64 at = 0; at < size;) {
        const ssize_t got = ::pread(fd, buffer, size_t(qMin<qint64>(sizeof buffer, size - at)), at);
        if (got <= 0 || std::memcmp(buffer, data + at, size_t(got)) != 0)
            return false;
        at += got;
    }
    return true;
}

// Stands for "what was read back is not what was written" among errno values.
constexpr int ReadBackDiffers = -1;

// Fills the new file out from the file in, or from data when in is -1, reads
// it back when asked, starts the writeback of a large file and gives it mode
// unless that is -1. Returns 0, the errno of what failed, or ReadBackDiffers.
int fillTarget(Descriptor &out, int in, const char *data, qint64 size, bool readBack, int mode)
{
    const bool filled
        = in >= 0 ? copyContents(in, out.get(), size) : writeAll(out.get(), data, size);
    int error = filled ? 0 : errno;
    if (filled && readBack && !holdsExactly(out.get(), data, size))
        error = ReadBackDiffers;
#ifdef Q_OS_LINUX
    // The upgrade needs what it writes on disk before it commits: the disk
    // starts on a large file now, while the next files are written, instead
    // of all of it being waited for at once later. (Small files are left to
    // the writeback that follows the extraction: one request each would cost
    // more than it saves.)
    if (filled && size >= 256 * 1024)
        ::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    if (filled && mode >= 0 && mode != creationMode())
        ::fchmod(out.get(), mode_t(mode)); // the result is ignored, as by makeCopiedFileAccessible
    if (!out.close() && error == 0)
        error = errno;
    return error;
}

// The quick road of copyFile: creates target (never replacing anything) and
// fills it from a regular file or from an uncompressed resource in one go,
// then gives it mode unless that is -1. NotTried when something is unusual
// before anything was written; copyFile then leaves it to QFile::copy, so odd
// cases keep its behaviour.
CopyOutcome copyQuickly(const QString &source, const QString &target, int mode = -1,
    QString *reason = nullptr, const CopiedFile *onCopied = nullptr)
{
    // QResource keeps isDir() to itself; one look-up answers both questions.
    struct ResourceEntry : QResource
    {
        using QResource::isDir;
    };
    const bool fromResource = source.startsWith(QLatin1Char(':'));
    ResourceEntry resource;
    if (fromResource) {
        resource.setFileName(source);
        if (!resource.isValid() || resource.isDir()
            || resource.compressionAlgorithm() != QResource::NoCompression)
            return CopyOutcome::NotTried;
    }
    Descriptor in(
        fromResource ? -1 : ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    qint64 size = 0;
    if (!fromResource) {
        struct stat info;
        if (in.get() < 0 || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
            return CopyOutcome::NotTried;
        size = info.st_size;
    }

    // A copy that is watched is read back: the bytes on disk must be the
    // bytes that were written.
    const bool readBack = fromResource && onCopied && *onCopied;
    const QByteArray targetName = QFile::encodeName(target);
    Descriptor out(::open(targetName.constData(),
        (readBack ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.get() < 0)
        return CopyOutcome::NotTried;
    const char *data = fromResource ? reinterpret_cast<const char *>(resource.data()) : nullptr;
    if (fromResource)
        size = resource.size();
    const int error = fillTarget(out, in.get(), data, size, readBack, mode);
    if (error == 0) {
        if (onCopied && *onCopied)
            (*onCopied)(source, target, data, size);
        return CopyOutcome::Copied;
    }
    if (reason)
        *reason = error == ReadBackDiffers
            ? QCoreApplication::translate("CUpgradeWorker", "写入后读回的内容与升级包不符")
            : qt_error_string(error);
    // As QFile::copy: a copy that failed leaves nothing behind.
    ::unlink(targetName.constData());
    return CopyOutcome::Failed;
}

#endif

// Runs work(slot) for slots 0 to threads - 1 at once, slot 0 on the calling
// thread, and returns when all have ended.
template <typename Work> void onThreads(int threads, const Work &work)
{
    std::vector<std::thread> helpers;
    for (int slot = 1; slot < threads; ++slot)
        helpers.emplace_back(work, slot);
    work(0);
    for (std::thread &helper : helpers)
        helper.join();
}

void note(Failures *failures, const QString &path, const QString &reason)
{
    if (failures)
        failures->append({ path, reason });
}

// QFile::copy, with its reason noted when it fails.
bool copyByQFile(const QString &source, const QString &target, Failures *failures)
{
    QFile file(source);
    if (file.copy(target))
        return true;
    note(failures, target, file.errorString());
    return false;
}

// Removes a file or link, with the reason noted when it stays.
bool removeFile(const QString &path, Failures *failures)
{
    QFile file(path);
    if (file.remove())
        return true;
    note(failures, path, file.errorString());
    return false;
}

} // namespace

bool copyFile(const QString &source, const QString &target, Failures *failures)
{
#ifdef Q_OS_UNIX
    QString reason;
    const CopyOutcome quick = copyQuickly(source, target, -1, &reason);
    if (quick == CopyOutcome::Failed)
        note(failures, target, reason);
    if (quick != CopyOutcome::NotTried)
        return quick == CopyOutcome::Copied;
#endif
    return copyByQFile(source, target, failures);
}

bool isSafeEntryName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

void makeCopiedFileAccessible(const QString &path, QFileDevice::Permissions keepExecutable)
{
#ifdef Q_OS_WIN
    Q_UNUSED(keepExecutable)
    QFile(path).setPermissions(QFileDevice::ReadOther | QFileDevice::WriteOther);
#else
    QFile(path).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
        | QFileDevice::ReadOther | (keepExecutable & executeBits));
#endif
}

namespace {

#ifdef Q_OS_UNIX
// The mode makeCopiedFileAccessible gives: 0644 plus the execute bits kept.
int accessibleMode(QFileDevice::Permissions keepExecutable = QFileDevice::Permissions())
{
    return 0644 | (keepExecutable & QFileDevice::ExeOwner ? 0100 : 0)
        | (keepExecutable & QFileDevice::ExeGroup ? 0010 : 0)
        | (keepExecutable & QFileDevice::ExeOther ? 0001 : 0);
}
#endif

// copyFile followed by makeCopiedFileAccessible on success; the quick road
// sets the mode on the open file instead of looking the path up again.
bool copyAccessible(const QString &source, const QString &target,
    QFileDevice::Permissions keepExecutable, Failures *failures)
{
#ifdef Q_OS_UNIX
    QString reason;
    const CopyOutcome quick = copyQuickly(source, target, accessibleMode(keepExecutable), &reason);
    if (quick == CopyOutcome::Failed)
        note(failures, target, reason);
    if (quick != CopyOutcome::NotTried)
        return quick == CopyOutcome::Copied;
#endif
    if (!copyByQFile(source, target, failures))
        return false;
    makeCopiedFileAccessible(target, keepExecutable);
    return true;
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
    makeWritable(info, path);
    return removeFile(path, failures) || !entryPresent(QFileInfo(path));
}

} // namespace

void makeWritable(const QString &path)
{
    makeWritable(QFileInfo(path), path);
}

namespace {

// Copies one file of a folder being merged; see copyFolder.
bool copyFolderFile(const QString &sourceFile, const QString &targetFile, bool overwrite,
    Failures *failures, const CopiedFile &onCopied)
{
#ifdef Q_OS_UNIX
    // Most targets are new: the quick copy creates them without asking
    // first, and refuses anything already there, which then goes the usual
    // way below.
    QString reason;
    const CopyOutcome quick
        = copyQuickly(sourceFile, targetFile, accessibleMode(), &reason, &onCopied);
    if (quick == CopyOutcome::Failed)
        note(failures, targetFile, reason);
    if (quick != CopyOutcome::NotTried)
        return quick == CopyOutcome::Copied;
#endif
    const QFileInfo installed(targetFile);
    QFileDevice::Permissions keep;
    if (installed.exists()) {
        if (!overwrite)
            return true;
#ifndef Q_OS_WIN
        // A replaced program stays startable: its execute bits carry over.
        if (installed.isFile())
            keep = installed.permissions() & executeBits;
#endif
        QFile::remove(targetFile);
    }
    if (!copyAccessible(sourceFile, targetFile, keep, failures))
        return false;
    if (onCopied)
        onCopied(sourceFile, targetFile, nullptr, -1);
    return true;
}

} // namespace

namespace {

// The files of one folder, on more than one thread when there are several:
// writing them is mostly copying memory, which the processors share.
bool copyFolderFiles(const QString &source, const QString &target, const QStringList &files,
    bool overwrite, Failures *failures, int *copied, const CopiedFile &onCopied)
{
    const int threads = files.size() < 4 ? 1 : qBound(1, QThread::idealThreadCount(), 4);
    std::atomic<int> next { 0 };
    std::atomic<int> done { 0 };
    QVector<Failures> found(threads);
    std::atomic<bool> ok { true };
    const auto work = [&](int slot) {
        for (int i = next++; i < files.size(); i = next++) {
            const QString &name = files.at(i);
            if (copyFolderFile(
                    join(source, name), join(target, name), overwrite, &found[slot], onCopied))
                ++done;
            else
                ok = false;
        }
    };
    onThreads(threads, work);
    for (const Failures &some : qAsConst(found)) {
        if (failures)
            *failures += some;
    }
    if (copied)
        *copied += done;
    return ok;
}

} // namespace

bool copyFolder(const QString &source, const QString &target, bool overwrite, Failures *failures,
    int *copied, const CopiedFile &onCopied)
{
    const QDir sourceDir(source);
    if (!sourceDir.exists()) {
        note(failures, source, QCoreApplication::translate("CUpgradeWorker", "文件夹不存在"));
        return false;
    }
    QDir targetDir(target);
    if (!targetDir.exists())
        QDir().mkpath(target);

    // One listing for both kinds, each in the listing's order. An entry that
    // is listed but not found by its own path has a name Qt reads as a path
    // (on Windows a package name with a backslash in it): it would silently
    // be left out, so it refuses the folder like a name that leads outside.
    QStringList folders;
    QStringList files;
    const QFileInfoList entries
        = sourceDir.entryInfoList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() || entry.isFile()) {
            (entry.isDir() ? folders : files).append(entry.fileName());
        } else if (!entry.exists() && !entry.isSymLink()) {
            note(failures, entry.filePath(),
                QCoreApplication::translate("CUpgradeWorker", "名称会指向所在文件夹之外"));
            return false;
        }
    }
    // A name that would lead outside the folder refuses the whole folder
    // before anything of it is written.
    for (const QString &name : folders + files) {
        if (!isSafeEntryName(name)) {
            note(failures, join(source, name),
                QCoreApplication::translate("CUpgradeWorker", "名称会指向所在文件夹之外"));
            return false;
        }
    }

    bool ok = true;
    for (const QString &name : folders) {
        const QString targetFolder = join(target, name);
        QDir().mkpath(targetFolder);
        if (!copyFolder(join(source, name), targetFolder, overwrite, failures, copied, onCopied))
            ok = false;
    }
    if (!copyFolderFiles(source, target, files, overwrite, failures, copied, onCopied))
        ok = false;
    targetDir.refresh();
    if (!targetDir.exists()) {
        note(failures, target, QCoreApplication::translate("CUpgradeWorker", "无法创建文件夹"));
        return false;
    }
    return ok;
}

bool copyFolderList(const QString &sourceRoot, const QStringList &names, const QString &targetRoot,
    bool overwrite, Failures *failures, int *copied, const CopiedFile &onCopied)
{
    for (const QString &name : names) {
        if (!copyFolder(join(sourceRoot, name), join(targetRoot, name), overwrite, failures, copied,
                onCopied))
            return false;
    }
    return true;
}

QList<QFileInfo> findFilesNamed(const QString &folder, const QString &fileName)
{
    const QDir dir(folder);
    // A name without wildcard characters, given as a case-sensitive name
    // filter, lets the listing skip every other file early (no entry info, no
    // sorting); the comparison below still decides.
    const bool plainName = !fileName.contains(QLatin1Char('*'))
        && !fileName.contains(QLatin1Char('?')) && !fileName.contains(QLatin1Char('['));
    QList<QFileInfo> all = plainName
        ? dir.entryInfoList(QStringList(fileName),
            QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::CaseSensitive)
        : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    const QList<QFileInfo> folders = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &sub : folders)
        all += findFilesNamed(sub.absoluteFilePath(), fileName);

    QList<QFileInfo> found;
    for (const QFileInfo &info : qAsConst(all)) {
        if (info.fileName() == fileName)
            found.append(info);
    }
    return found;
}

QList<QFileInfo> listLeafEntries(const QString &folder)
{
    const QDir dir(folder);
    QList<QFileInfo> result
        = dir.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    const QList<QFileInfo> folders
        = dir.entryInfoList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo &sub : folders) {
        const QList<QFileInfo> nested = listLeafEntries(sub.absoluteFilePath());
        if (nested.isEmpty())
            result.append(sub);
        else
            result += nested;
    }
    return result;
}

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
    onThreads(threads, work);
    bool ok = true;
    for (int slot = 0; slot < threads; ++slot) {
        if (failures)
            *failures += found.at(slot);
        ok = ok && failed.at(slot) == 0;
    }
    return ok;
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

bool deleteFile(const QString &target, Failures *failures)
{
    const QFileInfo info(target);
    makeWritable(info, target);
    if (entryPresent(info))
        return removeFile(target, failures);
    return true;
}

bool holdsExactly(const QString &path, const QByteArray &bytes)
{
#ifdef Q_OS_UNIX
    const Descriptor in(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    return in.get() >= 0 && holdsExactly(in.get(), bytes.constData(), bytes.size());
#else
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll() == bytes;
#endif
}

} // namespace FileTree
