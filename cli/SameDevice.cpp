#include "cli/SameDevice.h"

#include "base/SystemPath.h"
#include "serial/PortResolver.h"

#include <sys/stat.h>

#include <optional>
#include <utility>
#include <vector>

namespace {

// What identifies the file a name leads to: the device number of a device
// node, else the file itself.
std::optional<std::pair<quint64, quint64>> identity(const QString &path)
{
    const SystemPath systemPath(path);
    struct stat status
    {
    };
    if (path.isEmpty() || ::stat(systemPath.name(), &status) != 0)
        return std::nullopt;
    if (S_ISCHR(status.st_mode))
        return std::pair<quint64, quint64>{0, quint64(status.st_rdev)};
    return std::pair<quint64, quint64>{quint64(status.st_dev) + 1, quint64(status.st_ino)};
}

} // namespace

QString sameDeviceTwice(const QList<PortSpec> &ports, const PortResolver &numbers)
{
    std::vector<std::pair<std::pair<quint64, quint64>, qsizetype>> seen;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const PortSpec &port = ports.at(i);
        const QString path = port.number > 0 ? numbers.resolve(port.number) : port.path;
        const auto id = identity(path);
        if (!id)
            continue;
        for (const auto &[other, at] : seen) {
            if (other == *id) {
                const PortSpec &first = ports.at(at);
                return QStringLiteral("ports %1 and %2 are the same device (%3): give it once")
                    .arg(first.label(), port.label(), path);
            }
        }
        seen.emplace_back(*id, i);
    }
    return {};
}
