#pragma once

// What the benchmarks share: clocks, medians, the table row, the program on a
// simulated device, message boxes answered, the device in a process of its own.

#include "serial/PortResolver.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class Form1;
class QTimer;
class Form2;
class Program;

namespace Bench {

using Clock = std::chrono::steady_clock;

// Milliseconds between two points of the steady clock (shared by all threads).
double msBetween(Clock::time_point from, Clock::time_point to);

// Processor time of this process so far, user and system, all threads.
double processCpuSeconds();

// Peak resident memory of this process so far (VmHWM), in KiB.
qint64 peakResidentKiB();

double median(std::vector<double> values);

// The wait as a literal busy loop, the reference for the program's waits:
// test, process events, test again, never sleeping, for timeSpan ticks of
// `timer` (which must count TickCount up) or until `watched` reads "OK!".
void busyWait(QTimer &timer, qint16 &tickCount, const QByteArray &watched, qint16 timeSpan);

// One row of the table: figure | value | reference | ratio.
void row(const QString &figure, const QString &value, const QString &reference, const QString &ratio);
QString fixed(double value, int decimals);

// The time 10-bit bytes take on the wire at `rate` baud, in milliseconds.
double wireMs(qint64 bytes, int rate);

// Answers the program's modal message boxes: it sees each box as it is shown
// (no polling, so it adds no wake-ups to a wait being measured), runs the
// callback once for the next box, then presses OK.
class BoxAnswerer : public QObject
{
    Q_OBJECT

public:
    BoxAnswerer();
    ~BoxAnswerer() override;
    void onNextBox(std::function<void()> action) { m_nextAction = std::move(action); }
    QStringList texts() const { return m_texts; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QStringList m_texts;
    std::function<void()> m_nextAction;
};

// The simulated device as a process of its own (build-release/device-sim),
// so its thread's work is not counted as the program's.
class DeviceProcess
{
public:
    explicit DeviceProcess(const QStringList &arguments);
    ~DeviceProcess();
    DeviceProcess(const DeviceProcess &) = delete;
    DeviceProcess &operator=(const DeviceProcess &) = delete;

    QString portPath() const { return m_portPath; }

private:
    QProcess m_process;
    QString m_portPath;
};

// The program with port 1 on `portPath`, as the shipped program starts it.
class Session
{
public:
    explicit Session(const QString &portPath);
    ~Session();

    Form2 &connectionWindow();
    // Hands over to the downloader window as the probe would after the device
    // answered at `rate`.
    Form1 &openDownloaderWindow(int rate);
    // Loads the firmware file; stops the benchmark when it does not pass.
    void loadFirmware(const QString &path);
    Form1 &downloaderWindow();

private:
    std::shared_ptr<FixedPortResolver> m_resolver = std::make_shared<FixedPortResolver>();
    std::unique_ptr<Program> m_program;
};

// Lets events run for `ms` milliseconds (painting, settling).
void settle(int ms);

} // namespace Bench
