#include "engine/DeviceLink.h"

#include "base/Guard.h"
#include "engine/TickWait.h"

#include <QMetaObject>
#include <QScopeGuard>

namespace {

const QByteArray ProbeRequest = QByteArrayLiteral("!");
const QByteArray ProbeAnswer = QByteArrayLiteral("!");
const QString DownloadSettings = QStringLiteral("115200,n,8,1");

// Exchanges wait by handling their thread's events, so an event could start a
// second exchange on the same thread inside the first one's wait: both would
// drive the same port and counters from one stack. The windows make that
// impossible by disabling every control that starts one while one runs; this
// flag makes sure of it, for every thread on its own.
thread_local bool t_exchangeRunning = false;

class ExchangeScope
{
public:
    ExchangeScope()
    {
        if (t_exchangeRunning)
            throw Failure(FailureNumber::Internal, QStringLiteral("An exchange started inside another one"));
        t_exchangeRunning = true;
    }
    ~ExchangeScope() { t_exchangeRunning = false; }
    ExchangeScope(const ExchangeScope &) = delete;
    ExchangeScope &operator=(const ExchangeScope &) = delete;
};

} // namespace

const QStringList DeviceLink::ProbeRates = {QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("38400"),
                                            QStringLiteral("57600"), QStringLiteral("115200")};

bool DeviceLink::ProbeResult::answered() const
{
    return reply == ProbeAnswer && rateIndex >= 0;
}

QString DeviceLink::ProbeResult::rate() const
{
    return answered() ? lastRate : QString();
}

DeviceLink::DeviceLink(const PortResolver &resolver, QObject *parent)
    : QObject(parent)
    , m_serial(resolver)
{
    TickWait::configureTimer(m_timer);
    connect(&m_timer, &QTimer::timeout, this, [this] { guard([this] { Timer1_Timer(); }); });
    connect(&m_serial, &SerialControl::OnComm, this, [this] { guard([this] { MSComm1_OnComm(); }); });
    connect(&m_serial, &SerialControl::outputProgress, this, [this](qint64 sent, qint64 total) {
        if (m_sendingImage)
            emit imageProgress(sent, total);
    });
}

DeviceLink::~DeviceLink()
{
    m_serial.setPortOpen(false);
}

void DeviceLink::Timer1_Timer()
{
    TickWait::addTick(m_tickCount);
}

void DeviceLink::MSComm1_OnComm()
{
    if (m_collecting && m_serial.CommEvent() == SerialControl::ReceiveEvent)
        m_received.append(m_serial.Input());
}

void DeviceLink::wait(qint16 ticks)
{
    waitWatching(ticks, m_received);
}

void DeviceLink::waitWatching(qint16 ticks, const QByteArray &watched)
{
    // A pulled adapter ends the exchange where it is, not after its ticks.
    TickWait::wait(m_timer, m_tickCount, watched, ticks, m_stop, [this] { m_serial.throwIfFailed(); });
}

void DeviceLink::requestStop()
{
    m_stop = true;
    // Wakes this link's thread if it sleeps in a wait or a write, and closes
    // the port there, where the port lives.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_stop)
                m_serial.setPortOpen(false);
        },
        Qt::QueuedConnection);
}

void DeviceLink::open(qint16 portNumber)
{
    if (m_stop)
        throw ExchangeInterrupted();
    m_serial.setCommPort(portNumber);
    m_serial.setPortOpen(true);
}

void DeviceLink::close()
{
    m_serial.setPortOpen(false);
}

DeviceLink::ProbeResult DeviceLink::probe(qint16 portNumber, const QStringList &rates)
{
    ExchangeScope scope;
    ProbeResult result;
    open(portNumber);
    try {
        // Any byte received ends the stepping: the device answered at the
        // rate of the pass before, or something else is on the line.
        int pass = 0;
        while (m_serial.InBufferCount() == 0) {
            result.rateIndex = pass;
            result.lastRate = rates.at(pass);
            emit rateTried(pass, rates.at(pass));
            m_serial.setSettings(SerialSettings::forRate(rates.at(pass)));
            wait(1);
            m_serial.Output(ProbeRequest);
            wait(1);
            if (++pass == rates.size())
                break;
        }
        result.reply = m_serial.Input();
        m_received = result.reply;
    } catch (...) {
        m_serial.setPortOpen(false);
        throw;
    }
    m_serial.setPortOpen(false);
    return result;
}

QByteArray DeviceLink::download(const QString &rate, const QByteArray &image)
{
    ExchangeScope scope;
    emit stepReached(Step::SendingCommands);
    m_serial.setSettings(SerialSettings::forRate(rate));
    wait(1);
    m_serial.Output(QByteArrayLiteral("dl"));
    wait(1);
    // The device takes the image at 115200 baud whatever rate it answered at.
    m_serial.setSettings(DownloadSettings);
    wait(1);
    m_serial.Output(QByteArrayLiteral("e"));
    wait(2);
    // Whatever the device said to the commands is not its verdict on the image.
    m_received.clear();

    emit stepReached(Step::SendingImage);
    bool stalled = false;
    m_sendingImage = true;
    try {
        // Returns when the image has left the port, so the device's 12 ticks
        // to answer start at its last byte, however long the image is.
        m_serial.Output(image);
    } catch (const Failure &failure) {
        m_sendingImage = false;
        // A device with its own USB chip takes the image faster than the
        // wire's pace, answers and drops off the bus while the image is
        // still counted out here: what it said before its port went is its
        // verdict, as in the wait below.
        if (failure.number() == SerialError::PortFailed && !m_received.isEmpty()) {
            emit stepReached(Step::AwaitingVerdict);
            emit replyReceived(m_received);
            return m_received;
        }
        if (failure.number() != SerialError::WriteStalled)
            throw;
        stalled = true;
    } catch (...) {
        m_sendingImage = false;
        throw;
    }
    m_sendingImage = false;

    emit stepReached(Step::AwaitingVerdict);
    if (stalled) {
        // A device that stopped reading the image has not taken it, whatever
        // it said: no reply is the verdict.
        m_received.clear();
    } else {
        try {
            wait(12);
        } catch (const Failure &) {
            // What the device said first decides: one that refused the image
            // and then went (a device with its own USB chip resetting) has
            // refused it; only a device that said nothing lost its verdict
            // with its port.
            if (m_received.isEmpty())
                throw;
        }
    }
    emit replyReceived(m_received);
    return m_received;
}

std::optional<quint8> DeviceLink::queryVersion(const QString &rate)
{
    ExchangeScope scope;
    std::optional<quint8> version;
    // The answer is a byte, read here; it must not flow into received().
    m_serial.setInputMode(1);
    m_serial.setRThreshold(0);
    // Also when the port fails meanwhile: a link kept for the next device
    // must hear that device's answers again.
    const auto restoreReceiving = qScopeGuard([this] {
        m_serial.setInputMode(0);
        m_serial.setRThreshold(1);
    });
    // The query's waits run their whole tick: the device needs time to
    // answer, and nothing it said before the query is the answer.
    const QByteArray nothingWatched;
    // After a download the port is at 115200; the device answers at its own rate.
    m_serial.setSettings(SerialSettings::forRate(rate));
    waitWatching(1, nothingWatched);
    m_serial.Output(QByteArrayLiteral("r"));
    waitWatching(1, nothingWatched);
    if (m_serial.InBufferCount() == 0) {
        emit stepReached(Step::VersionNoAnswer);
    } else {
        const QByteArray answer = m_serial.Input();
        emit stepReached(Step::VersionAnswered);
        waitWatching(1, nothingWatched);
        version = static_cast<quint8>(answer.at(0));
    }
    return version;
}
