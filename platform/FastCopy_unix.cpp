#include "FastCopy.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FastCopy {

namespace {

// The "user" bits say what the running user may do (for root nearly
// anything), not what the mode holds, so only owner, group and other count.
const QFileDevice::Permissions executeBits
    = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

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
        ::fchmod(out.get(), mode_t(mode)); // the result is ignored, as by makeAccessible
    if (!out.close() && error == 0)
        error = errno;
    return error;
}

// The mode makeAccessible gives: 0644 plus the execute bits kept; -1 for
// none asked.
int modeFor(const Access &access)
{
    if (!access)
        return -1;
    const QFileDevice::Permissions keep = *access;
    return 0644 | (keep & QFileDevice::ExeOwner ? 0100 : 0)
        | (keep & QFileDevice::ExeGroup ? 0010 : 0) | (keep & QFileDevice::ExeOther ? 0001 : 0);
}

// Creates target (by name in the folder dir, or by path with AT_FDCWD) and
// fills it from in, or from data when in is -1 (see fillTarget). NotTried
// when target can't be created.
Outcome fillNew(int dir, const QString &target, int in, const char *data, qint64 size,
    bool readBack, const Access &access, QString *reason)
{
    const QByteArray targetName = QFile::encodeName(target);
    Descriptor out(::openat(dir, targetName.constData(),
        (readBack ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.get() < 0)
        return Outcome::NotTried;
    const int error = fillTarget(out, in, data, size, readBack, modeFor(access));
    if (error == 0)
        return Outcome::Copied;
    if (reason && error != ReadBackDiffers)
        *reason = qt_error_string(error);
    // As QFile::copy: a copy that failed leaves nothing behind.
    ::unlinkat(dir, targetName.constData(), 0);
    return error == ReadBackDiffers ? Outcome::Differs : Outcome::Failed;
}

} // namespace

Outcome copyNew(const QString &source, const QString &target, const Access &access, qint64 *size,
    QString *reason)
{
    const Descriptor in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (in.get() < 0 || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Outcome::NotTried;
    *size = info.st_size;
    return fillNew(AT_FDCWD, target, in.get(), nullptr, info.st_size, false, access, reason);
}

Outcome writeNew(const QString &target, const char *data, qint64 size, bool readBack,
    const Access &access, QString *reason)
{
    return fillNew(AT_FDCWD, target, -1, data, size, readBack, access, reason);
}

Folder::Folder(const QString &path)
    : handle(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{ }

Folder::~Folder()
{
    if (handle >= 0)
        ::close(int(handle));
}

Outcome writeNewIn(const Folder &folder, const QString &name, const char *data, qint64 size,
    const Access &access, QString *reason)
{
    return fillNew(int(folder.native()), name, -1, data, size, false, access, reason);
}

bool holdsExactly(const QString &path, const QByteArray &bytes)
{
    const Descriptor in(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    return in.get() >= 0 && holdsExactly(in.get(), bytes.constData(), bytes.size());
}

void makeAccessible(const QString &path, QFileDevice::Permissions keepExecutable)
{
    QFile(path).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
        | QFileDevice::ReadOther | (keepExecutable & executeBits));
}

QFileDevice::Permissions executeBitsOf(const QFileInfo &installed)
{
    if (!installed.isFile())
        return QFileDevice::Permissions();
    return installed.permissions() & executeBits;
}

} // namespace FastCopy
