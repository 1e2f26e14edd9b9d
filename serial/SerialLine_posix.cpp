// The serial line on Linux and other Unix systems: QSerialPort, with the
// kernel asked directly where Qt folds several causes into one.

#include "serial/SerialLine.h"

#include "base/SystemPath.h"
#include "serial/SerialControl.h"

#include <QSerialPort>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QSerialPort::Parity qtParity(SerialSettings::Parity parity)
{
    switch (parity) {
    case SerialSettings::Parity::None:
        return QSerialPort::NoParity;
    case SerialSettings::Parity::Even:
        return QSerialPort::EvenParity;
    case SerialSettings::Parity::Odd:
        return QSerialPort::OddParity;
    case SerialSettings::Parity::Mark:
        return QSerialPort::MarkParity;
    case SerialSettings::Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits qtStopBits(SerialSettings::StopBits stopBits)
{
    switch (stopBits) {
    case SerialSettings::StopBits::One:
        return QSerialPort::OneStop;
    case SerialSettings::StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case SerialSettings::StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

class PosixSerialLine final : public SerialLine
{
public:
    PosixSerialLine()
    {
        connect(&m_port, &QSerialPort::readyRead, this, &SerialLine::readyRead);
        connect(&m_port, &QSerialPort::bytesWritten, this, &SerialLine::bytesWritten);
        connect(&m_port, &QSerialPort::errorOccurred, this, &PosixSerialLine::onError);
    }

    void open(const QString &path, const SerialSettings &settings) override
    {
        SystemPath systemPath(path);
        // Only a character device can be a serial port; anything else is
        // refused before it is opened (opening a FIFO could wait for a
        // writer).
        struct stat status
        {
        };
        if (::stat(systemPath.name(), &status) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                throw SerialWords::invalidPortNumber();
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
        apply(settings);
        // QSerialPort takes the port exclusively: an exclusive-use flag on the
        // device and a lock file that also stops a second opener running as
        // root.
        if (!m_port.open(QIODevice::ReadWrite))
            throwOpenFailure(path);
        // The lock file is only as good as every program's respect for it,
        // and root ignores the exclusive-use flag: a lock on the open device
        // itself holds against every other opener that asks, root or not. A
        // device whose driver takes no such lock is used as Qt's lock file
        // allows; only another holder refuses it.
        if (::flock(m_port.handle(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            const int error = errno;
            close();
            throw SerialWords::portInUse(path, systemText(error));
        }
        // Everything the device sends is kept until it is read.
        m_port.setReadBufferSize(0);
    }

    void close() override
    {
        if (m_port.isOpen())
            m_port.close();
        m_port.clearError();
    }

    bool isOpen() const override { return m_port.isOpen(); }

    QString apply(const SerialSettings &settings) override
    {
        const bool ok = m_port.setBaudRate(settings.baudRate) && m_port.setParity(qtParity(settings.parity))
                        && m_port.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits))
                        && m_port.setStopBits(qtStopBits(settings.stopBits));
        if (ok)
            return {};
        const QString reason = m_port.errorString();
        m_port.clearError();
        return reason;
    }

    QString write(const QByteArray &bytes) override
    {
        if (m_port.write(bytes) == bytes.size())
            return {};
        const QString reason = m_port.errorString();
        m_port.clearError();
        return reason;
    }

    qint64 bytesToWrite() const override { return m_port.bytesToWrite(); }
    void discardOutput() override { m_port.clear(QSerialPort::Output); }
    qint64 bytesAvailable() const override { return m_port.bytesAvailable(); }
    QByteArray readAll() override { return m_port.readAll(); }

    // The kernel answers every terminal request on a hung-up tty (a pulled
    // adapter, a closed line) with an error.
    bool isGone() const override
    {
        termios settings{};
        return ::tcgetattr(m_port.handle(), &settings) != 0 && (errno == EIO || errno == ENXIO || errno == ENODEV);
    }

private:
    void onError(QSerialPort::SerialPortError error)
    {
        const bool failed =
            error == QSerialPort::ResourceError || error == QSerialPort::ReadError || error == QSerialPort::WriteError;
        if (!failed || !m_port.isOpen())
            return;
        // Only the kernel's word makes a lost port. A read that found nothing
        // is how a live line answers a spurious wake-up: Qt reports it as a
        // ReadError when the read returned nothing, and as a ResourceError
        // when it said EAGAIN (a line with a minimum count, another reader
        // that took the bytes first), and after the latter it stops reading
        // until it is asked for more. A live line is cleared and read on.
        if ((error == QSerialPort::ReadError || error == QSerialPort::ResourceError) && !isGone()) {
            m_port.clearError();
            // Asks Qt to start reading again (its read notifier is switched
            // back on whenever the buffer's size is set).
            if (error == QSerialPort::ResourceError)
                m_port.setReadBufferSize(0);
            return;
        }
        emit lost();
    }

    // Why QSerialPort could not open `path`, in words the operator can act
    // on. Qt folds several causes into one error, so the system is asked
    // again: a plain open without the terminal's set-up tells what the
    // device says.
    [[noreturn]] void throwOpenFailure(const QString &path)
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
        const QString reason = cause != 0 ? systemText(cause) : qtReason;

        switch (cause) {
        case ENOENT:
        case ENODEV:
            throw SerialWords::invalidPortNumber();
        case EACCES:
        case EPERM:
            throw SerialWords::noPermission(path, reason);
        case EIO:
        case ENXIO:
            throw SerialWords::portGone(path, reason);
        case ENOTTY:
            throw SerialWords::notASerialPort(path, reason);
        case EBUSY:
        case 0:
            // Opened by itself, the device is fine: what failed is the lock
            // file or the exclusive use another program holds.
            if (cause == EBUSY || error == QSerialPort::PermissionError)
                throw SerialWords::portInUse(path, reason);
            break;
        default:
            break;
        }
        throw SerialWords::couldNotOpen(path, reason);
    }

    QSerialPort m_port;
};

} // namespace

std::unique_ptr<SerialLine> SerialLine::create()
{
    return std::make_unique<PosixSerialLine>();
}
