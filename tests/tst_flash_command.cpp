// `tarvik-downloader flash` end to end: the real program as a process of its
// own, with no display, against device-sim processes on pseudo-terminals.

#include "log/ProductionLog.h"
#include "support/CommandFixture.h"
#include "support/SmallDisk.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// One simulated device as a process of its own; stopped when it goes.
class Device
{
public:
    // Answers 20 ms late, as a real device behind a USB adapter does, unless
    // the options say otherwise.
    explicit Device(QStringList options)
    {
        if (!options.contains(QStringLiteral("--reply-delay")))
            options += QStringList{QStringLiteral("--reply-delay"), QStringLiteral("20")};
        m_process.start(buildDir() + QStringLiteral("/device-sim"), options);
        if (!m_process.waitForReadyRead(5000))
            qFatal("device-sim did not start");
        m_path = QString::fromLocal8Bit(m_process.readLine().trimmed());
    }
    ~Device() { stop(); }
    QString path() const { return m_path; }

    // With --verbose: waits until the device has printed `text` among the
    // bytes that reached it.
    bool waitForTrace(const QByteArray &text, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_trace.contains(text) && clock.elapsed() < timeoutMs) {
            m_process.waitForReadyRead(50);
            m_trace += m_process.readAllStandardError();
        }
        return m_trace.contains(text);
    }

    // Stops the device; with --verbose, what it printed of the bytes that
    // reached it.
    QByteArray stop()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
        m_trace += m_process.readAllStandardError();
        return m_trace;
    }

    // With --verbose: waits until about `count` bytes of the image (at
    // 115200 baud) have reached the device; false after 30 s.
    bool waitForImageBytes(qsizetype count)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000) {
            m_trace += m_process.readAllStandardError();
            qsizetype received = 0;
            for (const QByteArray &line : m_trace.split('\n')) {
                if (line.startsWith("[115200 baud] "))
                    received += line.size() - 14;
            }
            if (received >= count)
                return true;
            m_process.waitForReadyRead(100);
        }
        return false;
    }

private:
    QProcess m_process;
    QString m_path;
    QByteArray m_trace;
};

void startFlash(QProcess &process, const QStringList &arguments)
{
    startProgram(process, QStringList{"flash"} + arguments);
}

Run finish(QProcess &process)
{
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(60000))
        qFatal("tarvik-downloader did not end");
    Run run;
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}


Run flash(const QStringList &arguments)
{
    QProcess process;
    startFlash(process, arguments);
    return finish(process);
}

// The summary row of `port`, split into its columns.
QList<QByteArray> summaryRow(const QByteArray &out, const QString &port)
{
    for (const QByteArray &line : out.split('\n')) {
        const QList<QByteArray> columns = line.simplified().split(' ');
        if (columns.size() >= 8 && columns.first() == port.toLocal8Bit())
            return columns;
    }
    return {};
}

// The log's lines after the header, split into fields; none of the fields
// these tests write holds a comma.
QList<QList<QByteArray>> logLines(const QString &path)
{
    const QByteArray text = readFile(path);
    QList<QList<QByteArray>> lines;
    if (!text.startsWith(ProductionLog::Header))
        return lines;
    for (const QByteArray &line : text.sliced(ProductionLog::Header.size()).split('\n')) {
        if (!line.isEmpty())
            lines.append(line.split(','));
    }
    return lines;
}

enum Column { Time, Port, DevicePath, Rate, File, Sha256, BytesSent, Result, Reply, Version, DurationMs, Serial, Columns };

// Reads the command's standard output up to its first line end, as `head -1`
// does; false after 30 s.
bool readFirstLine(int descriptor)
{
    QElapsedTimer clock;
    clock.start();
    char byte = 0;
    while (byte != '\n' && clock.elapsed() < 30000) {
        pollfd readable{descriptor, POLLIN, 0};
        if (::poll(&readable, 1, 100) == 1 && ::read(descriptor, &byte, 1) != 1)
            return false;
    }
    return byte == '\n';
}


const QByteArray ExampleSha256 =
    QCryptographicHash::hash(readFile(exampleFirmware()), QCryptographicHash::Sha256).toHex();
constexpr int ExampleImageSize = 20121; // every line followed by one CR

// A second name of a device, made by device-sim's --link.
const QString SameDeviceLink =
    QDir::temp().filePath(QStringLiteral("tarvik-same-device-%1").arg(QCoreApplication::applicationPid()));

} // namespace

class FlashCommandTest : public QObject
{
    Q_OBJECT

private slots:
    void passesAndReadsTheVersion()
    {
        Device device({"--rate", "38400", "--version", "42"});
        QTemporaryDir directory;
        const QString log = directory.filePath(QStringLiteral("production.csv"));
        const Run run = flash({"--port", device.path(), "--file", exampleFirmware(), "--check", "--log", log});

        QVERIFY2(run.status == 0, printed(run).constData());
        QVERIFY2(run.err.isEmpty(), run.err.constData());
        const QList<QByteArray> row = summaryRow(run.out, device.path());
        QVERIFY2(row.size() == 8, run.out.constData());
        QCOMPARE(row.at(2), "38400");
        QCOMPARE(row.at(3), "pass");
        QCOMPARE(row.at(5), "-"); // the reply "OK!" is not repeated
        QCOMPARE(row.at(6), "42");
        QVERIFY(!run.out.contains('\r')); // not a terminal: no animation

        const QList<QList<QByteArray>> lines = logLines(log);
        QCOMPARE(lines.size(), 1);
        const QList<QByteArray> &line = lines.first();
        QCOMPARE(line.size(), int(Columns));
        QVERIFY(QDateTime::fromString(QString::fromLatin1(line.at(Time)), Qt::ISODateWithMs).isValid());
        QVERIFY2(QRegularExpression(QStringLiteral("[+-]\\d\\d:\\d\\d$"))
                     .match(QString::fromLatin1(line.at(Time)))
                     .hasMatch(),
                 line.at(Time).constData());
        QCOMPARE(line.at(Port), device.path().toLocal8Bit());
        QCOMPARE(line.at(DevicePath), device.path().toLocal8Bit());
        QCOMPARE(line.at(Rate), "38400");
        QCOMPARE(line.at(File), exampleFirmware().toLocal8Bit());
        QCOMPARE(line.at(Sha256), ExampleSha256);
        QCOMPARE(line.at(BytesSent).toInt(), ExampleImageSize);
        QCOMPARE(line.at(Result), "pass");
        QCOMPARE(line.at(Reply), "OK!");
        QCOMPARE(line.at(Version), "42");
        QVERIFY(line.at(DurationMs).toInt() > 2500); // five ticks before the image at least
    }

    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("device");    // device-sim's options; empty: no device
        QTest::addColumn<QStringList>("arguments"); // PORT stands for the device's path
        QTest::addColumn<int>("interruptAfterMs");  // 0: let it run
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("shown"); // on stdout (the result) or stderr (the reason)

        const QString fw = exampleFirmware();
        const QString refused = qEnvironmentVariable("TARVIK_SOURCE_DIR") + QStringLiteral("/README.md");
        const QStringList none;
        QTest::newRow("0 help") << none << QStringList{"--help"} << 0 << 0 << "Usage: tarvik-downloader flash";
        QTest::newRow("0 version") << none << QStringList{"--version"} << 0 << 0 << "tarvik-downloader 1.7";
        QTest::newRow("1 download failed")
            << QStringList{"--image-reply", "ER"} << QStringList{"--port", "PORT", "--file", fw} << 0 << 1 << "fail";
        QTest::newRow("2 usage") << none << QStringList{"--port", "17", "--file", fw} << 0 << 2 << "'17'";
        QTest::newRow("3 file unreadable")
            << none << QStringList{"--port", "1", "--file", "/nonexistent.txt"} << 0 << 3 << "cannot read";
        QTest::newRow("3 file refused") << QStringList{} << QStringList{"--port", "PORT", "--file", refused} << 0 << 3
                                        << "not a firmware file";
        QTest::newRow("3 log cannot be opened")
            << QStringList{} << QStringList{"--port", "PORT", "--file", fw, "--log", "/nonexistent/log.csv"} << 0 << 3
            << "/nonexistent/log.csv";
        QTest::newRow("4 no answer") << QStringList{"--silent"} << QStringList{"--port", "PORT", "--file", fw} << 0 << 4
                                     << "no-answer";
        QTest::newRow("1 adapter pulled in the verdict's wait")
            << QStringList{"--unplug-after", "verdict"} << QStringList{"--port", "PORT", "--file", fw} << 0 << 1
            << "port-lost";
        QTest::newRow("0 adapter gone right after its OK! was read")
            << QStringList{"--unplug-after", "answered"} << QStringList{"--port", "PORT", "--file", fw} << 0 << 0
            << "pass";
        QTest::newRow("0 line closed right after its OK! was read")
            << QStringList{"--unplug-after", "answered", "--unplug-as", "closed"}
            << QStringList{"--port", "PORT", "--file", fw} << 0 << 0 << "pass";
        QTest::newRow("1 line closed in the verdict's wait")
            << QStringList{"--unplug-after", "verdict", "--unplug-as", "closed"}
            << QStringList{"--port", "PORT", "--file", fw} << 0 << 1 << "port-lost";
        QTest::newRow("2 one device named twice")
            << QStringList{"--link", SameDeviceLink}
            << QStringList{"--port", "PORT", "--port", SameDeviceLink, "--file", fw} << 0 << 2 << "are the same device";
        QTest::newRow("3 file is a device")
            << QStringList{} << QStringList{"--port", "PORT", "--file", "/dev/zero"} << 0 << 3 << "not a regular file";
        QTest::newRow("3 file is a folder")
            << QStringList{} << QStringList{"--port", "PORT", "--file", "/"} << 0 << 3 << "it is a folder";
        QTest::newRow("5 not a serial port")
            << none << QStringList{"--port", "/dev/null", "--file", fw} << 0 << 5 << "/dev/null is not a serial port";
        QTest::newRow("5 no such port") << none << QStringList{"--port", "/dev/nonexistent-tty", "--file", fw} << 0 << 5
                                        << "port-unavailable";
        QTest::newRow("130 interrupted") << QStringList{"--silent"} << QStringList{"--port", "PORT", "--file", fw}
                                         << 1200 << 130 << "interrupted";
    }

    void exitStatus()
    {
        QFETCH(QStringList, device);
        QFETCH(QStringList, arguments);
        QFETCH(int, interruptAfterMs);
        QFETCH(int, status);
        QFETCH(QString, shown);
        const bool withDevice = arguments.contains(QStringLiteral("PORT"));
        std::unique_ptr<Device> sim;
        if (withDevice) {
            // A device that prints what reaches it shows whether the port was touched.
            sim = std::make_unique<Device>(device + QStringList{"--verbose"});
            arguments.replace(arguments.indexOf(QStringLiteral("PORT")), sim->path());
        }
        QProcess process;
        startFlash(process, arguments);
        if (interruptAfterMs > 0) {
            QTest::qWait(interruptAfterMs);
            ::kill(pid_t(process.processId()), SIGINT);
        }
        const Run run = finish(process);
        QVERIFY2(run.status == status, printed(run).constData());
        QVERIFY2(run.out.contains(shown.toLocal8Bit()) || run.err.contains(shown.toLocal8Bit()),
                 (run.out + run.err).constData());
        if (status == 2 || status == 3) {
            QVERIFY(run.out.isEmpty());
            QVERIFY(run.err.startsWith("tarvik-downloader flash: "));
            if (sim) // refused before any port was opened: not a byte reached the device
                QCOMPARE(sim->stop(), QByteArray());
        }
        if (status == 130) {
            const QList<QByteArray> row = summaryRow(run.out, sim->path());
            QVERIFY2(!row.isEmpty() && row.at(3) == "interrupted", run.out.constData());
        }
    }

    // After a pass the query waits for the device's answer, however late it
    // comes within its tick.
    void checkReadsTheVersionOfALateDevice_data()
    {
        QTest::addColumn<QString>("latencyMs");
        QTest::newRow("20 ms") << "20";
        QTest::newRow("50 ms") << "50";
        QTest::newRow("400 ms") << "400";
    }

    void checkReadsTheVersionOfALateDevice()
    {
        QFETCH(QString, latencyMs);
        Device device({"--reply-delay", latencyMs, "--version", "42"});
        const Run run = flash({"--port", device.path(), "--file", exampleFirmware(), "--check"});
        QVERIFY2(run.status == 0, printed(run).constData());
        const QList<QByteArray> row = summaryRow(run.out, device.path());
        QVERIFY2(row.size() == 8 && row.at(3) == "pass" && row.at(6) == "42", run.out.constData());
    }

    // A stop while a programmed device is asked its version: the device
    // stays passed, the version says it was interrupted.
    void stopDuringTheVersionQueryKeepsThePass_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }

    void stopDuringTheVersionQueryKeepsThePass()
    {
        QFETCH(int, signal);
        Device device({"--reply-delay", "400", "--verbose"});
        QTemporaryDir directory;
        const QString log = directory.filePath(QStringLiteral("production.csv"));
        QProcess process;
        startFlash(process, {"--port", device.path(), "--file", exampleFirmware(), "--check", "--log", log});
        // The query's "r" has reached the device; its answer is 400 ms away
        // and the query waits two ticks more.
        QVERIFY(device.waitForTrace("[9600 baud] r", 30000));
        ::kill(pid_t(process.processId()), signal);
        const Run run = finish(process);

        QVERIFY2(run.status == 0, printed(run).constData());
        const QList<QByteArray> row = summaryRow(run.out, device.path());
        QVERIFY2(row.size() == 8 && row.at(3) == "pass" && row.at(6) == "interrupted", run.out.constData());
        const QList<QList<QByteArray>> lines = logLines(log);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().at(Result), "pass");
        QCOMPARE(lines.first().at(Version), "interrupted");
    }

    // On a terminal the port's line is redrawn in place, with the progress
    // bar while the image is on the wire, and the summary follows it.
    void liveLineOnATerminal()
    {
        Device device({});
        int master = -1;
        int slave = -1;
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        QProcess process;
        process.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
        startFlash(process, {"--port", device.path(), "--file", exampleFirmware()});
        ::close(slave);
        QByteArray screen;
        char buffer[4096];
        ssize_t got;
        // The terminal's end reads until the command has closed its side.
        while ((got = ::read(master, buffer, sizeof buffer)) > 0)
            screen.append(buffer, got);
        ::close(master);
        QCOMPARE(finish(process).status, 0);

        QVERIFY(screen.contains("\x1b[1A\r\x1b[2K")); // back up one line, clear it, draw it again
        QVERIFY(QRegularExpression(QStringLiteral("\\[#*\\.*\\] +\\d+%  \\d+ s left"))
                    .match(QString::fromLatin1(screen))
                    .hasMatch());
        QVERIFY(screen.contains("pass ("));
        QVERIFY(!summaryRow(screen.replace("\r\n", "\n"), device.path()).isEmpty());
    }

    void portHeldElsewhereIsUnavailable()
    {
        Device device({});
        QSerialPort holder(device.path());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        const Run run = flash({"--port", device.path(), "--file", exampleFirmware()});
        QVERIFY2(run.status == 5, printed(run).constData());
        QVERIFY2(run.out.contains("in use by another program"), run.out.constData());
    }

    // One port silent, one refusing the image, one unplugged while the image
    // is on the wire, one good: each ends with its own result and the good
    // one passes as if it were alone.
    void fourPortsEachWithItsOwnTrouble()
    {
        Device silent({"--silent"});
        Device refusing({"--image-reply", "ER"});
        Device unplugged({"--hangup-after", "5000"});
        Device good({"--rate", "19200"});
        QTemporaryDir directory;
        const QString log = directory.filePath(QStringLiteral("production.csv"));
        const Run run = flash({"--port", silent.path(), "--port", refusing.path(), "--port", unplugged.path(), "--port",
                               good.path(), "--file", exampleFirmware(), "--log", log});

        QVERIFY2(run.status == 4, printed(run).constData()); // the worst: no answer, above a failed download
        QVERIFY(!run.out.contains('\r'));
        struct Expected
        {
            QString port;
            QByteArray result;
            QByteArray status;
            QByteArray reply;
        };
        const QList<Expected> expected = {
            {silent.path(), "no-answer", "4", "-"},
            {refusing.path(), "fail", "1", "ER"},
            {unplugged.path(), "port-lost", "1", "-"},
            {good.path(), "pass", "0", "-"},
        };
        const QList<QList<QByteArray>> lines = logLines(log);
        QCOMPARE(lines.size(), 4);
        for (const Expected &port : expected) {
            const QList<QByteArray> row = summaryRow(run.out, port.port);
            QVERIFY2(row.size() == 8, run.out.constData());
            QCOMPARE(row.at(3), port.result);
            QCOMPARE(row.at(4), port.status);
            QCOMPARE(row.at(5), port.reply);

            const auto line = std::find_if(lines.begin(), lines.end(), [&](const QList<QByteArray> &fields) {
                return fields.value(Port) == port.port.toLocal8Bit();
            });
            QVERIFY(line != lines.end());
            QCOMPARE(line->size(), int(Columns));
            QCOMPARE(line->at(Result), port.result);
            QCOMPARE(line->at(Sha256), ExampleSha256);
        }
        const auto bytesSent = [&](const QString &port) {
            for (const QList<QByteArray> &line : lines) {
                if (line.at(Port) == port.toLocal8Bit())
                    return line.at(BytesSent).toInt();
            }
            return -1;
        };
        QCOMPARE(bytesSent(silent.path()), 0);
        QCOMPARE(bytesSent(good.path()), ExampleImageSize);
        QCOMPARE(bytesSent(refusing.path()), ExampleImageSize);
        QVERIFY(bytesSent(unplugged.path()) > 0 && bytesSent(unplugged.path()) < ExampleImageSize);
        // The good port took about as long as alone: a probe at its rate and
        // the download, not the others' troubles (the refusing one waits 12
        // ticks for a verdict).
        const QList<QByteArray> goodRow = summaryRow(run.out, good.path());
        QVERIFY2(goodRow.at(7).toDouble() < 8.0, goodRow.at(7).constData());
    }

    // The log's disk fills up: the line that does not fit is cut back to
    // nothing, the command says so and exits 6 with the port marked; a cut
    // line left by an earlier accident is kept and closed on opening; once
    // there is room again the next line is whole, right after the last.
    void fullDisk()
    {
        QTemporaryDir directory;
        SmallDisk disk(directory.filePath(QStringLiteral("disk")));
        if (!disk.mounted())
            QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here: ") + disk.error()));
        const QString log = directory.filePath(QStringLiteral("disk/production.csv"));
        // Earlier lines up to just short of the end of the file's first page:
        // the next line's start fits there, its end needs a page the full
        // disk no longer has.
        const QByteArray earlierLine =
            "2026-12-09T17:00:00.000+00:00,1,/dev/ttyS0,9600,/fw.txt,ab,20121,pass,OK!,,5300\n";
        QByteArray earlier = ProductionLog::Header;
        while (earlier.size() + 2 * earlierLine.size() < 4096 - 60)
            earlier += earlierLine;
        // The last one made as long as the room left, by its file's name.
        const qsizetype room = 4096 - 60 - earlier.size();
        earlier += QByteArray(earlierLine).replace("fw", QByteArray(room - earlierLine.size() + 2, 'f'));
        QCOMPARE(earlier.size(), 4096 - 60);
        const QByteArray cut = "2026-12-10T08:00:00.000+00:00,2,/dev/tty"; // a power cut in the middle of a line
        {
            QFile file(log);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(earlier + cut), earlier.size() + cut.size());
        }
        const QString filler = disk.fill();

        Device device({});
        const QStringList arguments{"--port", device.path(), "--file", exampleFirmware(), "--log", log};
        const Run full = flash(arguments);
        QVERIFY2(full.status == 6, printed(full).constData());
        QVERIFY2(full.err.contains("ended in an unfinished line of " + QByteArray::number(cut.size())
                                   + " bytes; it is kept, closed with a line end"),
                 full.err.constData());
        QVERIFY2(full.err.contains("its line could not be written to the production log: No space left on device"),
                 full.err.constData());
        const QList<QByteArray> row = summaryRow(full.out, device.path());
        QVERIFY2(row.size() == 8, full.out.constData());
        QCOMPARE(row.at(3), "pass*"); // the device took its image, and has no line
        QCOMPARE(row.at(4), "6");
        QVERIFY2(full.out.contains("* not in the production log"), full.out.constData());
        QVERIFY(full.out.endsWith("exit status 6\n"));
        earlier += cut + '\n';
        QCOMPARE(readFile(log), earlier);

        QVERIFY(QFile::remove(filler));
        const Run freed = flash(arguments);
        QVERIFY2(freed.status == 0, printed(freed).constData());
        QVERIFY2(freed.err.isEmpty(), freed.err.constData());
        const QByteArray text = readFile(log);
        QVERIFY(text.startsWith(earlier));
        const QList<QByteArray> line = text.sliced(earlier.size()).chopped(1).split(',');
        QCOMPARE(text.count('\n') - earlier.count('\n'), 1);
        QCOMPARE(line.size(), int(Columns));
        QCOMPARE(line.at(Result), "pass");
        QCOMPARE(line.at(BytesSent).toInt(), ExampleImageSize);
    }

    // A file named by mistake that is not a production log is refused
    // before any port is opened, and not a byte of it changes.
    void aFileThatIsNoLogIsRefusedBeforeAnyPort()
    {
        Device device({"--verbose"});
        QTemporaryDir directory;
        const QString notALog = directory.filePath(QStringLiteral("image.bin"));
        const QByteArray contents(99603, '\x01'); // no line end at all
        {
            QFile file(notALog);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(contents), contents.size());
        }
        const Run run = flash({"--port", device.path(), "--file", exampleFirmware(), "--log", notALog});

        QVERIFY2(run.status == 3, printed(run).constData());
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("tarvik-downloader flash: " + notALog.toLocal8Bit() + " is not a production log"),
                 run.err.constData());
        QCOMPARE(device.stop(), QByteArray()); // no port was opened
        QCOMPARE(readFile(notALog), contents);
    }

    // A record typed into the log by hand without its line end stays whole:
    // the command closes it and writes its own line after it.
    void aRecordWithoutItsLineEndIsKept()
    {
        Device device({});
        QTemporaryDir directory;
        const QString log = directory.filePath(QStringLiteral("production.csv"));
        const QByteArray typed = "2026-12-09T17:00:00.000+00:00,1,/dev/ttyS0,9600,/fw.txt,ab,20121,pass,OK!,,5300";
        {
            QFile file(log);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(ProductionLog::Header + typed), ProductionLog::Header.size() + typed.size());
        }
        const Run run = flash({"--port", device.path(), "--file", exampleFirmware(), "--log", log});

        QVERIFY2(run.status == 0, printed(run).constData());
        QVERIFY2(run.err.contains("ended in an unfinished line of " + QByteArray::number(typed.size())
                                  + " bytes; it is kept, closed with a line end"),
                 run.err.constData());
        const QList<QList<QByteArray>> lines = logLines(log);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0).join(','), typed);
        QCOMPARE(lines.at(1).value(Port), device.path().toLocal8Bit());
        QCOMPARE(lines.at(1).value(Result), "pass");
    }

    // The SSH session or the terminal goes away while a gang runs: the
    // command ends as on SIGTERM, every port stopped, the summary, and a log
    // line for every port, an image cut short with the bytes that went.
    void hangUpInTheMiddleOfAGang()
    {
        Device imaging({"--verbose"});
        Device probing({"--silent"});
        QTemporaryDir directory;
        const QString log = directory.filePath(QStringLiteral("production.csv"));
        QProcess process;
        startFlash(process,
                   {"--port", imaging.path(), "--port", probing.path(), "--file", exampleFirmware(), "--log", log});
        // A third of the image in (0.6 s of its 1.75 s): well past the first
        // report of its progress, well short of its end.
        QVERIFY(imaging.waitForImageBytes(ExampleImageSize / 3));
        // The id taken while the command surely runs: a process id of 0 would
        // signal the test's own process group.
        const pid_t pid = pid_t(process.processId());
        QVERIFY(pid > 0);
        ::kill(pid, SIGHUP);
        const Run run = finish(process);

        QVERIFY2(run.status == 130, printed(run).constData());
        QVERIFY2(run.out.endsWith("exit status 130\n"), run.out.constData());
        const QList<QList<QByteArray>> lines = logLines(log);
        QCOMPARE(lines.size(), 2);
        for (const QString &port : {imaging.path(), probing.path()}) {
            const QList<QByteArray> row = summaryRow(run.out, port);
            QVERIFY2(row.size() == 8 && row.at(3) == "interrupted", run.out.constData());
            const auto line = std::find_if(lines.begin(), lines.end(), [&](const QList<QByteArray> &fields) {
                return fields.value(Port) == port.toLocal8Bit();
            });
            QVERIFY(line != lines.end());
            QCOMPARE(line->size(), int(Columns));
            QCOMPARE(line->at(Result), "interrupted");
            const int sent = line->at(BytesSent).toInt();
            if (port == imaging.path())
                QVERIFY2(sent > 0 && sent < ExampleImageSize, line->at(BytesSent).constData());
            else
                QCOMPARE(sent, 0);
        }
    }

    // The reader of the output goes away (`flash ... | head -1`), or the
    // command starts with no standard output at all (`>&-`): the devices are
    // flashed and logged all the same, and the exit status is theirs.
    void outputGoneInTheMiddleOfAGang_data()
    {
        QTest::addColumn<bool>("readerGoes"); // else: started with standard output closed
        QTest::newRow("reader gone after the first line") << true;
        QTest::newRow("standard output closed") << false;
    }

    void outputGoneInTheMiddleOfAGang()
    {
        QFETCH(bool, readerGoes);
        Device first({});
        Device second({"--rate", "19200"});
        QTemporaryDir directory;
        const QString log = directory.filePath(QStringLiteral("production.csv"));
        int output[2] = {-1, -1};
        QVERIFY(::pipe2(output, O_CLOEXEC) == 0);
        QProcess process;
        const int writeEnd = output[1];
        process.setChildProcessModifier([readerGoes, writeEnd] {
            if (readerGoes)
                ::dup2(writeEnd, STDOUT_FILENO);
            else
                ::close(STDOUT_FILENO);
        });
        startFlash(process,
                   {"--port", first.path(), "--port", second.path(), "--file", exampleFirmware(), "--log", log});
        ::close(output[1]);
        if (readerGoes)
            QVERIFY(readFirstLine(output[0]));
        ::close(output[0]);
        const Run run = finish(process);

        QVERIFY2(run.status == 0, printed(run).constData());
        QVERIFY2(run.err.isEmpty(), run.err.constData());
        const QByteArray text = readFile(log);
        QVERIFY2(!text.contains("exit status"), text.constData()); // nothing of the output went into the log
        const QList<QList<QByteArray>> lines = logLines(log);
        QCOMPARE(lines.size(), 2);
        for (const QList<QByteArray> &line : lines) {
            QCOMPARE(line.size(), int(Columns));
            QCOMPARE(line.at(Result), "pass");
        }
    }

    // A device that answers the image with a formula and line ends, a port
    // reached through a link whose name holds a line end and an escape
    // sequence, a firmware file named like a formula: one log line whose
    // cells open no formula and read back as they were, and a summary that
    // neither breaks its lines nor steers the terminal.
    void hostileReplyAndPaths()
    {
        const QByteArray reply = "=HYPERLINK(\"http://x\",\"ok\")\r\n";
        Device device({"--image-reply", QString::fromLatin1(reply)});
        QTemporaryDir directory;
        const QString port = directory.filePath(QStringLiteral("port\n=1+2\x1b[31m"));
        QVERIFY(QFile::link(device.path(), port));
        const QString firmware = directory.filePath(QStringLiteral("-fw,\"1\"\r\n.txt"));
        QVERIFY(QFile::copy(exampleFirmware(), firmware));
        const QString log = directory.filePath(QStringLiteral("production.csv"));
        const Run run = flash({"--port", port, "--file", firmware, "--log", log});

        QVERIFY2(run.status == 1, printed(run).constData());
        QVERIFY2(!run.out.contains('\x1b') && !run.err.contains('\x1b'), run.out.constData());
        const QList<QByteArray> row = summaryRow(run.out, directory.filePath(QStringLiteral("port\\n=1+2\\x1b[31m")));
        QVERIFY2(row.size() == 8 && row.at(3) == "fail", run.out.constData());

        const QByteArray text = readFile(log);
        QVERIFY(text.startsWith(ProductionLog::Header));
        QCOMPARE(text.count('\n'), 2); // the header and one line
        const QList<QByteArray> cells = csvCells(text.sliced(ProductionLog::Header.size()).chopped(1));
        QCOMPARE(cells.size(), int(Columns));
        QVERIFY2(noCellOpensAFormula(cells), text.constData());
        QCOMPARE(readBackCell(cells.at(Port)), QFile::encodeName(port));
        QCOMPARE(readBackCell(cells.at(File)), QFile::encodeName(firmware));
        QCOMPARE(readBackCell(cells.at(Reply)), reply);
        QCOMPARE(cells.at(Result), "fail");
    }

    // A station killed mid-run (power cut, SIGKILL) keeps every line written
    // so far, whole, and no part of a line.
    void logLinesStayWholeWhenKilled()
    {
        Device first({});
        Device second({});
        Device slow({"--image-reply", "ER"}); // still waiting for its verdict when killed
        QTemporaryDir directory;
        const QString log = directory.filePath(QStringLiteral("production.csv"));
        const QByteArray earlier =
            ProductionLog::Header + "2026-12-09T17:00:00.000+00:00,1,/dev/ttyS0,9600,/fw.txt,ab,20121,pass,OK!,,5300\n";
        {
            QFile file(log);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(earlier);
        }
        QProcess process;
        startFlash(process, {"--port", first.path(), "--port", second.path(), "--port", slow.path(), "--file",
                             exampleFirmware(), "--log", log});
        // Killed once the two quick ports have their lines, whatever their
        // result on a busy machine, while the third still waits.
        QElapsedTimer clock;
        clock.start();
        while (logLines(log).size() < 3 && clock.elapsed() < 30000)
            process.waitForReadyRead(200);
        QCOMPARE(logLines(log).size(), 3);
        process.kill();
        QVERIFY(process.waitForFinished(5000));

        const QByteArray text = readFile(log);
        QVERIFY(text.startsWith(earlier));
        QVERIFY(text.endsWith('\n'));
        const QList<QList<QByteArray>> lines = logLines(log);
        QCOMPARE(lines.size(), 3);
        for (const QList<QByteArray> &line : lines.sliced(1)) {
            QCOMPARE(line.size(), int(Columns));
            QVERIFY2(line.at(Result) != "fail" || line.at(Port) != slow.path().toLocal8Bit(), "killed too late");
        }
    }
};

QTEST_GUILESS_MAIN(FlashCommandTest)
#include "tst_flash_command.moc"
