#include "engine/SlotLoop.h"

namespace SlotLoop {

namespace {

Step to(State state, Action action, bool deviceGone = false)
{
    return Step{Position{state, 0}, action, deviceGone};
}

// Whether the port failing under the flash means the device went with it:
// then the slot waits for the port (and the next device) again.
bool portWentAway(AttemptOutcome outcome)
{
    return outcome == AttemptOutcome::PortLost || outcome == AttemptOutcome::PortUnavailable;
}

} // namespace

Step next(Position at, Event event, AttemptOutcome outcome)
{
    if (event == Event::Stop)
        return to(State::Stopped, at.state == State::Stopped ? Action::None : Action::Finish);

    switch (at.state) {
    case State::Idle:
        if (event == Event::Start)
            return to(State::WaitingForDevice, Action::ProbeForDevice);
        break;
    case State::WaitingForPort:
    case State::WaitingForDevice:
        switch (event) {
        case Event::PortUnavailable:
            return to(State::WaitingForPort, Action::RetryPortSoon);
        case Event::NoAnswer:
            return to(State::WaitingForDevice, Action::ProbeForDevice);
        case Event::Answered:
            return to(State::Flashing, Action::Flash);
        default:
            break;
        }
        break;
    case State::Flashing:
        if (event == Event::AttemptEnded) {
            if (outcome == AttemptOutcome::Interrupted)
                return to(State::Stopped, Action::Finish);
            // A port that went with the device leaves nothing to watch: the
            // device is gone, and the slot waits for the port to come back.
            if (portWentAway(outcome))
                return to(State::WaitingForDevice, Action::ProbeForDevice, true);
            return to(State::ShowingVerdict, Action::ProbeAtRate);
        }
        break;
    case State::ShowingVerdict:
        switch (event) {
        case Event::StillThere:
            return to(State::ShowingVerdict, Action::ProbeAtRate);
        case Event::Silent:
            if (at.silentProbes + 1 >= SilentProbesForGone)
                return to(State::WaitingForDevice, Action::ProbeForDevice, true);
            return Step{Position{State::ShowingVerdict, at.silentProbes + 1}, Action::ProbeAtRate, false};
        case Event::PortGone:
        case Event::PortUnavailable:
            return to(State::WaitingForDevice, Action::ProbeForDevice, true);
        default:
            break;
        }
        break;
    case State::Stopped:
        return to(State::Stopped, Action::None);
    }
    // An event the state does not expect changes nothing: the slot goes on
    // with what it was doing.
    return Step{at, Action::None, false};
}

QStringList probeOrder(const QString &lastRate, const QStringList &rates)
{
    if (!rates.contains(lastRate))
        return rates;
    QStringList order{lastRate};
    for (const QString &rate : rates) {
        if (rate != lastRate)
            order.append(rate);
    }
    return order;
}

QString stateName(State state)
{
    switch (state) {
    case State::Idle:
        return QStringLiteral("idle");
    case State::WaitingForPort:
        return QStringLiteral("waiting for the port");
    case State::WaitingForDevice:
        return QStringLiteral("waiting for a device");
    case State::Flashing:
        return QStringLiteral("flashing");
    case State::ShowingVerdict:
        return QStringLiteral("remove the device");
    case State::Stopped:
        return QStringLiteral("stopped");
    }
    return {};
}

} // namespace SlotLoop
