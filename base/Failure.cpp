#include "base/Failure.h"

Failure::Failure(int number, const QString &description)
    : std::runtime_error(QStringLiteral("%1: %2").arg(number).arg(description).toStdString())
    , m_number(number)
    , m_description(description)
{
}
