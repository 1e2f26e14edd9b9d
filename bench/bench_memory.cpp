// Peak resident memory (VmHWM) of the program through a download of a large
// firmware file, the device in a process of its own:
//
//   tarvik-bench-memory FILE [RUNS]
//
// Each run is a fresh process (the peak only ever grows): the program on the
// downloader window, idle; its peak then is the idle figure. It loads FILE
// and clicks "Download Flash"; some seconds into the image's write (the whole
// image has been handed to the port by then) it reads the peak and closes the
// window, which ends the exchange. Prints Markdown table rows.

#include "bench/BenchSupport.h"

#include "downloader/Form1.h"

#include <QApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <cstdio>

using namespace Bench;

namespace {

// Five ticks before the image, then some of its write.
constexpr int MeasureAfterClickMs = 5000;

int oneRun(const QString &path)
{
    DeviceProcess device({});
    Session session(device.portPath());
    Form1 &window = session.openDownloaderWindow(9600);
    settle(500);
    const qint64 idle = peakResidentKiB();

    session.loadFirmware(path);
    qint64 duringWrite = 0;
    QTimer::singleShot(MeasureAfterClickMs, &window, [&] {
        duringWrite = peakResidentKiB();
        window.close();
    });
    QTest::mouseClick(window.Command3, Qt::LeftButton);
    std::printf("idle-kib: %lld peak-kib: %lld\n", static_cast<long long>(idle),
                static_cast<long long>(std::max(duringWrite, peakResidentKiB())));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() == 2 && arguments[0] == QLatin1String("--one-run"))
        return oneRun(arguments[1]);
    if (arguments.isEmpty() || arguments.size() > 2) {
        std::fputs("usage: tarvik-bench-memory FILE [RUNS]\n", stderr);
        return 2;
    }
    const QString path = arguments[0];
    const int count = arguments.size() > 1 ? std::max(1, arguments[1].toInt()) : 3;

    std::vector<double> idle, peak, growth;
    static const QRegularExpression report(QStringLiteral("idle-kib: (\\d+) peak-kib: (\\d+)"));
    for (int i = 0; i < count; ++i) {
        QProcess run;
        run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        run.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--one-run"), path});
        if (!run.waitForFinished(120000))
            qFatal("a memory run did not end");
        const QRegularExpressionMatch match = report.match(QString::fromLocal8Bit(run.readAllStandardOutput()));
        if (!match.hasMatch())
            qFatal("a memory run reported nothing");
        idle.push_back(match.captured(1).toDouble() / 1024);
        peak.push_back(match.captured(2).toDouble() / 1024);
        growth.push_back(peak.back() - idle.back());
    }
    const double fileMiB = double(QFileInfo(path).size()) / (1024 * 1024);
    const double idleMiB = median(idle);
    const double growthMiB = median(growth);
    row(QStringLiteral("Peak resident memory, idle on the downloader window, MiB (median of %1)").arg(count),
        fixed(idleMiB, 1), QString(), QString());
    row(QStringLiteral("Peak resident memory through a download of a %1 MiB file, MiB (median of %2)")
            .arg(fixed(fileMiB, 1))
            .arg(count),
        fixed(median(peak), 1),
        QStringLiteral("idle + 3 × file: %1").arg(fixed(idleMiB + 3 * fileMiB, 1)),
        fixed(median(peak) / (idleMiB + 3 * fileMiB), 3));
    row(QStringLiteral("Growth over idle, in file sizes"), fixed(growthMiB / fileMiB, 2),
        QStringLiteral("target: at most 3"), fixed(growthMiB / fileMiB / 3, 3));
    return 0;
}
