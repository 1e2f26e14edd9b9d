#include "engine/Slot.h"

#include "serial/PortResolver.h"
#include "serial/SerialControl.h"

#include <QElapsedTimer>

using SlotLoop::Action;
using SlotLoop::Event;
using SlotLoop::State;

QString portTroubleWords(int number, const QString &description)
{
    switch (number) {
    case SerialError::InvalidPortNumber:
        return QStringLiteral("no such port");
    case SerialError::PortInUse:
        return QStringLiteral("port in use by another program");
    case SerialError::NoPermission:
        return QStringLiteral("no permission to open the port");
    case SerialError::NotASerialPort:
        return QStringLiteral("not a serial port");
    case SerialError::PortGone:
        return QStringLiteral("port there, device not");
    default:
        return description;
    }
}

Slot::Slot(Setup setup, Recorder recorder)
    : m_setup(std::move(setup))
    , m_recorder(std::move(recorder))
{}

void Slot::run()
{
    {
        DeviceLink link(*m_setup.resolver);
        attach(link);
        connect(&link, &DeviceLink::stepReached, this,
                [this](DeviceLink::Step step) { emit stepReached(m_setup.index, step); });
        connect(&link, &DeviceLink::imageProgress, this,
                [this](qint64 sent, qint64 total) { emit imageProgress(m_setup.index, sent, total); });
        feed(link, Event::Start);
        while (m_pending != Action::None && m_pending != Action::Finish) {
            if (stopRequested()) {
                feed(link, Event::Stop);
                break;
            }
            carryOut(link, m_pending);
        }
        link.close();
        detach();
    }
    setState(State::Stopped, {});
    emit finished(m_setup.index);
}

void Slot::feed(DeviceLink &link, Event event, AttemptOutcome outcome)
{
    Q_UNUSED(link);
    const SlotLoop::Step step = SlotLoop::next(m_position, event, outcome);
    const State before = m_position.state;
    m_position = step.position;
    m_pending = step.action;
    if (step.deviceGone)
        emit deviceGone(m_setup.index, m_lastEventPortGone);
    if (m_position.state != before || event == Event::Answered || event == Event::PortUnavailable) {
        QString detail;
        if (m_position.state == State::WaitingForPort)
            detail = m_waitWhy;
        else if (m_position.state == State::Flashing || m_position.state == State::ShowingVerdict)
            detail = m_rate;
        setState(m_position.state, detail);
    }
}

void Slot::setState(State state, const QString &detail)
{
    emit stateChanged(m_setup.index, state, detail);
}

void Slot::carryOut(DeviceLink &link, Action action)
{
    try {
        switch (action) {
        case Action::ProbeForDevice:
            probeForDevice(link);
            return;
        case Action::RetryPortSoon:
            // A missing port costs nothing while it is waited for: the wait
            // sleeps until its ticks come.
            link.wait(2);
            probeForDevice(link);
            return;
        case Action::Flash:
            flash(link);
            return;
        case Action::ProbeAtRate:
            probeAtRate(link);
            return;
        case Action::None:
        case Action::Finish:
            return;
        }
    } catch (const ExchangeInterrupted &) {
        link.close();
        if (stopRequested()) {
            feed(link, Event::Stop);
            return;
        }
        // A failure that reached the link's event boundary stopped the
        // exchange: the port is in trouble, the slot is not.
        const std::optional<Failure> failure = unhandledFailure();
        clearUnhandledFailure();
        link.clearStop();
        m_waitWhy = failure ? portTroubleWords(failure->number(), failure->description()) : QString();
        m_lastEventPortGone = true;
        feed(link, Event::PortUnavailable);
    }
}

// The probe's waits end early on a received "OK!", as every wait does; the
// last device's "OK!" must not cut the next probe's ticks short.
static DeviceLink::ProbeResult probeAfresh(DeviceLink &link, qint16 number, const QStringList &rates)
{
    link.received().clear();
    return link.probe(number, rates);
}

void Slot::probeForDevice(DeviceLink &link)
{
    DeviceLink::ProbeResult probe;
    try {
        probe = probeAfresh(link, m_setup.number, SlotLoop::probeOrder(m_rate, DeviceLink::ProbeRates));
    } catch (const Failure &failure) {
        m_waitWhy = portTroubleWords(failure.number(), failure.description());
        m_lastEventPortGone = true;
        feed(link, Event::PortUnavailable);
        return;
    }
    if (!probe.answered()) {
        feed(link, Event::NoAnswer);
        return;
    }
    m_rate = probe.rate();
    feed(link, Event::Answered);
}

void Slot::flash(DeviceLink &link)
{
    Attempt attempt;
    attempt.started = QDateTime::currentDateTime();
    attempt.rate = m_rate;
    attempt.devicePath = link.serial().devicePath();
    attempt.versionAsked = m_setup.check;
    QElapsedTimer clock;
    clock.start();
    std::optional<DeviceImages::ForDevice> own;
    if (m_setup.images) {
        // The device's number is recorded as taken before any byte of its
        // image leaves: no later failure can hand it to a second device.
        own = m_setup.images->take(&attempt.detail);
        if (own)
            attempt.number = own->number;
        else
            attempt.outcome = AttemptOutcome::NoNumber;
    }
    if (!m_setup.images || own) {
        flashAnsweredDevice(link, *this, m_setup.number, m_setup.numberedPort, own ? own->image : m_setup.image,
                            m_setup.check, attempt);
    }
    attempt.durationMs = clock.elapsed();
    if (attempt.outcome == AttemptOutcome::Interrupted && !stopRequested())
        attempt.outcome = AttemptOutcome::PortError;
    if (own)
        attempt.numberFate = m_setup.images->settle(*own, attempt);
    clearUnhandledFailure();
    link.clearStop();
    const QString logError = m_recorder ? m_recorder(attempt) : QString();
    emit attemptEnded(m_setup.index, attempt, logError);
    m_lastEventPortGone = true;
    feed(link, Event::AttemptEnded, attempt.outcome);
}

void Slot::probeAtRate(DeviceLink &link)
{
    DeviceLink::ProbeResult probe;
    try {
        probe = probeAfresh(link, m_setup.number, {m_rate});
    } catch (const Failure &failure) {
        m_waitWhy = portTroubleWords(failure.number(), failure.description());
        m_lastEventPortGone = true;
        feed(link, Event::PortGone);
        return;
    }
    m_lastEventPortGone = false;
    // Only "!" is a device waiting: anything else on the line (a device
    // running its new firmware, noise) is not this device asking again.
    feed(link, probe.answered() ? Event::StillThere : Event::Silent);
}
