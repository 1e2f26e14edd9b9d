#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

// Line settings as the windows write them: "baud,parity,data,stop", for
// example "19200,n,8,1".
struct SerialSettings
{
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    // The settings string for a rate from the probe's list: "19200,n,8,1".
    static QString forRate(const QString &baudRate);
    // Parses a settings string; no value when it is not one the port can take.
    static std::optional<SerialSettings> parse(const QString &text);
    // The line's time for this many bytes, start and stop bits included.
    qint64 wireTimeMs(qint64 bytes) const;
};
