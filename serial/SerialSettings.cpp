#include "serial/SerialSettings.h"

#include <QStringList>

#include <algorithm>

QString SerialSettings::forRate(const QString &baudRate)
{
    return baudRate + QStringLiteral(",n,8,1");
}

std::optional<SerialSettings> SerialSettings::parse(const QString &text)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;

    SerialSettings settings;
    // The rate is digits only: no sign, no blanks (which toInt would allow).
    const bool digitsOnly = std::all_of(fields[0].cbegin(), fields[0].cend(),
                                        [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    bool ok = false;
    const int baud = fields[0].toInt(&ok);
    if (!digitsOnly || !ok || baud <= 0)
        return std::nullopt;
    settings.baudRate = baud;

    const QString parity = fields[1].toLower();
    if (parity == QLatin1String("n"))
        settings.parity = Parity::None;
    else if (parity == QLatin1String("e"))
        settings.parity = Parity::Even;
    else if (parity == QLatin1String("o"))
        settings.parity = Parity::Odd;
    else if (parity == QLatin1String("m"))
        settings.parity = Parity::Mark;
    else if (parity == QLatin1String("s"))
        settings.parity = Parity::Space;
    else
        return std::nullopt;

    if (fields[2] == QLatin1String("5"))
        settings.dataBits = 5;
    else if (fields[2] == QLatin1String("6"))
        settings.dataBits = 6;
    else if (fields[2] == QLatin1String("7"))
        settings.dataBits = 7;
    else if (fields[2] == QLatin1String("8"))
        settings.dataBits = 8;
    else
        return std::nullopt;

    if (fields[3] == QLatin1String("1"))
        settings.stopBits = StopBits::One;
    else if (fields[3] == QLatin1String("1.5"))
        settings.stopBits = StopBits::OneAndHalf;
    else if (fields[3] == QLatin1String("2"))
        settings.stopBits = StopBits::Two;
    else
        return std::nullopt;

    return settings;
}

qint64 SerialSettings::wireTimeMs(qint64 bytes) const
{
    // Start bit, data bits, parity bit, stop bits; a half stop bit rounds up.
    qint64 bitsPerByte = 1 + dataBits + (parity == Parity::None ? 0 : 1) + (stopBits == StopBits::One ? 1 : 2);
    return (bytes * bitsPerByte * 1000 + baudRate - 1) / baudRate;
}
