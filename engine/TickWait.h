#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <functional>

class QTimer;

// The tick timer and the cooperative wait that pace every serial exchange.
// Both windows use them with their own timer and their own watched reply.
namespace TickWait {

constexpr int TickIntervalMs = 500;

// The reply that ends a wait early, compared as a whole with the watched text.
inline const QByteArray EarlyEndReply = QByteArrayLiteral("OK!");

// Sets up a window's Timer1: a precise 500 ms period, stopped.
void configureTimer(QTimer &timer);

// One tick: tickCount + 1. Passing 32767 raises an overflow failure.
void addTick(qint16 &tickCount);

// Waits timeSpan ticks of `timer` (its handler counts them in `tickCount`),
// handling events meanwhile, and ends early in the cycle in which `watched`
// reads exactly "OK!". Afterwards tickCount is 0 and the timer stopped. When `interrupted` becomes true during the wait
// (the window was closed), throws ExchangeInterrupted. `afterEvents`, if
// given, runs after every cycle of events that did not end the wait with
// "OK!", and ends the wait by throwing (the port failed meanwhile): an "OK!"
// that came in the same cycle as a failure came before it.
void wait(QTimer &timer, qint16 &tickCount, const QByteArray &watched, qint16 timeSpan,
          const std::atomic<bool> &interrupted, const std::function<void()> &afterEvents = {});

} // namespace TickWait
