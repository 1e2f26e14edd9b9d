#include "serial/PortResolver.h"

void FixedPortResolver::assign(qint16 number, const QString &path)
{
    m_paths.insert(number, path);
}

QString FixedPortResolver::resolve(qint16 number) const
{
    return m_paths.value(number);
}
