// A shift: several slots, each with a long run of devices from its fixture at
// 115200 baud, good ones among faults (a device that refuses the image, one
// that never answers, an adapter pulled during the image, devices with their
// own USB serial chip, devices that keep answering after their verdict and
// devices that restart at once). The station runs as a process of its own
// with a production log; afterwards every log line is matched to the visit it
// belongs to by its time, and the counts the station printed when it was
// stopped are compared with the log. Its resident memory and open descriptors
// are sampled every two seconds from /proc.

#include "BenchSupport.h"
#include "bench_station.h"

#include <QDateTime>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace std::chrono_literals;

namespace StationBench {

namespace {

// One round of the mix; each slot starts it at a different visit, so the
// faults of the slots do not line up. Every device leaves so that the slot
// sees it gone before the next arrives (the two-probe rule): a device that
// stays after its verdict leaves halfway between two probes, and the next
// comes 2 s later. The operator goes by the verdict the station shows: after
// "OK!" at once, after any other answer only when the twelve ticks of the
// verdict wait have run out, 6 s after the image.
const QStringList Mix{
    QStringLiteral("rate=115200 after=keep stay=verdict+1 gap=2"),               // good, still answering
    QStringLiteral("rate=115200 after=reset stay=verdict+0 gap=2"),              // good, restarts at once
    QStringLiteral("rate=115200 reply=refuse after=keep stay=verdict+7 gap=2"),  // refuses the image
    QStringLiteral("rate=115200 usb after=keep stay=verdict+1 gap=2"),           // its own USB chip
    QStringLiteral("rate=115200 reply=silent stay=verdict+3 gap=2"),             // never answers
    QStringLiteral("rate=115200 pull gap=2"),                                    // adapter pulled in the image
    QStringLiteral("rate=115200 after=reset stay=verdict+0 gap=2"),              // good, restarts at once
    QStringLiteral("rate=115200 usb after=reset stay=verdict+0 gap=2"),          // own chip, restarts
    QStringLiteral("rate=115200 reply=refuse after=reset stay=verdict+6 gap=2"), // refuses, restarts
    QStringLiteral("rate=115200 after=keep stay=verdict+1 gap=2"),               // good, still answering
};

// The result a visit's log line must carry; empty: it must have none (a
// device that never answers "!" is never found, so nothing touched it).
QString expectedResult(const FixtureVisit &visit)
{
    if (visit.reply == FixtureVisit::Reply::Silent)
        return {};
    if (visit.pull)
        return QStringLiteral("port-lost");
    if (visit.reply == FixtureVisit::Reply::Refuse)
        return QStringLiteral("fail");
    return QStringLiteral("pass");
}

QStringList csvFields(const QByteArray &line)
{
    QStringList fields;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line.at(i);
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line.at(i + 1) == '"') {
                field += u'"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += QChar::fromLatin1(c);
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.append(field);
            field.clear();
        } else {
            field += QChar::fromLatin1(c);
        }
    }
    fields.append(field);
    return fields;
}

struct LogLine
{
    QString port;
    Clock::time_point started;
    QString result;
    QString reply;
};

struct Sample
{
    double seconds = 0;
    int devices = 0; // verdicts printed so far
    qint64 residentKiB = 0;
    int descriptors = 0;
};

// Least-squares slope of y over x.
double slope(const std::vector<std::pair<double, double>> &points)
{
    if (points.size() < 2)
        return 0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto &[x, y] : points) {
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double n = double(points.size());
    const double d = n * sxx - sx * sx;
    return d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

void addTo(PrintedCounts &counts, const LogLine &line)
{
    if (line.result == QStringLiteral("pass"))
        ++counts.passed;
    else if (line.result == QStringLiteral("fail"))
        ++(line.reply.isEmpty() ? counts.noAnswer : counts.refused);
    else if (line.result == QStringLiteral("port-lost") || line.result == QStringLiteral("port-unavailable"))
        ++counts.portLost;
    else if (line.result == QStringLiteral("interrupted"))
        ++counts.interrupted;
    else
        ++counts.portTrouble;
}

} // namespace

int runShift(const QString &firmware, int devicesPerSlot, int slotCount, const QString &logPath)
{
    std::vector<FixtureSchedule> plans;
    for (int slot = 0; slot < slotCount; ++slot) {
        FixtureSchedule plan;
        for (int i = 0; i < devicesPerSlot; ++i)
            plan.visits.append(schedule(Mix.at((slot + i) % Mix.size())).visits.first());
        plans.push_back(plan);
    }
    // The log's times are the wall clock's; the fixtures' the steady clock.
    const qint64 wallAtStart = QDateTime::currentMSecsSinceEpoch();
    const Clock::time_point steadyAtStart = Clock::now();

    Fixtures fixtures(plans);
    const Clock::time_point started = Clock::now();
    StationProcess station(fixtures.links(), firmware, logPath);
    const qint64 pid = station.pid();

    std::vector<Sample> samples;
    QTimer sampler;
    sampler.setInterval(2000);
    QObject::connect(&sampler, &QTimer::timeout, &sampler, [&] {
        samples.push_back(Sample{msBetween(started, Clock::now()) / 1000.0, station.verdictLines(), residentKiB(pid),
                                 openDescriptors(pid)});
    });
    sampler.start();

    int expectedLines = 0;
    for (const FixtureSchedule &plan : plans) {
        for (const FixtureVisit &visit : plan.visits)
            expectedLines += expectedResult(visit).isEmpty() ? 0 : 1;
    }
    const bool ended = runUntil([&fixtures] { return fixtures.allFinished(); }, 30s * devicesPerSlot);
    runUntil([&] { return station.verdictLines() >= expectedLines; }, 30s);
    // Nothing more comes: every last device has gone.
    runFor(3s);
    sampler.stop();
    const double wallSeconds = msBetween(started, Clock::now()) / 1000.0;
    const double cpuShare = 100.0 * cpuSeconds(pid) / wallSeconds;
    const int status = station.stop();
    if (!ended)
        std::fprintf(stderr, "bench station: the fixtures did not run to their end\n");

    // The log, line by line.
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read the production log %s", qPrintable(logPath));
    QList<QByteArray> rawLines = file.readAll().split('\n');
    if (!rawLines.isEmpty())
        rawLines.removeFirst(); // the header
    std::vector<LogLine> lines;
    for (const QByteArray &raw : std::as_const(rawLines)) {
        if (raw.trimmed().isEmpty())
            continue;
        const QStringList fields = csvFields(raw);
        if (fields.size() < 11) {
            std::fprintf(stderr, "bench station: a log line of %lld fields: %s\n", qlonglong(fields.size()),
                         raw.constData());
            continue;
        }
        const QDateTime time = QDateTime::fromString(fields.at(0), Qt::ISODateWithMs);
        LogLine line;
        line.port = fields.at(1);
        line.started = steadyAtStart + std::chrono::milliseconds(time.toMSecsSinceEpoch() - wallAtStart);
        line.result = fields.at(7);
        line.reply = fields.at(8);
        lines.push_back(line);
    }

    // Every line to the visit it belongs to: the attempt began while that
    // device was at the port.
    int unmatched = 0;
    int wrongResult = 0;
    std::map<QString, PrintedCounts> fromLog;
    std::vector<std::vector<int>> linesOfVisit(static_cast<size_t>(slotCount), std::vector<int>());
    for (int slot = 0; slot < slotCount; ++slot)
        linesOfVisit[size_t(slot)].assign(size_t(devicesPerSlot), 0);
    std::vector<QList<Fixture::Record>> records;
    for (int slot = 0; slot < slotCount; ++slot)
        records.push_back(fixtures.at(size_t(slot)).records());
    for (const LogLine &line : lines) {
        const int slot = int(fixtures.links().indexOf(line.port));
        addTo(fromLog[line.port], line);
        addTo(fromLog[QStringLiteral("station")], line);
        bool matched = false;
        if (slot >= 0) {
            for (const Fixture::Record &record : std::as_const(records[size_t(slot)])) {
                if (!record.arrivedAt)
                    continue;
                const Clock::time_point left = record.leftAt ? *record.leftAt : Clock::now();
                // The log's times are whole milliseconds of another clock.
                if (line.started + 5ms < *record.arrivedAt || line.started > left + 5ms)
                    continue;
                ++linesOfVisit[size_t(slot)][size_t(record.index)];
                if (expectedResult(record.visit) != line.result) {
                    ++wrongResult;
                    std::fprintf(stderr, "bench station: slot %d visit %lld (%s): %s in the log\n", slot + 1,
                                 qlonglong(record.index), qPrintable(record.visit.text()), qPrintable(line.result));
                }
                matched = true;
                break;
            }
        }
        if (!matched)
            ++unmatched;
    }
    int exactlyAsExpected = 0;
    int missed = 0;
    int twice = 0;
    int visits = 0;
    for (int slot = 0; slot < slotCount; ++slot) {
        for (int i = 0; i < devicesPerSlot; ++i) {
            ++visits;
            const int count = linesOfVisit[size_t(slot)][size_t(i)];
            const int expected = expectedResult(plans[size_t(slot)].visits.at(i)).isEmpty() ? 0 : 1;
            if (count == expected)
                ++exactlyAsExpected;
            else if (count < expected)
                ++missed;
            else
                ++twice;
            if (count != expected)
                std::fprintf(stderr, "bench station: slot %d visit %d (%s): %d log lines\n", slot + 1, i,
                             qPrintable(plans[size_t(slot)].visits.at(i).text()), count);
        }
    }

    // The counts printed at the stop, slot by slot and for the station.
    const std::map<QString, PrintedCounts> printed = station.printedCounts();
    int countsAgree = 0;
    QStringList labels = fixtures.links();
    labels.append(QStringLiteral("station"));
    for (const QString &label : std::as_const(labels)) {
        const auto shown = printed.find(label);
        if (shown != printed.end() && shown->second == fromLog[label])
            ++countsAgree;
        else
            std::fprintf(stderr, "bench station: %s: the printed counts differ from the log\n", qPrintable(label));
    }

    // Memory and descriptors from the 50th device of the station on.
    constexpr int from = 50;
    std::vector<Sample> after;
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(after),
                 [](const Sample &sample) { return sample.devices >= from; });
    const QString mix = QStringLiteral("%1 slots × %2 devices at 115200 baud, a 10-device mix: 4 good on a plain "
                                       "adapter (2 restarting at once), 2 good with their own USB chip (1 restarting "
                                       "at once), 2 refusing, 1 silent, 1 adapter pulled in the image")
                            .arg(slotCount)
                            .arg(devicesPerSlot);
    Bench::row(QStringLiteral("Shift: %1; visits whose log lines are as expected (one each, none for the silent "
                              "device; %2 missed, %3 twice, %4 with another result, %5 lines of no visit)")
                   .arg(mix)
                   .arg(missed)
                   .arg(twice)
                   .arg(wrongResult)
                   .arg(unmatched),
               QStringLiteral("%1 of %2").arg(exactlyAsExpected).arg(visits),
               QStringLiteral("log lines: %1 of %2 expected").arg(lines.size()).arg(expectedLines),
               Bench::fixed(double(exactlyAsExpected) / visits, 4));
    Bench::row(QStringLiteral("Shift: counts printed at the stop equal to the log's (per slot and the station; "
                              "exit status %1)")
                   .arg(status),
               QStringLiteral("%1 of %2").arg(countsAgree).arg(labels.size()),
               QStringLiteral("station: %1 passed, %2 refused, %3 no answer, %4 port lost")
                   .arg(fromLog[QStringLiteral("station")].passed)
                   .arg(fromLog[QStringLiteral("station")].refused)
                   .arg(fromLog[QStringLiteral("station")].noAnswer)
                   .arg(fromLog[QStringLiteral("station")].portLost),
               Bench::fixed(double(countsAgree) / labels.size(), 4));
    if (after.size() >= 2) {
        // The first and the last tenth of the samples from the 50th device
        // on, each as a median: the ports opening and closing move both
        // figures a little from one sample to the next.
        const size_t tenth = std::max<size_t>(1, after.size() / 10);
        std::vector<double> firstRss, lastRss, firstFds, lastFds;
        for (size_t i = 0; i < tenth; ++i) {
            firstRss.push_back(double(after[i].residentKiB));
            lastRss.push_back(double(after[after.size() - 1 - i].residentKiB));
            firstFds.push_back(after[i].descriptors);
            lastFds.push_back(after[after.size() - 1 - i].descriptors);
        }
        std::vector<std::pair<double, double>> rssOverDevices;
        int lowestFds = after.front().descriptors, highestFds = lowestFds;
        qint64 highestRss = 0;
        for (const Sample &sample : after) {
            rssOverDevices.emplace_back(sample.devices, double(sample.residentKiB));
            lowestFds = std::min(lowestFds, sample.descriptors);
            highestFds = std::max(highestFds, sample.descriptors);
            highestRss = std::max(highestRss, sample.residentKiB);
        }
        const double rssStart = Bench::median(firstRss);
        const double rssEnd = Bench::median(lastRss);
        Bench::row(QStringLiteral("Shift: resident memory (VmRSS) of the station, last tenth of the samples, KiB "
                                  "(median; %1 samples every 2 s from device %2 to device %3; highest %4)")
                       .arg(after.size())
                       .arg(from)
                       .arg(after.back().devices)
                       .arg(highestRss),
                   Bench::fixed(rssEnd, 0),
                   QStringLiteral("first tenth from device %1: %2").arg(from).arg(Bench::fixed(rssStart, 0)),
                   Bench::fixed(rssEnd / rssStart, 4));
        Bench::row(QStringLiteral("Shift: resident memory's trend from device %1 on, KiB per 100 devices "
                                  "(least squares)")
                       .arg(from),
                   Bench::fixed(100.0 * slope(rssOverDevices), 1), QString(), QString());
        Bench::row(QStringLiteral("Shift: open descriptors of the station, last tenth of the samples (median; "
                                  "lowest %1, highest %2 from device %3 on: each slot's port is open only "
                                  "while it probes or flashes)")
                       .arg(lowestFds)
                       .arg(highestFds)
                       .arg(from),
                   Bench::fixed(Bench::median(lastFds), 0),
                   QStringLiteral("first tenth: %1").arg(Bench::fixed(Bench::median(firstFds), 0)),
                   Bench::fixed(Bench::median(lastFds) / Bench::median(firstFds), 4));
    }
    Bench::row(QStringLiteral("Shift: wall time, s, and the CPU of the whole program over it, start-up included, % of "
                              "one core"),
               QStringLiteral("%1 s, %2 %").arg(Bench::fixed(wallSeconds, 0), Bench::fixed(cpuShare, 2)), QString(),
               QString());
    return 0;
}

} // namespace StationBench
