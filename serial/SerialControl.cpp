#include "serial/SerialControl.h"

#include "serial/PortResolver.h"
#include "base/EventPump.h"
#include "base/SystemPath.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

Failure portInUse(const QString &path, const QString &reason)
{
    return Failure(SerialError::PortInUse,
                   QStringLiteral("The port %1 is in use by another program. Close that program, then try again. (%2)")
                       .arg(path, reason));
}

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
        m_port.clearError();
        m_failure.reset();
        return;
    }

    if (PortOpen())
        throw Failure(SerialError::PortInUse, QStringLiteral("Port already open"));
    const QString path = m_resolver.resolve(m_commPort);
    if (path.isEmpty())
        throw Failure(SerialError::InvalidPortNumber, QStringLiteral("Invalid port number"));

    m_devicePath = path;
    m_failure.reset();
    SystemPath systemPath(path);
    // Only a character device can be a serial port; anything else is refused
    // before it is opened (opening a FIFO could wait for a writer).
    struct stat status
    {
    };
    if (::stat(systemPath.name(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw Failure(SerialError::InvalidPortNumber, QStringLiteral("Invalid port number"));
        throwOpenFailure(path);
    }
    if (!S_ISCHR(status.st_mode)) {
        const QString what = S_ISDIR(status.st_mode)    ? QStringLiteral("a folder")
                             : S_ISFIFO(status.st_mode) ? QStringLiteral("a FIFO (a named pipe)")
                             : S_ISREG(status.st_mode)  ? QStringLiteral("a regular file")
                             : S_ISSOCK(status.st_mode) ? QStringLiteral("a socket")
                                                        : QStringLiteral("a block device");
        throw Failure(SerialError::NotASerialPort,
                      QStringLiteral("%1 is not a serial port: it is %2.").arg(path, what));
    }

    m_port.setPortName(systemPath.qtName());
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    applySettings();
    // QSerialPort takes the port exclusively: an exclusive-use flag on the
    // device and a lock file that also stops a second opener running as root.
    if (!m_port.open(QIODevice::ReadWrite))
        throwOpenFailure(path);
    // The lock file is only as good as every program's respect for it, and
    // root ignores the exclusive-use flag: a lock on the open device itself
    // holds against every other opener that asks, root or not.
    // A device whose driver takes no such lock is used as Qt's lock file
    // allows; only another holder refuses it.
    if (::flock(m_port.handle(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        const int error = errno;
        m_port.close();
        m_port.clearError();
        throw portInUse(path, QString::fromLocal8Bit(std::strerror(error)));
    }
    // Everything the device sends is kept until it is read.
    m_port.setReadBufferSize(0);
}

// Why QSerialPort could not open `path`, in words the operator can act on. Qt
// folds several causes into one error, so the system is asked again: a plain
// open without the terminal's set-up tells what the device says.
void SerialControl::throwOpenFailure(const QString &path)
{
    const QSerialPort::SerialPortError error = m_port.error();
    const QString qtReason = m_port.errorString();
    m_port.clearError();

    const SystemPath systemPath(path);
    int cause = 0;
    const int probe = ::open(systemPath.name(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
        cause = errno;
    } else {
        if (!::isatty(probe))
            cause = ENOTTY;
        ::close(probe);
    }
    const QString systemText = cause != 0 ? QString::fromLocal8Bit(std::strerror(cause)) : qtReason;

    switch (cause) {
    case ENOENT:
    case ENODEV:
        throw Failure(SerialError::InvalidPortNumber, QStringLiteral("Invalid port number"));
    case EACCES:
    case EPERM:
        throw Failure(SerialError::NoPermission,
                      QStringLiteral("You may not open the port %1. Ask for your user to be added to "
                                     "the group \"dialout\", log in again, then try again. (%2)")
                          .arg(path, systemText));
    case EIO:
    case ENXIO:
        throw Failure(SerialError::PortGone,
                      QStringLiteral("The port %1 is there, but its device is not: was the adapter pulled? "
                                     "Plug it in again, then try again. (%2)")
                          .arg(path, systemText));
    case ENOTTY:
        throw Failure(SerialError::NotASerialPort,
                      QStringLiteral("%1 is not a serial port. (%2)").arg(path, systemText));
    case EBUSY:
    case 0:
        // Opened by itself, the device is fine: what failed is the lock file
        // or the exclusive use another program holds.
        if (cause == EBUSY || error == QSerialPort::PermissionError) {
            throw portInUse(path, systemText);
        }
        break;
    default:
        break;
    }
    throw Failure(SerialError::PortGone, QStringLiteral("The port %1 could not be opened. (%2)").arg(path, systemText));
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
        // The line went a moment ago and its event has not come yet.
        if (lineIsGone()) {
            recordFailure();
            throw *m_failure;
        }
        throw Failure(SerialError::SettingsRefused,
                      QStringLiteral("The port would not take the settings %1 (%2)").arg(m_settingsText, reason));
    }
}

void SerialControl::throwIfFailed() const
{
    if (m_failure)
        throw *m_failure;
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
        if (lineIsGone()) {
            recordFailure();
            throw *m_failure;
        }
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
    const bool portFailed =
        error == QSerialPort::ResourceError || error == QSerialPort::ReadError || error == QSerialPort::WriteError;
    if (!portFailed || !m_port.isOpen() || m_failure)
        return;
    // A read that found nothing is how some kernels answer a spurious wake-up
    // on a line with no minimum count; only a line that is really gone fails.
    if (error == QSerialPort::ReadError && !lineIsGone()) {
        m_port.clearError();
        return;
    }
    recordFailure();
}

void SerialControl::recordFailure()
{
    if (!m_failure) {
        m_failure.emplace(
            SerialError::PortFailed,
            QStringLiteral("The port %1 failed while in use: is the device still connected?").arg(m_devicePath));
    }
    // A hung-up tty reads as ready for ever: watching it would keep a
    // processor busy until the next operation. Let the descriptor go once Qt
    // has finished with this notification; the failure stays for that
    // operation, and closing the port ends it.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_failure && m_port.isOpen()) {
                m_port.close();
                m_port.clearError();
            }
        },
        Qt::QueuedConnection);
}

// The kernel answers every terminal request on a hung-up tty (a pulled
// adapter, a closed line) with an error.
bool SerialControl::lineIsGone() const
{
    termios settings{};
    return ::tcgetattr(m_port.handle(), &settings) != 0 && (errno == EIO || errno == ENXIO || errno == ENODEV);
}
