#include "cli/PortNames.h"

#include <QRegularExpression>

#include <optional>

namespace PortNames {

namespace {

const QString DeviceNamespace = QStringLiteral("\\\\.\\");

// COM<n> with n from 1 to 256, the most Windows numbers, any case, with or
// without the prefix and the colon; a leading zero names no port.
const QRegularExpression &comName()
{
    static const QRegularExpression pattern(QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM([1-9][0-9]{0,2}):?$"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

std::optional<int> comNumber(const QString &value)
{
    const QRegularExpressionMatch match = comName().match(value);
    if (!match.hasMatch())
        return std::nullopt;
    const int number = match.captured(1).toInt();
    if (number > 256)
        return std::nullopt;
    return number;
}

} // namespace

bool isDeviceName(const QString &value)
{
    if (comNumber(value))
        return true;
    return value.startsWith(DeviceNamespace) && value.size() > DeviceNamespace.size();
}

QString openableName(const QString &value)
{
    if (const std::optional<int> number = comNumber(value))
        return DeviceNamespace + QStringLiteral("COM%1").arg(*number);
    return value;
}

QString deviceNameWords()
{
    return QStringLiteral("a port name such as COM17");
}

QString stopWords()
{
    return QStringLiteral("Ctrl+C, Ctrl+Break or the console closed");
}

} // namespace PortNames
