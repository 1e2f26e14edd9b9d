#pragma once

#include "base/Failure.h"
#include "serial/SerialSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

// One serial device of this system, opened exclusively: the part of the
// serial layer that differs between Linux and Windows. SerialControl keeps
// everything the windows see (the events, the waits, the failures); a line
// only moves bytes and says what the system says.
class SerialLine : public QObject
{
    Q_OBJECT

public:
    // This system's line.
    static std::unique_ptr<SerialLine> create();

    // Opens `path` for reading and writing, exclusively, with `settings`.
    // Throws the reason it cannot, in words the operator can act on.
    virtual void open(const QString &path, const SerialSettings &settings) = 0;
    // Closes the line; never fails. Bytes not yet sent are dropped.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Applies new settings to the open line: empty, or why it would not
    // take them.
    virtual QString apply(const SerialSettings &settings) = 0;
    // Queues every byte for sending and returns at once: empty, or why the
    // line refused them.
    virtual QString write(const QByteArray &bytes) = 0;
    // Bytes written but not yet taken by the system.
    virtual qint64 bytesToWrite() const = 0;
    // Drops what is still queued for sending.
    virtual void discardOutput() = 0;

    virtual qint64 bytesAvailable() const = 0;
    virtual QByteArray readAll() = 0;

    // Whether the system says the device behind the open line is gone (a
    // pulled adapter, a closed line), as opposed to a passing error.
    virtual bool isGone() const = 0;

signals:
    // Bytes arrived. Never emitted from inside a call on the line.
    void readyRead();
    // The system took more of the queued bytes.
    void bytesWritten();
    // The device behind the open line is gone.
    void lost();
};

// The words both systems' lines use for the same causes.
namespace SerialWords {
Failure invalidPortNumber();
Failure portInUse(const QString &path, const QString &reason);
Failure noPermission(const QString &path, const QString &reason);
Failure portGone(const QString &path, const QString &reason);
Failure notASerialPort(const QString &path, const QString &reason);
Failure couldNotOpen(const QString &path, const QString &reason);
} // namespace SerialWords
