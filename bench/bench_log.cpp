// The cost of one production log line on the local disk:
//
//   tarvik-bench-log [LINES]
//
// times ProductionLog::append (the lock, the size noted, the last byte
// checked, the write, fdatasync, the unlock) line after line, against the
// bare write and fdatasync of the same line on a descriptor opened for
// appending, in the same directory. The two take turns, so the disk's and the
// machine's other work weigh on both alike. The files go beside the program
// (build-release/), on the disk the checkout is on. Prints Markdown table rows.

#include "bench/BenchSupport.h"

#include "log/ProductionLog.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>
#include <vector>

using namespace Bench;

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const int lines = arguments.isEmpty() ? 200 : arguments.at(0).toInt();
    const QString directory = QCoreApplication::applicationDirPath();
    const QString logPath = directory + QStringLiteral("/bench-production-log.csv");
    const QString barePath = directory + QStringLiteral("/bench-bare-lines.csv");
    QFile::remove(logPath);
    QFile::remove(barePath);

    QString reason;
    const std::unique_ptr<ProductionLog> log = ProductionLog::open(logPath, &reason);
    if (!log)
        qFatal("%s", qPrintable(reason));
    const int bare = ::open(QFile::encodeName(barePath).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (bare < 0)
        qFatal("cannot open %s", qPrintable(barePath));

    // A typical line: a gang's port, the example firmware, a pass.
    AttemptRecord record;
    record.started = QDateTime::currentDateTime();
    record.port = QStringLiteral("/dev/ttyUSB7");
    record.devicePath = QStringLiteral("/dev/ttyUSB7");
    record.rate = QStringLiteral("38400");
    record.firmwarePath = QStringLiteral("/srv/firmware/examples/firmware-example.txt");
    record.firmwareSha256 = "0f463f11a97a50ba6156215975f4edd411f7e9775a8f6d866cc5dc0dc3708567";
    record.bytesSent = 20121;
    record.result = QStringLiteral("pass");
    record.reply = "OK!";
    record.version = 17;
    record.durationMs = 5284;
    const QByteArray line = ProductionLog::csvLine(record);

    std::vector<double> logged;
    std::vector<double> bareLines;
    for (int i = 0; i < lines; ++i) {
        Clock::time_point start = Clock::now();
        if (!log->append(record, &reason))
            qFatal("a line was not written: %s", qPrintable(reason));
        logged.push_back(msBetween(start, Clock::now()));

        start = Clock::now();
        if (::write(bare, line.constData(), size_t(line.size())) != line.size() || ::fdatasync(bare) != 0)
            qFatal("the bare line was not written");
        bareLines.push_back(msBetween(start, Clock::now()));
    }
    ::close(bare);
    QFile::remove(logPath);
    QFile::remove(barePath);

    const double loggedMs = median(logged);
    const double bareMs = median(bareLines);
    row(QStringLiteral("A production log line on the local disk (lock, size, write, fdatasync, unlock), ms "
                       "(median of %1)")
            .arg(lines),
        fixed(loggedMs, 3), QStringLiteral("write and fdatasync alone: %1").arg(fixed(bareMs, 3)),
        fixed(loggedMs / bareMs, 3));
    return 0;
}
