#include "base/SystemError.h"

#include <cstring>

QString systemErrorText(qint64 error)
{
    return QString::fromLocal8Bit(std::strerror(int(error)));
}
