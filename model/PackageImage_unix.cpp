#include "PackageImage.h"

#include <QFile>

#include <atomic>
#include <vector>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RegularFile.h"

namespace {

// The mappings the SIGBUS handler may patch. A fixed table of atomics: the
// handler can neither lock nor allocate.
struct Slot
{
    std::atomic<uintptr_t> begin { 0 };
    std::atomic<uintptr_t> end { 0 };
    std::atomic<bool> faulted { false };
};
const int slotCount = 16;
Slot guarded[slotCount];
uintptr_t pageSize = 4096;
struct sigaction previousBus;

// A touch of a mapped page past the end of a file cut short: a page of zeros
// takes its place and the slot notes it. A fault anywhere else is none of
// ours: the previous disposition is put back and the access, repeated on
// return, faults again into it.
void onBus(int, siginfo_t *info, void *)
{
    const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
    for (Slot &slot : guarded) {
        if (at < slot.begin.load() || at >= slot.end.load())
            continue;
        void *page = reinterpret_cast<void *>(at & ~(pageSize - 1));
        if (::mmap(page, pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0)
            != MAP_FAILED) {
            slot.faulted = true;
            return;
        }
    }
    ::sigaction(SIGBUS, &previousBus, nullptr);
}

void installBusHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        pageSize = uintptr_t(::sysconf(_SC_PAGESIZE));
        struct sigaction action = {};
        action.sa_sigaction = onBus;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previousBus);
    });
}

Slot *takeSlot(const uchar *data, qint64 size)
{
    for (Slot &slot : guarded) {
        uintptr_t free = 0;
        if (slot.begin.compare_exchange_strong(free, reinterpret_cast<uintptr_t>(data))) {
            slot.faulted = false;
            slot.end = reinterpret_cast<uintptr_t>(data) + uintptr_t(size);
            return &slot;
        }
    }
    return nullptr;
}

} // namespace

struct PackageImage::Native
{
    QFile file;
    struct stat opened = {};
    Slot *slot = nullptr;
    std::vector<bool> pinned; // by page
};

PackageImage::PackageImage(const QString &path)
    : m_path(path)
{ }

PackageImage::~PackageImage()
{
    closeNative();
}

bool PackageImage::openNative(QString *reason)
{
    m_native.reset(new Native);
    if (RegularFile::openForReading(m_path, &m_native->file, reason) != RegularFile::Refusal::None)
        return false;
    if (::fstat(m_native->file.handle(), &m_native->opened) != 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    m_size = m_native->opened.st_size;
    if (m_size == 0)
        return true;
    installBusHandler();
    // Private and writable until sealed: a write pins a page (see pin()).
    void *mapped = ::mmap(
        nullptr, size_t(m_size), PROT_READ | PROT_WRITE, MAP_PRIVATE, m_native->file.handle(), 0);
    if (mapped == MAP_FAILED) {
        *reason = qt_error_string(errno);
        return false;
    }
    m_data = static_cast<const uchar *>(mapped);
    // Without a slot a cut-off page can't be patched: such a package is
    // refused rather than held unguarded.
    m_native->slot = takeSlot(m_data, m_size);
    if (!m_native->slot) {
        *reason = QStringLiteral("too many packages are open at once");
        return false;
    }
    m_native->pinned.assign(size_t((m_size + qint64(pageSize) - 1) / qint64(pageSize)), false);
    return true;
}

void PackageImage::pin(qint64 offset, qint64 size)
{
    if (!m_data || size <= 0 || offset < 0 || offset >= m_size)
        return;
    const qint64 page = qint64(pageSize);
    const qint64 last = (qMin(offset + size, m_size) - 1) / page;
    for (qint64 index = offset / page; index <= last; ++index) {
        if (m_native->pinned[size_t(index)])
            continue;
        // The write faults in a private copy of this page alone, holding the
        // page's bytes as the file has them; it writes back what is there.
        char byte = 0;
        if (::pread(m_native->file.handle(), &byte, 1, off_t(index * page)) != 1)
            return;
        *const_cast<volatile uchar *>(m_data + index * page) = uchar(byte);
        m_native->pinned[size_t(index)] = true;
    }
}

void PackageImage::seal()
{
    if (m_data)
        ::mprotect(const_cast<uchar *>(m_data), size_t(m_size), PROT_READ);
    m_native->pinned = std::vector<bool>();
}

void PackageImage::closeNative()
{
    if (!m_native)
        return;
    if (m_data)
        ::munmap(const_cast<uchar *>(m_data), size_t(m_size));
    if (m_native->slot) {
        m_native->slot->end = 0;
        m_native->slot->begin = 0;
    }
    m_data = nullptr;
    m_native.reset();
}

bool PackageImage::read(qint64 offset, char *buffer, qint64 size, QString *reason) const
{
    while (size > 0) {
        const ssize_t got = ::pread(m_native->file.handle(), buffer, size_t(size), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            *reason = got < 0 ? qt_error_string(errno)
                              : QStringLiteral("the package file ends before byte %1: it was cut "
                                               "short after it was loaded")
                                    .arg(offset + size);
            return false;
        }
        buffer += got;
        offset += got;
        size -= got;
    }
    return true;
}

bool PackageImage::changed() const
{
    struct stat now = {};
    if (!m_native || ::fstat(m_native->file.handle(), &now) != 0)
        return true;
    const struct stat &was = m_native->opened;
    return (m_native->slot && m_native->slot->faulted) || now.st_size != was.st_size
        || now.st_mtim.tv_sec != was.st_mtim.tv_sec || now.st_mtim.tv_nsec != was.st_mtim.tv_nsec;
}
