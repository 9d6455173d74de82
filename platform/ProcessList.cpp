#include "ProcessList.h"

#include <algorithm>

namespace ProcessList {

bool imagePath(qint64 pid, char16_t *buffer)
{
    buffer[0] = 0;
    QString path;
    if (!imagePath(pid, &path) || path.size() >= imagePathCapacity)
        return false;
    std::copy(path.utf16(), path.utf16() + path.size(), reinterpret_cast<ushort *>(buffer));
    buffer[path.size()] = 0;
    return true;
}

} // namespace ProcessList
