#include "serial/SerialControl.h"

#include "serial/PortResolver.h"
#include "base/EventPump.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace {
// How often a long text's progress is reported while it is on the wire.
constexpr int ProgressIntervalMs = 100;
} // namespace

SerialControl::SerialControl(const PortResolver &resolver, QObject *parent)
    : QObject(parent)
    , m_resolver(resolver)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialControl::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialControl::onError);
}

void SerialControl::setCommPort(qint16 number)
{
    m_commPort = number;
}

void SerialControl::setPortOpen(bool open)
{
    if (!open) {
        if (m_port.isOpen())
            m_port.close();
        m_failure.reset();
        return;
    }

    if (m_port.isOpen())
        throw Failure(SerialError::PortInUse, QStringLiteral("Port already open"));
    const QString path = m_resolver.resolve(m_commPort);
    if (path.isEmpty())
        throw Failure(SerialError::InvalidPortNumber, QStringLiteral("Invalid port number"));

    m_devicePath = path;
    m_port.setPortName(path);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    applySettings();
    m_failure.reset();
    // QSerialPort takes the port exclusively: an exclusive-use flag on the
    // device and a lock file that also stops a second opener running as root.
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port.error();
        const QString reason = m_port.errorString();
        m_port.clearError();
        if (error == QSerialPort::DeviceNotFoundError)
            throw Failure(SerialError::InvalidPortNumber, QStringLiteral("Invalid port number"));
        // QSerialPort gives one error for a device the user may not open and
        // one another program holds; the device's own access bits tell them
        // apart.
        if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0 && errno == EACCES) {
            throw Failure(SerialError::NoPermission,
                          QStringLiteral("You may not open the port %1. Ask for your user to be added to "
                                         "the group \"dialout\", log in again, then try again.")
                              .arg(path));
        }
        throw Failure(SerialError::PortInUse,
                      QStringLiteral("The port %1 is in use by another program. Close that program, "
                                     "then try again. (%2)")
                          .arg(path, reason));
    }
    // Everything the device sends is kept until it is read.
    m_port.setReadBufferSize(0);
}

void SerialControl::setSettings(const QString &settings)
{
    const std::optional<SerialSettings> parsed = SerialSettings::parse(settings);
    if (!parsed)
        throw Failure(FailureNumber::InvalidProperty, QStringLiteral("Invalid property value"));
    if (m_port.isOpen())
        requireUsable();
    m_settings = *parsed;
    m_settingsText = settings;
    if (m_port.isOpen())
        applySettings();
}

void SerialControl::applySettings()
{
    const bool ok = m_port.setBaudRate(m_settings.baudRate) && m_port.setParity(m_settings.parity)
        && m_port.setDataBits(m_settings.dataBits) && m_port.setStopBits(m_settings.stopBits);
    if (!ok && m_port.isOpen()) {
        const QString reason = m_port.errorString();
        m_port.clearError();
        throw Failure(SerialError::SettingsRefused,
                      QStringLiteral("The port would not take the settings %1 (%2)")
                          .arg(m_settingsText, reason));
    }
}

void SerialControl::requireUsable()
{
    if (m_failure)
        throw *m_failure;
    if (!m_port.isOpen())
        throw Failure(SerialError::PortNotOpen, QStringLiteral("Operation valid only when the port is open"));
}

void SerialControl::Output(const QByteArray &text)
{
    requireUsable();
    QElapsedTimer sinceStart;
    sinceStart.start();
    const qint64 wireTimeMs = m_settings.wireTimeMs(text.size());

    if (m_port.write(text) != text.size()) {
        const QString reason = m_port.errorString();
        m_port.clearError();
        throw Failure(SerialError::WriteFailed, QStringLiteral("The port refused the text (%1)").arg(reason));
    }

    const qint64 total = text.size();
    qint64 reported = -1;
    const auto report = [&](qint64 sent) {
        if (sent != reported) {
            reported = sent;
            emit outputProgress(sent, total);
        }
    };
    report(0);

    // Wakes the loop below when the wire time is up, even if nothing else happens.
    QTimer wireTimeUp;
    wireTimeUp.setSingleShot(true);
    wireTimeUp.setTimerType(Qt::PreciseTimer);
    // Wakes it for the progress and for the stall check of a line that has
    // stopped taking bytes, which raises no event at all. Short texts end
    // before it first fires.
    QTimer progressTick;
    progressTick.start(ProgressIntervalMs);

    QElapsedTimer sinceLastByteLeft;
    sinceLastByteLeft.start();
    qint64 queued = m_port.bytesToWrite();
    while (m_port.bytesToWrite() > 0 || sinceStart.elapsed() < wireTimeMs) {
        if (m_port.bytesToWrite() == 0 && !wireTimeUp.isActive())
            wireTimeUp.start(static_cast<int>(std::max<qint64>(0, wireTimeMs - sinceStart.elapsed())));
        EventPump::waitAndProcess();
        if (m_failure)
            throw *m_failure;
        if (!m_port.isOpen())
            throw ExchangeInterrupted();

        const qint64 stillQueued = m_port.bytesToWrite();
        if (stillQueued < queued || stillQueued == 0) {
            queued = stillQueued;
            sinceLastByteLeft.restart();
        } else if (sinceLastByteLeft.elapsed() >= StallLimitMs) {
            // Nothing is going to take the rest: drop it so it does not reach
            // the device with the next command.
            m_port.clear(QSerialPort::Output);
            throw Failure(SerialError::WriteStalled,
                          QStringLiteral("The port %1 stopped taking bytes: %2 of %3 were not sent")
                              .arg(m_devicePath)
                              .arg(stillQueued)
                              .arg(total));
        }
        // What the system has taken is on its way; the wire time says how much
        // of it has really gone.
        const qint64 handedOver = total - stillQueued;
        const qint64 byWireTime = wireTimeMs > 0 ? total * sinceStart.elapsed() / wireTimeMs : total;
        report(std::min(handedOver, byWireTime));
    }
    report(total);
}

qint16 SerialControl::InBufferCount()
{
    requireUsable();
    const qint64 waiting = m_port.bytesAvailable();
    return static_cast<qint16>(std::min<qint64>(waiting, std::numeric_limits<qint16>::max()));
}

QByteArray SerialControl::Input()
{
    requireUsable();
    return m_port.readAll();
}

void SerialControl::setRThreshold(qint16 threshold)
{
    m_rThreshold = threshold;
    // Data that waited while events were off raises its event now, as data
    // arriving would.
    if (m_rThreshold > 0 && m_port.isOpen() && m_port.bytesAvailable() > 0)
        QTimer::singleShot(0, this, &SerialControl::onReadyRead);
}

void SerialControl::raiseCommEvent(qint16 event)
{
    m_commEvent = event;
    emit OnComm();
}

void SerialControl::onReadyRead()
{
    if (m_rThreshold > 0 && m_port.isOpen() && m_port.bytesAvailable() > 0)
        raiseCommEvent(ReceiveEvent);
}

void SerialControl::onError(QSerialPort::SerialPortError error)
{
    const bool portFailed = error == QSerialPort::ResourceError || error == QSerialPort::ReadError
        || error == QSerialPort::WriteError;
    if (portFailed && m_port.isOpen() && !m_failure) {
        m_failure.emplace(SerialError::PortFailed,
                          QStringLiteral("The port %1 failed while in use: is the device still connected?")
                              .arg(m_devicePath));
    }
}
