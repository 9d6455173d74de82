#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

// The package file while it is loaded: held open (on Windows with no one
// else allowed to write to it), mapped read-only whole for Qt's resource
// engine, which touches only the pages it is asked for (the tree, the names,
// the small files the window reads), and read by ranges for the big reads,
// the checks and the staging copy, which so never take the package into the
// program's memory.
//
// A page of a file mapping that is touched may bring in far more than itself:
// a recent Linux maps the whole large folio of the page cache around it
// (2 MB and more after a sequential read). So on Linux the pages Qt will read
// (the header, the tree, the names, each file's size field, the small and
// the compressed files) are pinned while the file is opened: copied once
// into pages of the program's own, by a write to a private mapping, which
// never maps more than that page. The mapping is then made read-only.
//
// On Linux anyone with the right to may still change the file or cut it
// short while it is held. A page of the mapping beyond the new end would
// raise SIGBUS on its first touch: a handler maps a page of zeros there
// instead and notes it (changed()), so the program carries on, and the
// per-file digests, which no longer match, refuse the package. The ranges
// read by read() never fault: a file cut short gives fewer bytes.
class PackageImage
{
public:
    PackageImage(const PackageImage &) = delete;
    PackageImage &operator=(const PackageImage &) = delete;
    ~PackageImage();

    // Opens and maps the regular file path; nullptr with *reason (English)
    // when it can't.
    static std::shared_ptr<PackageImage> open(const QString &path, QString *reason);

    // The mapping (nullptr for an empty file) and the size that was mapped.
    const uchar *data() const { return m_data; }
    qint64 size() const { return m_size; }
    QString path() const { return m_path; }

    // Copies the pages of [offset, offset + size) into the program's own
    // memory, before anything reads them (see above); a no-op on Windows.
    void pin(qint64 offset, qint64 size);
    // Ends the pinning: the mapping becomes read-only.
    void seal();

    // Reads size bytes at offset into buffer; false with *reason (English)
    // when the file can't be read or holds fewer bytes now.
    bool read(qint64 offset, char *buffer, qint64 size, QString *reason) const;

    enum class Copy {
        Copied,
        NotCreated, // target could not be made new (something is there, no folder, ...)
        Failed // read or write failed: nothing is left at target
    };
    // Writes the bytes [offset, offset + size) of the file, by ranges, into
    // target, created new and never through a link (RegularFile); each block
    // is given to onBlock, when set, as it is written. The bytes never pass
    // through the mapping, so a file cut short since it was opened fails the
    // copy instead of faulting. *reason (English) when it isn't Copied.
    Copy copyTo(qint64 offset, qint64 size, const QString &target,
        const std::function<void(const char *data, qint64 size)> &onBlock, QString *reason) const;

    // Whether the file is no longer the one mapped: written to, longer or
    // shorter since it was opened, or a page of the mapping was found cut off.
    bool changed() const;

    // Where the image is registered as a resource tree (its map root), set
    // by the one who registers it; none (a null string) once unregistered.
    void setMapRoot(const QString &root);
    // The image registered under mapRoot; nullptr when none is.
    static std::shared_ptr<PackageImage> registeredAt(const QString &mapRoot);

    // The loaded image whose mapping holds address, with address's offset in
    // it; nullptr when none does.
    static std::shared_ptr<PackageImage> holding(const void *address, qint64 *offset);

private:
    struct Native;
    explicit PackageImage(const QString &path);
    bool openNative(QString *reason);
    void closeNative();

    QString m_path;
    QString m_mapRoot;
    const uchar *m_data = nullptr;
    qint64 m_size = 0;
    std::unique_ptr<Native> m_native;
};
