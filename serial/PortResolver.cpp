#include "serial/PortResolver.h"

#include <QFileInfo>

DevicePortResolver::DevicePortResolver(QString root)
    : m_root(std::move(root))
{
}

QString DevicePortResolver::resolve(qint16 number) const
{
    if (number < 1)
        return {};
    const QString candidates[] = {
        QStringLiteral("COM%1").arg(number),
        QStringLiteral("ttyUSB%1").arg(number - 1),
        QStringLiteral("ttyACM%1").arg(number - 1),
        QStringLiteral("ttyS%1").arg(number - 1),
    };
    for (const QString &name : candidates) {
        const QString path = m_root + QLatin1Char('/') + name;
        if (QFileInfo::exists(path))
            return path;
    }
    return {};
}

void FixedPortResolver::assign(qint16 number, const QString &path)
{
    m_paths.insert(number, path);
}

QString FixedPortResolver::resolve(qint16 number) const
{
    return m_paths.value(number);
}
