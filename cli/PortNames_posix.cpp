#include "cli/PortNames.h"

namespace PortNames {

bool isDeviceName(const QString &value)
{
    return value.startsWith(u'/');
}

QString openableName(const QString &value)
{
    return value;
}

QString deviceNameWords()
{
    return QStringLiteral("a device path such as /dev/ttyUSB0");
}

QString stopWords()
{
    return QStringLiteral("SIGINT, SIGTERM or SIGHUP");
}

} // namespace PortNames
