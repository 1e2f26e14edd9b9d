#pragma once

// What the station's benchmarks share: the real `tarvik-downloader station`
// as a process of its own (its processor time, memory and descriptors read
// from /proc, its plain lines read from a pipe), simulated fixtures in this
// process (their work is not the station's), and waits that keep this
// process's events going.

#include "sim/Fixture.h"
#include "sim/FixtureSchedule.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace StationBench {

using Clock = Fixture::Clock;

double msBetween(Clock::time_point from, Clock::time_point to);

// The schedule in its text form; stops the benchmark on a mistake in it.
FixtureSchedule schedule(const QString &text);

// Fixtures, one per slot, each under a link of its own in a fresh folder
// (slot1, slot2, ...), started together.
class Fixtures
{
public:
    explicit Fixtures(const std::vector<FixtureSchedule> &schedules);
    ~Fixtures();
    Fixtures(const Fixtures &) = delete;
    Fixtures &operator=(const Fixtures &) = delete;

    QStringList links() const { return m_links; }
    Fixture &at(size_t index) { return *m_fixtures.at(index); }
    size_t size() const { return m_fixtures.size(); }
    bool allFinished() const;

private:
    QTemporaryDir m_dir;
    QStringList m_links;
    std::vector<std::unique_ptr<Fixture>> m_fixtures;
};

// A slot's counts as the station prints them when it stops.
struct PrintedCounts
{
    int passed = 0;
    int noAnswer = 0;
    int refused = 0;
    int portLost = 0;
    int portTrouble = 0;
    int interrupted = 0;
    int logLinesLost = 0;
    bool operator==(const PrintedCounts &) const = default;
};

// `tarvik-downloader station --terminal` (beside this benchmark) on the
// given ports, without a display, its standard output a pipe: one plain line
// per event. Its standard error goes to this process's.
class StationProcess
{
public:
    StationProcess(const QStringList &ports, const QString &firmware, const QString &log);
    ~StationProcess();
    StationProcess(const StationProcess &) = delete;
    StationProcess &operator=(const StationProcess &) = delete;

    qint64 pid() const { return m_process.processId(); }
    // Lines printed with a verdict so far.
    int verdictLines() const { return m_verdictLines; }
    QStringList lines() const { return m_lines; }

    // Stops the station as an operator's SIGTERM does and waits for it;
    // returns its exit status (-1 when it did not end by itself).
    int stop();
    // After stop(): the counts it printed per slot, by the slot's label, and
    // for the station ("station").
    std::map<QString, PrintedCounts> printedCounts() const;

private:
    void take();

    QProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
    int m_verdictLines = 0;
};

// The process's processor time so far, user and system, all its threads.
double cpuSeconds(qint64 pid);
// Its resident memory now (VmRSS), KiB.
qint64 residentKiB(qint64 pid);
// Its open descriptors now.
int openDescriptors(qint64 pid);

// Handle this process's events (the station's output) until `done` holds or
// `timeout` passes; say whether it held.
bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);
void runFor(std::chrono::milliseconds span);

// The shift: see bench_station_shift.cpp.
int runShift(const QString &firmware, int devicesPerSlot, int slotCount, const QString &logPath);

} // namespace StationBench
