#pragma once

#include "engine/Attempt.h"

#include <QString>
#include <QStringList>

// The station's loop for one slot, as data: where the slot is, what happened,
// and what it does next. A slot waits for a device (probing its port with "!"
// at the five rates, starting at the rate the last device answered at),
// flashes it the moment it answers, then keeps asking at that device's rate
// until it is gone, so no device is flashed twice, and waits for the next.
//
// A device is taken as gone when two probes in a row get no answer, or when
// its port disappears (the adapter, or a device with its own USB serial chip,
// unplugged). An operator who swaps a device for the next one faster than
// those two probes (about two seconds) gives the slot no moment without an
// answer: the new device is taken for the old one and is not flashed until
// it has been taken away and put back.
//
// next() is pure; the Slot that owns the port and the clock carries out its
// actions and feeds back what they found.
namespace SlotLoop {

enum class State {
    Idle,             // not started
    WaitingForPort,   // the port is missing or cannot be opened; tried again every second
    WaitingForDevice, // probing the port; nothing answered yet
    Flashing,         // a device answered: the download, its verdict and the version query
    ShowingVerdict,   // the verdict stands until the device is gone
    Stopped,
};

enum class Event {
    Start,
    PortUnavailable, // the port could not be opened (missing, in use, no permission)
    NoAnswer,        // a probe round heard nothing, or nothing but "!"
    Answered,        // a device answered "!"
    AttemptEnded,    // the flash ended, with an outcome
    StillThere,      // the device answered the probe after its verdict
    Silent,          // the probe after the verdict heard nothing
    PortGone,        // the port disappeared while the verdict was shown
    Stop,
};

enum class Action {
    None,
    ProbeForDevice, // a round of the five rates, the last device's rate first
    RetryPortSoon,  // wait a second, then probe for a device again
    Flash,          // download to the device that answered, with the verdict
    ProbeAtRate,    // one probe at the device's rate: is it still there?
    Finish,         // close the port and end the loop
};

// How many probes in a row without an answer take a device as gone.
constexpr int SilentProbesForGone = 2;

struct Position
{
    State state = State::Idle;
    int silentProbes = 0; // in ShowingVerdict: probes in a row that heard nothing
    bool operator==(const Position &) const = default;
};

struct Step
{
    Position position;
    Action action = Action::None;
    bool deviceGone = false; // this step takes the device whose verdict was shown as gone
    bool operator==(const Step &) const = default;
};

Step next(Position at, Event event, AttemptOutcome outcome = AttemptOutcome::Passed);

// The rates a waiting slot tries, starting at `lastRate` (empty: in the
// probe's own order), then the others in the probe's order.
QStringList probeOrder(const QString &lastRate, const QStringList &rates);

QString stateName(State state);

} // namespace SlotLoop
