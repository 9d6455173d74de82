#include "PackageImage.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <mutex>
#include <vector>

#include "RegularFile.h"

namespace {

// The images loaded in this process, for holding().
std::mutex registryLock;
std::vector<std::weak_ptr<PackageImage>> &registry()
{
    static std::vector<std::weak_ptr<PackageImage>> images;
    return images;
}

} // namespace

std::shared_ptr<PackageImage> PackageImage::open(const QString &path, QString *reason)
{
    std::shared_ptr<PackageImage> image(new PackageImage(path));
    if (!image->openNative(reason))
        return nullptr;
    const std::lock_guard<std::mutex> locked(registryLock);
    auto &images = registry();
    images.erase(std::remove_if(images.begin(), images.end(),
                     [](const std::weak_ptr<PackageImage> &held) { return held.expired(); }),
        images.end());
    images.push_back(image);
    return image;
}

std::shared_ptr<PackageImage> PackageImage::holding(const void *address, qint64 *offset)
{
    const auto *at = static_cast<const uchar *>(address);
    const std::lock_guard<std::mutex> locked(registryLock);
    for (const std::weak_ptr<PackageImage> &held : registry()) {
        std::shared_ptr<PackageImage> image = held.lock();
        if (image && image->m_data && at >= image->m_data && at < image->m_data + image->m_size) {
            *offset = at - image->m_data;
            return image;
        }
    }
    return nullptr;
}

void PackageImage::setMapRoot(const QString &root)
{
    const std::lock_guard<std::mutex> locked(registryLock);
    m_mapRoot = root;
}

std::shared_ptr<PackageImage> PackageImage::registeredAt(const QString &mapRoot)
{
    const std::lock_guard<std::mutex> locked(registryLock);
    for (const std::weak_ptr<PackageImage> &held : registry()) {
        std::shared_ptr<PackageImage> image = held.lock();
        if (image && !image->m_mapRoot.isNull() && image->m_mapRoot == mapRoot)
            return image;
    }
    return nullptr;
}

PackageImage::Copy PackageImage::copyTo(qint64 offset, qint64 size, const QString &target,
    const std::function<void(const char *data, qint64 size)> &onBlock, QString *reason) const
{
    QFile out;
    if (RegularFile::createForWriting(target, QIODevice::WriteOnly, &out, reason)
        != RegularFile::Creation::Created)
        return Copy::NotCreated;
    const qint64 blockSize = qint64(4) << 20;
    QByteArray block(int(qMin(size, blockSize)), Qt::Uninitialized);
    bool ok = true;
    for (qint64 done = 0; ok && done < size;) {
        const qint64 part = qMin(size - done, blockSize);
        ok = read(offset + done, block.data(), part, reason);
        if (ok && out.write(block.constData(), part) != part) {
            *reason = out.errorString();
            ok = false;
        }
        if (ok && onBlock)
            onBlock(block.constData(), part);
        done += part;
    }
    if (ok && !out.flush()) {
        *reason = out.errorString();
        ok = false;
    }
    out.close();
    if (!ok) {
        QFile::remove(target);
        return Copy::Failed;
    }
    return Copy::Copied;
}
