// Port numbers on Windows: number n is COM<n>. Whether it exists is for the
// open to tell, as the system answers it (COM ports above 9 need the device
// namespace prefix, so every number gets it).

#include "serial/PortResolver.h"

QString DevicePortResolver::resolve(qint16 number) const
{
    if (number < 1)
        return {};
    return QStringLiteral("\\\\.\\COM%1").arg(number);
}
