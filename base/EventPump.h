#pragma once

#include <QCoreApplication>
#include <QEventLoop>

namespace EventPump {

// Handles every event waiting for this thread and returns when none is left.
inline void processPending()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // On Windows an event posted while the call runs (bytes from the serial
    // reader) can have its wake-up taken by the call and yet be left
    // unhandled. The next waitAndProcess would handle it at its start and
    // then sleep until the event after it: the wait that began with this
    // call would see the device's answer a tick late.
    QCoreApplication::sendPostedEvents();
}

// Sleeps until at least one event has arrived, then handles everything that
// is waiting. A running timer guarantees the wake-up.
inline void waitAndProcess()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    // On Windows the call that an event posted from another thread wakes (a
    // tick of the precise timer, bytes from the serial reader) returns before
    // handling that event: it would be handled by the next call, which then
    // sleeps until the event after it, so every wait saw its ticks one tick
    // late. Handling it here makes the wake-up's event count in this cycle.
    QCoreApplication::sendPostedEvents();
}

} // namespace EventPump
