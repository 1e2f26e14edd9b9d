#include "serial/SerialControl.h"

#include "serial/PortResolver.h"
#include "base/EventPump.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

// How often a long text's progress is reported while it is on the wire.
constexpr int ProgressIntervalMs = 100;
} // namespace

SerialControl::SerialControl(const PortResolver &resolver, QObject *parent)
    : QObject(parent)
    , m_resolver(resolver)
    , m_line(SerialLine::create())
{
    connect(m_line.get(), &SerialLine::readyRead, this, &SerialControl::onReadyRead);
    connect(m_line.get(), &SerialLine::lost, this, [this] {
        if (m_line->isOpen() && !m_failure)
            recordFailure();
    });
}

SerialControl::~SerialControl() = default;

void SerialControl::setCommPort(qint16 number)
{
    m_commPort = number;
}

void SerialControl::setPortOpen(bool open)
{
    if (!open) {
        m_line->close();
        m_failure.reset();
        return;
    }

    if (PortOpen())
        throw Failure(SerialError::PortInUse, QStringLiteral("Port already open"));
    const QString path = m_resolver.resolve(m_commPort);
    if (path.isEmpty())
        throw SerialWords::invalidPortNumber();

    m_devicePath = path;
    m_failure.reset();
    m_line->open(path, m_settings);
}

void SerialControl::setSettings(const QString &settings)
{
    const std::optional<SerialSettings> parsed = SerialSettings::parse(settings);
    if (!parsed)
        throw Failure(FailureNumber::InvalidProperty, QStringLiteral("Invalid property value"));
    if (m_line->isOpen())
        requireUsable();
    m_settings = *parsed;
    m_settingsText = settings;
    if (m_line->isOpen())
        applySettings();
}

void SerialControl::applySettings()
{
    const QString reason = m_line->apply(m_settings);
    if (!reason.isEmpty()) {
        // The line went a moment ago and its event has not come yet.
        if (m_line->isGone()) {
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
    if (!m_line->isOpen())
        throw Failure(SerialError::PortNotOpen, QStringLiteral("Operation valid only when the port is open"));
}

void SerialControl::Output(const QByteArray &text)
{
    requireUsable();
    QElapsedTimer sinceStart;
    sinceStart.start();
    const qint64 wireTimeMs = m_settings.wireTimeMs(text.size());

    if (const QString reason = m_line->write(text); !reason.isEmpty()) {
        if (m_line->isGone()) {
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
    qint64 queued = m_line->bytesToWrite();
    while (m_line->bytesToWrite() > 0 || sinceStart.elapsed() < wireTimeMs) {
        if (m_line->bytesToWrite() == 0 && !wireTimeUp.isActive())
            wireTimeUp.start(static_cast<int>(std::max<qint64>(0, wireTimeMs - sinceStart.elapsed())));
        EventPump::waitAndProcess();
        if (m_failure)
            throw *m_failure;
        if (!m_line->isOpen())
            throw ExchangeInterrupted();

        const qint64 stillQueued = m_line->bytesToWrite();
        if (stillQueued < queued || stillQueued == 0) {
            queued = stillQueued;
            sinceLastByteLeft.restart();
        } else if (sinceLastByteLeft.elapsed() >= StallLimitMs) {
            // Nothing is going to take the rest: drop it so it does not reach
            // the device with the next command.
            m_line->discardOutput();
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
    const qint64 waiting = m_line->bytesAvailable();
    return static_cast<qint16>(std::min<qint64>(waiting, std::numeric_limits<qint16>::max()));
}

QByteArray SerialControl::Input()
{
    requireUsable();
    return m_line->readAll();
}

void SerialControl::setRThreshold(qint16 threshold)
{
    m_rThreshold = threshold;
    // Data that waited while events were off raises its event now, as data
    // arriving would.
    if (m_rThreshold > 0 && m_line->isOpen() && m_line->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &SerialControl::onReadyRead);
}

void SerialControl::raiseCommEvent(qint16 event)
{
    m_commEvent = event;
    emit OnComm();
}

void SerialControl::onReadyRead()
{
    if (m_rThreshold > 0 && m_line->isOpen() && m_line->bytesAvailable() > 0)
        raiseCommEvent(ReceiveEvent);
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
            if (m_failure)
                m_line->close();
        },
        Qt::QueuedConnection);
}
