#pragma once

#include <QCoreApplication>
#include <QEventLoop>

namespace EventPump {

// Handles every event waiting for this thread and returns when none is left.
inline void processPending()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Sleeps until at least one event has arrived, then handles everything that
// is waiting. A running timer guarantees the wake-up.
inline void waitAndProcess()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace EventPump
