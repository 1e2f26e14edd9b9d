// The station's figures: `tarvik-downloader station` as a process of its own,
// without a display, against simulated fixtures in this process (a port under
// a stable name where devices come and go by a schedule; each visit's record
// says when its device arrived, answered, heard "dl", gave its verdict and
// left). Prints Markdown table rows: figure | value | reference | ratio.
//
//   tarvik-bench-station [--quick] found FIRMWARE
//       a device's first answer to the first "dl", at the rate of the device
//       before it and at another rate
//   tarvik-bench-station [--quick] throughput FIRMWARE...
//       devices per hour on one slot, the fixture swapping at once, against
//       the floor
//   tarvik-bench-station [--quick] cpu FIRMWARE
//       the processor share of the whole program, 16 slots waiting with no
//       device and 16 slots showing a verdict
//   tarvik-bench-station shift FIRMWARE DEVICES_PER_SLOT [SLOTS]
//       a shift of devices with a mix of faults (bench_station_shift.cpp)
//
// --quick: a few devices and one short window each, to try the benchmark.

#include "BenchSupport.h"
#include "bench_station.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <random>

using namespace StationBench;
using namespace std::chrono_literals;

namespace {

bool quick = false;

// The device answers every command this late, as the simulated fixture's
// devices do by default.
constexpr int DeviceLatencyMs = 20;
constexpr double TickMs = 500;

QString logBesideBenchmark()
{
    // On the checkout's disk, not in /tmp (perhaps a tmpfs, where a flush
    // costs nothing): the station writes its log as it would at a fixture.
    const QString log = QCoreApplication::applicationDirPath() + QStringLiteral("/bench-station-production.csv");
    QFile::remove(log);
    return log;
}

QString seconds(double ms, int decimals = 2)
{
    return Bench::fixed(ms / 1000.0, decimals);
}

double maxOf(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// From a device's first answer to "dl": a slot that has just flashed a device
// at one rate meets devices at that rate and at others. Each device goes
// silent at its verdict (it restarts into its new firmware) and leaves; the
// next arrives 2 s to 7 s later, at a random point of the slot's probing.
void found(const QString &firmware)
{
    const QList<int> rates{38400, 115200, 19200, 57600, 9600};
    const int pairs = quick ? 2 : 6;
    std::mt19937 random(24);
    std::uniform_int_distribution<int> extraGapMs(0, 5000);
    FixtureSchedule plan;
    auto visitAt = [&](int rate) {
        FixtureVisit visit;
        visit.rate = rate;
        visit.latencyMs = DeviceLatencyMs;
        visit.after = FixtureVisit::After::Reset;
        visit.stayFromVerdict = true;
        visit.stay = 0ms;
        visit.gap = std::chrono::milliseconds(2000 + extraGapMs(random));
        plan.visits.append(visit);
    };
    // The first device teaches the slot its rate; then pairs at one rate: the
    // first of a pair at a rate the slot has not just seen, the second at the
    // rate it has.
    visitAt(9600);
    for (int pair = 0; pair < pairs; ++pair) {
        visitAt(rates.at(pair % rates.size()));
        visitAt(rates.at(pair % rates.size()));
    }

    Fixtures fixtures({plan});
    StationProcess station(fixtures.links(), firmware, logBesideBenchmark());
    const bool ended = runUntil([&fixtures] { return fixtures.allFinished(); }, 30s * plan.visits.size());
    station.stop();
    if (!ended)
        std::fprintf(stderr, "bench station: the fixture did not run to its end\n");

    std::vector<double> known, unknown, knownFromArrival, unknownFromArrival;
    int missed = 0;
    const QList<Fixture::Record> records = fixtures.at(0).records();
    for (qsizetype i = 1; i < records.size(); ++i) {
        const Fixture::Record &record = records.at(i);
        if (!record.firstAnswerAt || !record.commandsAt || !record.arrivedAt) {
            ++missed;
            continue;
        }
        const bool atKnownRate = record.visit.rate == records.at(i - 1).visit.rate;
        const double answerToDl = msBetween(*record.firstAnswerAt, *record.commandsAt);
        const double arrivalToDl = msBetween(*record.arrivedAt, *record.commandsAt);
        (atKnownRate ? known : unknown).push_back(answerToDl);
        (atKnownRate ? knownFromArrival : unknownFromArrival).push_back(arrivalToDl);
    }
    const QString missedWords = missed ? QStringLiteral("; %1 devices never reached \"dl\"").arg(missed) : QString();
    const double knownMs = Bench::median(known);
    const double unknownMs = Bench::median(unknown);
    Bench::row(QStringLiteral("Station: a device's first answer to \"dl\", at the rate of the device before it, s "
                              "(median of %1, longest %2%3)")
                   .arg(known.size())
                   .arg(seconds(maxOf(known)))
                   .arg(missedWords),
               seconds(knownMs), QStringLiteral("target: 1.1"), Bench::fixed(knownMs / 1100.0, 3));
    Bench::row(QStringLiteral("Station: a device's first answer to \"dl\", at another rate, s (median of %1, longest "
                              "%2)")
                   .arg(unknown.size())
                   .arg(seconds(maxOf(unknown))),
               seconds(unknownMs), QStringLiteral("target: one probe round, 5"), Bench::fixed(unknownMs / 5000.0, 3));
    Bench::row(QStringLiteral("Station: a device's arrival to \"dl\", at the rate of the device before it, s (median "
                              "of %1, longest %2; arrivals at random points of the probing)")
                   .arg(knownFromArrival.size())
                   .arg(seconds(maxOf(knownFromArrival))),
               seconds(Bench::median(knownFromArrival)), QString(), QString());
    Bench::row(QStringLiteral("Station: a device's arrival to \"dl\", at another rate, s (median of %1, longest %2)")
                   .arg(unknownFromArrival.size())
                   .arg(seconds(maxOf(unknownFromArrival))),
               seconds(Bench::median(unknownFromArrival)), QString(), QString());
}

// Devices per hour on one slot, the fixture swapping at once: each device
// goes silent at its verdict (it restarts into its new firmware) and is taken
// away at that moment; the next arrives 2 s later, after the second probe
// that sees the slot empty has gone out and before the first probe of the
// next wait (see docs/performance.md for the floor and the timing).
void throughput(const QString &firmware)
{
    const int rate = 9600;
    const int devices = quick ? 4 : 12;
    const FixtureSchedule plan =
        schedule(QStringLiteral("rate=%1 latency=%2 after=reset stay=verdict+0 gap=2\nrepeat=%3")
                     .arg(rate)
                     .arg(DeviceLatencyMs)
                     .arg(devices));
    Fixtures fixtures({plan});
    StationProcess station(fixtures.links(), firmware, logBesideBenchmark());
    const bool ended = runUntil([&fixtures] { return fixtures.allFinished(); }, 30s * devices);
    station.stop();
    if (!ended)
        std::fprintf(stderr, "bench station: the fixture did not run to its end\n");

    const QList<Fixture::Record> records = fixtures.at(0).records();
    int flashedOnce = 0;
    std::vector<double> cycles;
    qsizetype imageBytes = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const Fixture::Record &record = records.at(i);
        if (record.imagesReceived == 1 && record.answeredOk == 1)
            ++flashedOnce;
        if (!record.images.isEmpty())
            imageBytes = record.images.first().size();
        if (i > 0 && record.verdictAt && records.at(i - 1).verdictAt)
            cycles.push_back(msBetween(*records.at(i - 1).verdictAt, *record.verdictAt));
    }
    // What one device must take on this slot: the probe that finds it (two
    // ticks and "!"), the commands (five ticks, "dl" at its rate and "e" at
    // 115200), the image at 115200, the device's latency to its verdict, and
    // the two probes that see it gone (two ticks and "!" each).
    const double floorMs = 11 * TickMs + 3 * Bench::wireMs(1, rate) + Bench::wireMs(2, rate) + Bench::wireMs(1, 115200)
                           + Bench::wireMs(imageBytes, 115200) + DeviceLatencyMs;
    const double cycleMs = Bench::median(cycles);
    const double perHour = cycleMs > 0 ? 3600000.0 / cycleMs : 0;
    const double floorPerHour = 3600000.0 / floorMs;
    Bench::row(QStringLiteral("Station: devices per hour on one slot, %1-byte image at 115200 baud, swapped at once "
                              "(verdict to verdict, median of %2; %3 of %4 devices flashed once)")
                   .arg(imageBytes)
                   .arg(cycles.size())
                   .arg(flashedOnce)
                   .arg(records.size()),
               Bench::fixed(perHour, 1),
               QStringLiteral("floor: %1 (%2 s a device)").arg(Bench::fixed(floorPerHour, 1), seconds(floorMs, 3)),
               Bench::fixed(perHour / floorPerHour, 4));
}

double cpuShareOver(qint64 pid, std::chrono::milliseconds window)
{
    const double cpuBefore = cpuSeconds(pid);
    const Clock::time_point start = Clock::now();
    runFor(window);
    const double cpuAfter = cpuSeconds(pid);
    return 100.0 * (cpuAfter - cpuBefore) * 1000.0 / msBetween(start, Clock::now());
}

// The processor share of the whole station, its start behind it: user and
// system time of the process (all its threads, from /proc) over the wall time
// of each window.
void cpu(const QString &firmware)
{
    constexpr int slotCount = 16;
    const int windows = quick ? 1 : 5;
    const std::chrono::milliseconds window = quick ? 5s : 10s;
    struct Case
    {
        QString name;
        QString visit;
        bool waitForVerdicts;
    };
    const QList<Case> cases{
        {QStringLiteral("16 slots waiting, no device answering (a silent line on each port)"),
         QStringLiteral("reply=silent stay=3600"), false},
        {QStringLiteral("16 slots showing a verdict, each device still answering \"!\""),
         QStringLiteral("rate=9600 after=keep stay=3600"), true},
    };
    for (const Case &scenario : cases) {
        const std::vector<FixtureSchedule> plans(slotCount, schedule(scenario.visit));
        Fixtures fixtures(plans);
        StationProcess station(fixtures.links(), firmware, logBesideBenchmark());
        bool ready = true;
        if (scenario.waitForVerdicts) {
            ready = runUntil(
                [&fixtures] {
                    for (size_t i = 0; i < fixtures.size(); ++i) {
                        if (!fixtures.at(i).record(0).verdictAt)
                            return false;
                    }
                    return true;
                },
                90s);
        }
        // Past the start (and the flash): the slots are in their steady loop.
        runFor(3s);
        std::vector<double> shares;
        for (int i = 0; i < windows; ++i)
            shares.push_back(cpuShareOver(station.pid(), window));
        station.stop();
        const double share = Bench::median(shares);
        Bench::row(QStringLiteral("Station: CPU of the whole program, %1, % of one core (median of %2 windows of %3 "
                                  "s%4)")
                       .arg(scenario.name)
                       .arg(windows)
                       .arg(window.count() / 1000)
                       .arg(ready ? QString() : QStringLiteral("; not every device was flashed")),
                   Bench::fixed(share, 2), QStringLiteral("target: 2"), Bench::fixed(share / 2.0, 3));
    }
}

int usage()
{
    std::fputs("usage: tarvik-bench-station [--quick] found FIRMWARE\n"
               "       tarvik-bench-station [--quick] throughput FIRMWARE...\n"
               "       tarvik-bench-station [--quick] cpu FIRMWARE\n"
               "       tarvik-bench-station shift FIRMWARE DEVICES_PER_SLOT [SLOTS]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (!arguments.isEmpty() && arguments.first() == QStringLiteral("--quick")) {
        quick = true;
        arguments.removeFirst();
    }
    if (arguments.size() < 2)
        return usage();
    const QString what = arguments.at(0);
    if (what == QStringLiteral("found")) {
        found(arguments.at(1));
    } else if (what == QStringLiteral("throughput")) {
        for (const QString &firmware : arguments.mid(1))
            throughput(firmware);
    } else if (what == QStringLiteral("cpu")) {
        cpu(arguments.at(1));
    } else if (what == QStringLiteral("shift") && arguments.size() >= 3) {
        const int slotCount = arguments.size() > 3 ? arguments.at(3).toInt() : 8;
        const QString log = logBesideBenchmark();
        const int status = runShift(arguments.at(1), arguments.at(2).toInt(), slotCount, log);
        QFile::remove(log);
        return status;
    } else {
        return usage();
    }
    QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/bench-station-production.csv"));
    return 0;
}
