#include "PackageImage.h"

#include <algorithm>
#include <mutex>
#include <vector>

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
