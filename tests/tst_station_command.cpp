// `tarvik-downloader station` end to end: the real program as a process of
// its own, with no display, against simulated fixtures in this process.

#include "support/CommandFixture.h"
#include "support/SmallDisk.h"

#include "log/ProductionLog.h"

#include "sim/Fixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

namespace {

FixtureSchedule schedule(const char *text)
{
    QString error;
    const std::optional<FixtureSchedule> parsed = FixtureSchedule::parse(text, &error);
    if (!parsed)
        qFatal("bad schedule: %s", qPrintable(error));
    return *parsed;
}

void startStation(QProcess &process, const QStringList &arguments)
{
    startProgram(process, QStringList{"station"} + arguments);
}

// Waits, handling nothing else, until the command has printed `text`.
bool waitForOutput(QProcess &process, QByteArray &out, const QByteArray &text, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!out.contains(text) && clock.elapsed() < timeoutMs) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
    }
    return out.contains(text);
}

Run stopWith(QProcess &process, QByteArray out, int signal)
{
    ::kill(pid_t(process.processId()), signal);
    if (!process.waitForFinished(30000))
        qFatal("tarvik-downloader did not end");
    Run run;
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = out + process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

} // namespace

class StationCommandTest : public QObject
{
    Q_OBJECT

private slots:
    void help()
    {
        QProcess process;
        startStation(process, {"--help"});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY(out.contains("two probes in a row"));
        QVERIFY(out.contains("Exit status"));
    }

    void usageAndFileErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no port") << QStringList{"--file", exampleFirmware()} << 2 << QByteArray("no port");
        QTest::newRow("bad option") << QStringList{"--port", "1", "--file", exampleFirmware(), "--loop"} << 2
                                    << QByteArray("unknown option");
        QTest::newRow("no firmware") << QStringList{"--port", "/dev/null", "--file", "/nonexistent/f.txt"} << 3
                                     << QByteArray("cannot read the firmware file");
    }

    void usageAndFileErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QByteArray, message);
        QProcess process;
        startStation(process, arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), status);
        QVERIFY(process.readAllStandardError().contains(message));
    }

    // In a pipe: one plain line per event; a stop prints the counts and ends
    // with status 0 when every line was written.
    void plainLinesThenStop()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("slot1"));
        const QString log = dir.filePath(QStringLiteral("log.csv"));
        Fixture fixture(link, schedule(R"(
            rate=38400 after=reset stay=verdict+0.5 gap=2
            rate=38400 reply=refuse stay=verdict+0.5 gap=60
        )"));
        fixture.start();
        QProcess process;
        startStation(process, {"--port", link, "--file", exampleFirmware(), "--log", log});
        QByteArray out;
        QVERIFY2(waitForOutput(process, out, "FAIL: refused (ER)", 60000), out.constData());
        QVERIFY2(waitForOutput(process, out, "device gone", 60000), out.constData());
        const Run run = stopWith(process, out, SIGINT);
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains("device found at 38400 baud"), printed(run).constData());
        QVERIFY(run.out.contains(": PASS,"));
        QVERIFY(!run.out.contains('\r'));
        QVERIFY2(run.out.contains("station: 1 passed, 1 failed (1 refused), yield 50.0 %"), printed(run).constData());
        const QList<QList<QByteArray>> rows = logRows(log);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).at(7), QByteArray("pass"));
        QCOMPARE(rows.at(1).at(7), QByteArray("fail"));
    }

    // SIGTERM (and a hang-up) in the middle of an image: the device's line
    // says interrupted, with the bytes that left; a stopped station is no error.
    void stopDuringTheImage_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void stopDuringTheImage()
    {
        QFETCH(int, signal);
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("slot1"));
        const QString log = dir.filePath(QStringLiteral("log.csv"));
        Fixture fixture(link, schedule("rate=115200 stay=verdict+1 gap=60"));
        fixture.start();
        QProcess process;
        startStation(process, {"--port", link, "--file", exampleFirmware(), "--log", log});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, "device found", 30000));
        QTRY_VERIFY_WITH_TIMEOUT(fixture.record(0).commandsAt.has_value(), 10000);
        QTest::qWait(3000); // the commands' ticks, then into the image
        const Run run = stopWith(process, out, signal);
        QCOMPARE(run.status, 0);
        const QList<QList<QByteArray>> rows = logRows(log);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).at(7), QByteArray("interrupted"));
        QVERIFY(rows.at(0).at(6).toLongLong() > 0);
        QCOMPARE(fixture.record(0).imagesReceived, 0);
    }

    // A line the production log cannot take (its disk is full) outranks a
    // clean stop.
    void lostLogLineIsItsOwnStatus()
    {
        QTemporaryDir dir;
        SmallDisk disk(dir.filePath(QStringLiteral("disk")));
        if (!disk.mounted())
            QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here: ") + disk.error()));
        const QString log = dir.filePath(QStringLiteral("disk/production.csv"));
        // Earlier lines up to just short of the end of the log's first page:
        // the next line needs a page the full disk no longer has.
        const QByteArray earlierLine =
            "2026-12-09T17:00:00.000+00:00,1,/dev/ttyS0,9600,/fw.txt,ab,20121,pass,OK!,,5300\n";
        QByteArray earlier = ProductionLog::Header;
        while (earlier.size() + earlierLine.size() < 4096 - 100)
            earlier += earlierLine;
        {
            QFile file(log);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(earlier), earlier.size());
        }
        const QString link = dir.filePath(QStringLiteral("slot1"));
        Fixture fixture(link, schedule("rate=115200 after=reset stay=verdict+0.5 gap=60"));
        fixture.start();
        QProcess process;
        startStation(process, {"--port", link, "--file", exampleFirmware(), "--log", log});
        QByteArray out;
        QVERIFY2(waitForOutput(process, out, "sha256", 10000), out.constData());
        disk.fill();
        QVERIFY2(waitForOutput(process, out, "NOT LOGGED", 60000), out.constData());
        const Run run = stopWith(process, out, SIGINT);
        QCOMPARE(run.status, 6);
        QVERIFY(run.err.contains("could not be written to the production log"));
        QVERIFY(run.out.contains("1 log lines lost"));
        QCOMPARE(readFile(log), earlier);
    }

    // On a terminal: a header and a line per slot, redrawn in place.
    void liveViewOnATerminal()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("slot1"));
        Fixture fixture(link, schedule("rate=115200 after=keep stay=verdict+30 gap=60"));
        fixture.start();
        int master = -1;
        int slave = -1;
        winsize size{};
        size.ws_row = 40;
        size.ws_col = 200; // wide enough for a temporary directory's long names
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, &size) == 0);
        QProcess process;
        process.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
        startStation(process, {"--port", link, "--file", exampleFirmware(), "--port", dir.filePath("missing")});
        ::close(slave);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        QByteArray screen;
        QElapsedTimer clock;
        clock.start();
        while (!screen.contains("remove the device") && clock.elapsed() < 60000) {
            pollfd ready{master, POLLIN, 0};
            ::poll(&ready, 1, 100);
            char buffer[4096];
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got > 0)
                screen.append(buffer, got);
        }
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(30000));
        ::close(master);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(screen.contains("\x1b[2K")); // lines cleared and drawn again in place
        QVERIFY(screen.contains("sha256 "));
        QVERIFY(screen.contains("waiting for the port"));
        QVERIFY(screen.contains("sending ["));
        QVERIFY(screen.contains("PASS"));
    }
};

QTEST_GUILESS_MAIN(StationCommandTest)
#include "tst_station_command.moc"
