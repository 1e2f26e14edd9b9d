// Port numbers on Linux and other Unix systems: device nodes under /dev.

#include "serial/PortResolver.h"

#include <QFile>
#include <QFileInfo>

QString DevicePortResolver::resolve(qint16 number) const
{
    if (number < 1)
        return {};
    struct Candidate
    {
        QString name;
        bool builtIn; // a ttyS node, there whether or not a UART is
    };
    const Candidate candidates[] = {
        {QStringLiteral("COM%1").arg(number), false},
        {QStringLiteral("ttyUSB%1").arg(number - 1), false},
        {QStringLiteral("ttyACM%1").arg(number - 1), false},
        {QStringLiteral("ttyS%1").arg(number - 1), true},
    };
    for (const Candidate &candidate : candidates) {
        const QString path = m_root + QLatin1Char('/') + candidate.name;
        if (!QFileInfo::exists(path))
            continue;
        if (candidate.builtIn && hasNoHardware(candidate.name))
            continue;
        return path;
    }
    return {};
}

bool DevicePortResolver::hasNoHardware(const QString &name) const
{
    // The kernel's serial core gives a port it found no UART for the type 0
    // ("unknown"): the node is there, but nothing can be read or written. A
    // node without a readable type (no sysfs, a driver that reports none)
    // still counts: opening it is what tells.
    QFile type(m_sysfsRoot + QLatin1Char('/') + name + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly))
        return false;
    bool isNumber = false;
    const int value = type.readAll().trimmed().toInt(&isNumber);
    return isNumber && value == 0;
}
