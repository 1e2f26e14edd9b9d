#include "cli/SameDevice.h"

#include "base/SystemPath.h"

#include <sys/stat.h>

// The device number of a device node (links and aliases lead to the same
// one), else the file itself.
QByteArray deviceIdentity(const QString &path)
{
    const SystemPath systemPath(path);
    struct stat status
    {
    };
    if (::stat(systemPath.name(), &status) != 0)
        return {};
    if (S_ISCHR(status.st_mode))
        return "device " + QByteArray::number(quint64(status.st_rdev));
    return "file " + QByteArray::number(quint64(status.st_dev)) + ' ' + QByteArray::number(quint64(status.st_ino));
}
