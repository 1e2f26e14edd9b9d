// Processor time of the cooperative wait: a 12-tick wait in which nothing
// arrives, against the same wait done as a literal busy loop.
//
// Prints one Markdown table row per figure: name | value | reference | ratio.

#include "app/Module1.h"
#include "app/TickWait.h"
#include "ui/EventPump.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time over wall time while `body` runs, in percent of one core.
template <typename Body>
double cpuShare(Body body)
{
    QElapsedTimer wall;
    const double cpuBefore = processCpuSeconds();
    wall.start();
    body();
    const double wallSeconds = wall.nsecsElapsed() / 1e9;
    return 100.0 * (processCpuSeconds() - cpuBefore) / wallSeconds;
}

// The wait as written in the old design: test, process events, test again,
// never sleeping.
void busyWait(QTimer &timer, const QByteArray &watched, qint16 timeSpan)
{
    timer.start();
    while (Module1::TickCount < timeSpan) {
        EventPump::processPending();
        if (watched == TickWait::EarlyEndReply)
            break;
    }
    Module1::TickCount = 0;
    timer.stop();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    QTimer timer;
    TickWait::configureTimer(timer);
    QObject::connect(&timer, &QTimer::timeout, &application, [] { TickWait::addTick(); });
    const QByteArray nothing;
    const bool notInterrupted = false;

    std::vector<double> wait, busy;
    for (int i = 0; i < runs; ++i) {
        wait.push_back(cpuShare([&] { TickWait::wait(timer, nothing, 12, notInterrupted); }));
        busy.push_back(cpuShare([&] { busyWait(timer, nothing, 12); }));
    }
    const double w = median(wait);
    const double b = median(busy);
    std::printf("| CPU during a 12-tick wait, %% of one core (median of %d) | %.2f | busy loop: %.1f | %.3f |\n",
                runs, w, b, w / b);
    std::printf("| target | at most 2.00 | | |\n");
    return w <= 2.0 ? 0 : 1;
}
