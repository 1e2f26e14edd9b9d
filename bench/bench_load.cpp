// Loading a firmware file, as "Open File" does after the dialog:
//
//   tarvik-bench-load SMALL LARGE
//
// times the pure reading (FirmwareFile::readBytes and parse) and the window's
// whole load (Form1::loadFirmwareFile: read, parse, check, show) of two files,
// and sets the large one against the small one. The files are read from the
// page cache. Prints Markdown table rows.

#include "bench/BenchSupport.h"

#include "engine/FirmwareFile.h"
#include "downloader/Form1.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>

#include <cstdio>

using namespace Bench;

namespace {

double pureLoadMs(const QString &path)
{
    const Clock::time_point start = Clock::now();
    const std::optional<QByteArray> bytes = FirmwareFile::readBytes(path);
    if (!bytes)
        qFatal("cannot read %s", qPrintable(path));
    const FirmwareFile::Image image = FirmwareFile::parse(*bytes);
    const double ms = msBetween(start, Clock::now());
    if (!image.passed)
        qFatal("%s did not pass its check", qPrintable(path));
    return ms;
}

// A fresh downloader window each run: one window loads one image.
double windowLoadMs(const QString &path, const PortResolver &resolver)
{
    Form1 window(resolver);
    window.show();
    settle(50);
    const Clock::time_point start = Clock::now();
    window.loadFirmwareFile(path);
    const double ms = msBetween(start, Clock::now());
    if (window.Label3[0]->text() != QLatin1String("Pass!"))
        qFatal("%s did not pass its check", qPrintable(path));
    return ms;
}

QString megabytes(const QString &path)
{
    return QStringLiteral("%1 MB").arg(double(QFileInfo(path).size()) / 1e6, 0, 'f', 1);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() != 2) {
        std::fputs("usage: tarvik-bench-load SMALL LARGE\n", stderr);
        return 2;
    }
    const QString smallPath = arguments[0];
    const QString largePath = arguments[1];
    const int count = 21;
    const FixedPortResolver resolver;

    // The four loads take turns, so whatever else the machine is doing meanwhile
    // weighs on the small and the large file alike. One unmeasured round first
    // brings the files into the page cache.
    std::vector<double> pure[2], inWindow[2];
    for (int i = -1; i < count; ++i) {
        for (int large = 0; large < 2; ++large) {
            const QString &path = large ? largePath : smallPath;
            const double pureMs = pureLoadMs(path);
            const double windowMs = windowLoadMs(path, resolver);
            if (i >= 0) {
                pure[large].push_back(pureMs);
                inWindow[large].push_back(windowMs);
            }
        }
    }
    const double pureSmall = median(pure[0]);
    const double pureLarge = median(pure[1]);
    const double windowSmall = median(inWindow[0]);
    const double windowLarge = median(inWindow[1]);

    const auto rows = [&](const QString &how, double smallMs, double largeMs) {
        row(QStringLiteral("%1, %2 file, ms (median of %3)").arg(how, megabytes(smallPath)).arg(count),
            fixed(smallMs, 2), QString(), QString());
        row(QStringLiteral("%1, %2 file, ms (median of %3)").arg(how, megabytes(largePath)).arg(count),
            fixed(largeMs, 2), QStringLiteral("%1 file: %2").arg(megabytes(smallPath), fixed(smallMs, 2)),
            fixed(largeMs / smallMs, 2));
    };
    rows(QStringLiteral("Reading and parsing (FirmwareFile)"), pureSmall, pureLarge);
    rows(QStringLiteral("Loading in the window (Form1::loadFirmwareFile)"), windowSmall, windowLarge);
    row(QStringLiteral("target for the %1 file").arg(megabytes(largePath)), QStringLiteral("at most 100"), QString(),
        QStringLiteral("at most 12"));
    return 0;
}
