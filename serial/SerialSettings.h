#pragma once

#include <QString>

#include <optional>

// Line settings as the windows write them: "baud,parity,data,stop", for
// example "19200,n,8,1".
struct SerialSettings
{
    enum class Parity { None, Even, Odd, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    qint32 baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8; // 5 to 8
    StopBits stopBits = StopBits::One;

    // The settings string for a rate from the probe's list: "19200,n,8,1".
    static QString forRate(const QString &baudRate);
    // Parses a settings string; no value when it is not one the port can take.
    static std::optional<SerialSettings> parse(const QString &text);
    // The line's time for this many bytes, start and stop bits included.
    qint64 wireTimeMs(qint64 bytes) const;
};
