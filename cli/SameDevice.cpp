#include "cli/SameDevice.h"

#include "serial/PortResolver.h"

#include <utility>
#include <vector>

QString sameDeviceTwice(const QList<PortSpec> &ports, const PortResolver &numbers)
{
    std::vector<std::pair<QByteArray, qsizetype>> seen;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const PortSpec &port = ports.at(i);
        const QString path = port.number > 0 ? numbers.resolve(port.number) : port.path;
        const QByteArray id = path.isEmpty() ? QByteArray() : deviceIdentity(path);
        if (id.isEmpty())
            continue;
        for (const auto &[other, at] : seen) {
            if (other == id) {
                const PortSpec &first = ports.at(at);
                return QStringLiteral("ports %1 and %2 are the same device (%3): give it once")
                    .arg(first.label(), port.label(), path);
            }
        }
        seen.emplace_back(id, i);
    }
    return {};
}
