#pragma once

#include <QByteArray>
#include <QtGlobal>

class QTimer;

// The tick timer and the cooperative wait that pace every serial exchange.
// Both windows use them with their own timer and their own watched reply.
namespace TickWait {

constexpr int TickIntervalMs = 500;

// The reply that ends a wait early, compared as a whole with the watched text.
inline const QByteArray EarlyEndReply = QByteArrayLiteral("OK!");

// Sets up a window's Timer1: a precise 500 ms period, stopped.
void configureTimer(QTimer &timer);

// One tick: TickCount + 1. Passing 32767 raises an overflow failure.
void addTick();

// Waits timeSpan ticks of `timer`, handling events meanwhile, and ends early
// in the cycle in which `watched` reads exactly "OK!". Afterwards TickCount
// is 0 and the timer stopped. When `interrupted` becomes true during the wait
// (the window was closed), throws ExchangeInterrupted.
void wait(QTimer &timer, const QByteArray &watched, qint16 timeSpan, const bool &interrupted);

} // namespace TickWait
