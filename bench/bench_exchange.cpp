// The exchanges with the device, driven through the real windows as an
// operator would click them:
//
//   tarvik-bench-exchange download SMALL MEDIUM LARGE
//       "Download Flash" from the click to the verdict against its floor, for
//       three firmware files, the device answering "OK!" 50 ms after the
//       image's last byte;
//   tarvik-bench-exchange early-end SMALL
//       from the device's last byte of "OK!" to the verdict on the widgets;
//   tarvik-bench-exchange cpu SMALL
//       processor time of the program while it waits on a silent device (a
//       download and a probe), the device in a process of its own.
//
// Prints Markdown table rows: figure | value | reference | ratio. Add --quick
// for one run of each (a trial of the benchmark itself).

#include "bench/BenchSupport.h"

#include "engine/TickWait.h"
#include "connect/Form2.h"
#include "downloader/Form1.h"
#include "sim/SimulatedDevice.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <thread>

using namespace Bench;
using namespace std::chrono_literals;

namespace {

bool quick = false;

int runs(int wanted)
{
    return quick ? 1 : wanted;
}

// Ticks the download spends before the image: 1 + 1 + 1 + 2.
constexpr double TicksBeforeImageMs = 5 * TickWait::TickIntervalMs;
constexpr int DownloadRate = 115200;
constexpr int AnswerDelayMs = 50;
const QByteArray EndOfFileRecord = QByteArrayLiteral(":00000001FF\r");

QString sizeName(qint64 bytes)
{
    if (bytes >= 1000 * 1000)
        return QStringLiteral("%1 MB").arg(double(bytes) / 1e6, 0, 'f', 1);
    if (bytes >= 1000)
        return QStringLiteral("%1 KB").arg(double(bytes) / 1e3, 0, 'f', 0);
    return QStringLiteral("%1 B").arg(bytes);
}

// Clicks "Download Flash"; the whole download runs inside the click.
double clickDownloadMs(Form1 &window)
{
    const Clock::time_point start = Clock::now();
    QTest::mouseClick(window.Command3, Qt::LeftButton);
    return msBetween(start, Clock::now());
}

void downloadAgainstFloor(const QString &path, int count)
{
    SimulatedDevice device;
    SimulatedDevice::Reply reply;
    reply.delayMs = AnswerDelayMs;
    device.setImageReply(reply);
    Session session(device.portPath());
    Form1 &window = session.openDownloaderWindow(device.ownRate());
    session.loadFirmware(path);
    const qint64 imageBytes = window.FileText.size();
    const double floorMs = TicksBeforeImageMs + wireMs(imageBytes, DownloadRate) + AnswerDelayMs;

    std::vector<double> times;
    int passes = 0;
    for (int i = 0; i < count; ++i) {
        times.push_back(clickDownloadMs(window));
        if (window.Label3[1]->text() == QLatin1String("Pass!"))
            ++passes;
    }
    const double value = median(times);
    row(QStringLiteral("Download, %1 image (%2 bytes on the wire), ms (median of %3; %4 of %3 passed)")
            .arg(sizeName(QFileInfo(path).size()))
            .arg(imageBytes)
            .arg(count)
            .arg(passes),
        fixed(value, 0), QStringLiteral("floor: %1").arg(fixed(floorMs, 0)), fixed(value / floorMs, 4));
}

void earlyEnd(const QString &path, int count)
{
    SimulatedDevice device;
    // The device's rate is the download rate, so "OK!" sent on its own after
    // the image is heard as it is; its own answer to the image is held back.
    device.setOwnRate(DownloadRate);
    SimulatedDevice::Reply silent;
    silent.silent = true;
    device.setImageReply(silent);
    Session session(device.portPath());
    Form1 &window = session.openDownloaderWindow(device.ownRate());
    session.loadFirmware(path);

    std::vector<double> latencies;
    for (int i = 0; i < count; ++i) {
        device.clearTranscript();
        Clock::time_point sentAt;
        // At a different point of the tick each run: 0.2 s to 1.4 s after the
        // device has the image, well inside the answer's 12 ticks.
        const auto offset = std::chrono::milliseconds(200 + (i * 173) % 1200);
        std::thread answer([&device, &sentAt, offset] {
            if (!device.waitForReceived([](const QByteArray &bytes) { return bytes.endsWith(EndOfFileRecord); },
                                        30s))
                qFatal("the image did not reach the device");
            std::this_thread::sleep_for(offset);
            // send() writes the bytes to the line before it returns: the
            // clock read before it is at or before the last byte.
            sentAt = Clock::now();
            device.send(QByteArrayLiteral("OK!"));
        });
        QTest::mouseClick(window.Command3, Qt::LeftButton);
        const Clock::time_point verdictAt = Clock::now();
        answer.join();
        if (window.Label3[1]->text() != QLatin1String("Pass!"))
            qFatal("the early end did not give the verdict Pass!");
        latencies.push_back(msBetween(sentAt, verdictAt));
    }
    row(QStringLiteral("Early end: last byte of \"OK!\" to the verdict, ms (median of %1)").arg(count),
        fixed(median(latencies), 2), QStringLiteral("target: 5"), fixed(median(latencies) / 5, 3));
}

// CPU time over wall time, in percent of one core.
double sharePercent(double cpuSeconds, double wallMs)
{
    return 100.0 * cpuSeconds / (wallMs / 1000);
}

// The wait as a literal busy loop: test, process events, test again, never
// sleeping. The reference for the waits below.
double busyLoopPercent(int count)
{
    QTimer timer;
    qint16 ticks = 0;
    TickWait::configureTimer(timer);
    QObject::connect(&timer, &QTimer::timeout, &timer, [&ticks] { TickWait::addTick(ticks); });
    const QByteArray nothing;
    std::vector<double> shares;
    for (int i = 0; i < count; ++i) {
        const double cpuBefore = processCpuSeconds();
        const Clock::time_point start = Clock::now();
        busyWait(timer, ticks, nothing, 2);
        shares.push_back(sharePercent(processCpuSeconds() - cpuBefore, msBetween(start, Clock::now())));
    }
    return median(shares);
}

void processorTime(const QString &path, int count)
{
    const double busy = busyLoopPercent(count);
    const QString reference = QStringLiteral("busy loop: %1").arg(fixed(busy, 1));

    // The device in its own process: what this process spends is the program's.
    std::vector<double> download;
    for (int i = 0; i < count; ++i) {
        DeviceProcess device({QStringLiteral("--silent")});
        Session session(device.portPath());
        Form1 &window = session.openDownloaderWindow(9600);
        session.loadFirmware(path);
        settle(300);
        const double cpuBefore = processCpuSeconds();
        const double wall = clickDownloadMs(window);
        download.push_back(sharePercent(processCpuSeconds() - cpuBefore, wall));
        if (window.Label3[1]->text() != QLatin1String("Fail"))
            qFatal("the silent device's download did not fail");
    }
    const double d = median(download);
    row(QStringLiteral("CPU during a download to a silent device (17 ticks), % of one core (median of %1)")
            .arg(count),
        fixed(d, 2), reference, fixed(d / busy, 4));

    std::vector<double> probe;
    for (int i = 0; i < count; ++i) {
        DeviceProcess device({QStringLiteral("--silent")});
        Session session(device.portPath());
        BoxAnswerer boxes;
        settle(300);
        double cpuAtBox = 0;
        Clock::time_point boxAt;
        // The probe ends with the box "No Action"; the figure ends as the box
        // shows, before it is answered.
        boxes.onNextBox([&] {
            cpuAtBox = processCpuSeconds();
            boxAt = Clock::now();
        });
        const double cpuBefore = processCpuSeconds();
        const Clock::time_point start = Clock::now();
        QTest::mouseClick(session.connectionWindow().Command1, Qt::LeftButton);
        if (boxes.texts() != QStringList{QStringLiteral("No Action")})
            qFatal("the probe did not end with \"No Action\"");
        probe.push_back(sharePercent(cpuAtBox - cpuBefore, msBetween(start, boxAt)));
    }
    const double p = median(probe);
    row(QStringLiteral("CPU during a probe with no answer (10 ticks), % of one core (median of %1)").arg(count),
        fixed(p, 2), reference, fixed(p / busy, 4));
    row(QStringLiteral("target for both"), QStringLiteral("at most 2.00"), QString(), QString());
}

int usage()
{
    std::fputs("usage: tarvik-bench-exchange [--quick] download SMALL MEDIUM LARGE\n"
               "       tarvik-bench-exchange [--quick] early-end SMALL\n"
               "       tarvik-bench-exchange [--quick] cpu SMALL\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    quick = arguments.removeAll(QStringLiteral("--quick")) > 0;
    if (arguments.isEmpty())
        return usage();
    const QString what = arguments.takeFirst();

    if (what == QLatin1String("download") && arguments.size() == 3) {
        downloadAgainstFloor(arguments[0], runs(5));
        downloadAgainstFloor(arguments[1], runs(5));
        downloadAgainstFloor(arguments[2], runs(3));
        row(QStringLiteral("target for every size"), QStringLiteral("ratio at most 1.01"), QString(), QString());
    } else if (what == QLatin1String("early-end") && arguments.size() == 1) {
        earlyEnd(arguments[0], runs(9));
    } else if (what == QLatin1String("cpu") && arguments.size() == 1) {
        processorTime(arguments[0], runs(3));
    } else {
        return usage();
    }
    return 0;
}
