#include "serial/PortResolver.h"

DevicePortResolver::DevicePortResolver(QString root, QString sysfsRoot)
    : m_root(std::move(root))
    , m_sysfsRoot(std::move(sysfsRoot))
{}

void FixedPortResolver::assign(qint16 number, const QString &path)
{
    m_paths.insert(number, path);
}

QString FixedPortResolver::resolve(qint16 number) const
{
    return m_paths.value(number);
}
