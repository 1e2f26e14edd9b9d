#include "engine/TickWait.h"

#include "base/Failure.h"
#include "base/EventPump.h"

#include <QTimer>

#include <limits>

namespace TickWait {

namespace {

qint16 checkedIncrement(qint16 value)
{
    if (value == std::numeric_limits<qint16>::max())
        throw Failure(FailureNumber::Overflow, QStringLiteral("Overflow"));
    return static_cast<qint16>(value + 1);
}

// Ends the wait the same way whether it runs out, ends early or is left by a
// failure: counter back to 0 and the timer off.
struct WaitEnd
{
    QTimer &timer;
    qint16 &tickCount;
    ~WaitEnd()
    {
        tickCount = 0;
        timer.stop();
    }
};

} // namespace

void configureTimer(QTimer &timer)
{
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(TickIntervalMs);
    timer.setSingleShot(false);
    timer.stop();
}

void addTick(qint16 &tickCount)
{
    tickCount = checkedIncrement(tickCount);
}

void wait(QTimer &timer, qint16 &tickCount, const QByteArray &watched, qint16 timeSpan,
          const std::atomic<bool> &interrupted, const std::function<void()> &afterEvents)
{
    // The timer's period starts now, so the first tick comes 500 ms later.
    timer.start();
    WaitEnd end{timer, tickCount};

    qint16 ticks = tickCount;
    bool firstCycle = true;
    while (ticks < timeSpan) {
        // The first cycle must not block: a reply that is already there ends
        // the wait at once. Afterwards the watched text and the counter can
        // only change inside event processing, and the running timer wakes us
        // at least every tick, so sleeping until the next event loses nothing.
        if (firstCycle)
            EventPump::processPending();
        else
            EventPump::waitAndProcess();
        firstCycle = false;

        if (interrupted)
            throw ExchangeInterrupted();
        // What the device said first decides. One cycle can bring both its
        // "OK!" and the port's failure, and the answer came before the loss
        // (a device with its own USB serial chip answers and drops off the
        // bus to restart into its new firmware): the wait ends on the
        // answer, and the failure is left for the next use of the port.
        if (watched == EarlyEndReply) {
            tickCount = checkedIncrement(timeSpan);
            ticks = tickCount;
            continue;
        }
        if (afterEvents)
            afterEvents();
        ticks = tickCount;
    }
}

} // namespace TickWait
