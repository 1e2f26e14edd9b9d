// Processor time of the cooperative wait: a 12-tick wait in which nothing
// arrives, against the same wait done as a literal busy loop.
//
// Prints one Markdown table row per figure: name | value | reference | ratio.

#include "engine/TickWait.h"
#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Bench;

namespace {

// CPU time over wall time while `body` runs, in percent of one core.
template <typename Body> double cpuShare(Body body)
{
    QElapsedTimer wall;
    const double cpuBefore = processCpuSeconds();
    wall.start();
    body();
    const double wallSeconds = wall.nsecsElapsed() / 1e9;
    return 100.0 * (processCpuSeconds() - cpuBefore) / wallSeconds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    QTimer timer;
    qint16 ticks = 0;
    TickWait::configureTimer(timer);
    QObject::connect(&timer, &QTimer::timeout, &application, [&ticks] { TickWait::addTick(ticks); });
    const QByteArray nothing;
    const std::atomic<bool> notInterrupted = false;

    std::vector<double> wait, busy;
    for (int i = 0; i < runs; ++i) {
        wait.push_back(cpuShare([&] { TickWait::wait(timer, ticks, nothing, 12, notInterrupted); }));
        busy.push_back(cpuShare([&] { busyWait(timer, ticks, nothing, 12); }));
    }
    const double w = median(wait);
    const double b = median(busy);
    std::printf("| CPU during a 12-tick wait, %% of one core (median of %d) | %.2f | busy loop: %.1f | %.3f |\n", runs,
                w, b, w / b);
    std::printf("| target | at most 2.00 | | |\n");
    // A figure over its target shows in the table; it must not stop the benchmarks after it.
    return 0;
}
