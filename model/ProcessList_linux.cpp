#include "ProcessList.h"

// Placeholder until the /proc reader lands.
namespace ProcessList {

bool snapshot(QList<ProcessEntry> *processes)
{
    processes->clear();
    return false;
}

bool imagePath(qint64, QString *path)
{
    path->clear();
    return false;
}

} // namespace ProcessList
