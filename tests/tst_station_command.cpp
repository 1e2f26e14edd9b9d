// `tarvik-downloader station` end to end: the real program as a process of
// its own, with no display, against simulated fixtures in this process.

#include "support/CommandFixture.h"
#include "support/SmallDisk.h"

#include "log/ProductionLog.h"

#include "sim/Fixture.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <memory>
#include <vector>

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

// Where the tests put each device's number (le:4): the example firmware has
// data only far below it.
constexpr quint32 NumberAddress = 0x0800F000;

QStringList numberOptions(const QString &counter, const QString &statePath)
{
    return {"--number-at",      "0x0800F000", "--number-form",  "le:4",
            "--number-counter", counter,      "--number-state", statePath};
}

// The number a device's image left in its memory.
quint64 numberIn(const DeviceMemory &memory)
{
    return qFromLittleEndian<quint32>(memory.read(NumberAddress, 4).constData());
}

// The counter's next number as the state file records it; -1 when it holds none.
qint64 stateNext(const QString &statePath)
{
    const QList<QByteArray> lines = readFile(statePath).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("next="))
            return line.mid(5).toLongLong();
    }
    return -1;
}

// A pseudo-terminal for the program's standard output, read as the screen
// an operator sees: the live view.
class TerminalScreen
{
public:
    TerminalScreen()
    {
        winsize size{};
        size.ws_row = 40;
        size.ws_col = 200; // wide enough for a temporary directory's long names
        if (::openpty(&m_master, &m_slave, nullptr, nullptr, &size) != 0)
            qFatal("cannot open a pseudo-terminal");
        ::fcntl(m_master, F_SETFL, O_NONBLOCK);
    }
    ~TerminalScreen()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        ::close(m_master);
    }
    TerminalScreen(const TerminalScreen &) = delete;
    TerminalScreen &operator=(const TerminalScreen &) = delete;

    // Starts the station with its standard output on this terminal.
    void startStation(QProcess &process, const QStringList &arguments)
    {
        const int slave = m_slave;
        process.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
        startProgram(process, QStringList{"station"} + arguments);
        ::close(m_slave);
        m_slave = -1;
    }

    // Reads the screen until it shows `text` or the timeout passes.
    bool waitFor(const QByteArray &text, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_screen.contains(text) && clock.elapsed() < timeoutMs) {
            pollfd ready{m_master, POLLIN, 0};
            ::poll(&ready, 1, 100);
            char buffer[4096];
            const ssize_t got = ::read(m_master, buffer, sizeof buffer);
            if (got > 0)
                m_screen.append(buffer, got);
        }
        return m_screen.contains(text);
    }

    const QByteArray &screen() const { return m_screen; }

private:
    int m_master = -1;
    int m_slave = -1;
    QByteArray m_screen;
};

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

    // "STATE" in the arguments stands for a numbers' state file in a new
    // folder, holding `state` when that is not empty.
    void usageAndFileErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no port") << QStringList{"--file", exampleFirmware()} << QByteArray() << 2
                                 << QByteArray("no port");
        QTest::newRow("bad option") << QStringList{"--port", "1", "--file", exampleFirmware(), "--loop"} << QByteArray()
                                    << 2 << QByteArray("unknown option");
        QTest::newRow("no firmware") << QStringList{"--port", "/dev/null", "--file", "/nonexistent/f.txt"}
                                     << QByteArray() << 3 << QByteArray("cannot read the firmware file");

        const QStringList station{"--port", "/dev/null", "--file", exampleFirmware()};
        QTest::newRow("numbers without a form")
            << station + QStringList{"--number-at", "0x0800F000", "--number-counter", "1", "--number-state", "STATE"}
            << QByteArray() << 2 << QByteArray("need --number-at ADDRESS and --number-form FORM");
        QTest::newRow("numbers from a counter and a list")
            << station + numberOptions("1", "STATE") + QStringList{"--number-list", "/nonexistent/list.txt"}
            << QByteArray() << 2 << QByteArray("give --number-counter or --number-list");
        QTest::newRow("numbers without a log or a state")
            << station + QStringList{"--number-at", "0x0800F000", "--number-form", "le:4", "--number-counter", "1"}
            << QByteArray() << 2 << QByteArray("give --log, or --number-state");
        QTest::newRow("profile with a port") << QStringList{"--profile", "/nonexistent/p.profile", "--port", "1"}
                                             << QByteArray() << 2 << QByteArray("give only --terminal with it");
        QTest::newRow("profile with a number option")
            << QStringList{"--profile", "/nonexistent/p.profile", "--number-counter", "5"} << QByteArray() << 2
            << QByteArray("give only --terminal with it");
        QStringList badForm = station + numberOptions("1", "STATE");
        badForm[badForm.indexOf("le:4")] = "le:9";
        QTest::newRow("bad number form") << badForm << QByteArray() << 3
                                         << QByteArray("the number's form \"le:9\" needs a byte count from 1 to 8");
        QTest::newRow("numbers used up") << station + numberOptions("1,1,5", "STATE")
                                         << QByteArray("source=counter\nnext=6\n") << 3
                                         << QByteArray("the numbers are used up");
    }

    void usageAndFileErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, state);
        QFETCH(int, status);
        QFETCH(QByteArray, message);
        QTemporaryDir dir;
        const QString statePath = dir.filePath(QStringLiteral("numbers.state"));
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^STATE$")), statePath);
        if (!state.isEmpty()) {
            QFile file(statePath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(state), state.size());
        }
        QProcess process;
        startStation(process, arguments);
        QVERIFY(process.waitForFinished(10000));
        const QByteArray err = process.readAllStandardError();
        QVERIFY2(process.exitCode() == status, err.constData());
        QVERIFY2(err.contains(message), err.constData());
        // A refused start leaves the state as it found it.
        if (state.isEmpty())
            QVERIFY(!QFile::exists(statePath));
        else
            QCOMPARE(readFile(statePath), state);
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
        TerminalScreen terminal;
        QProcess process;
        terminal.startStation(process,
                              {"--port", link, "--file", exampleFirmware(), "--port", dir.filePath("missing")});
        terminal.waitFor("remove the device", 60000);
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray &screen = terminal.screen();
        QVERIFY(screen.contains("\x1b[2K")); // lines cleared and drawn again in place
        QVERIFY(screen.contains("sha256 "));
        QVERIFY(screen.contains("waiting for the port"));
        QVERIFY(screen.contains("sending ["));
        QVERIFY(screen.contains("PASS"));
    }

    // Two stations, four slots each, drawing from one counter and appending
    // to one log: no number goes to two devices, each pass's line names the
    // number its device holds, a refused device's number (it took the whole
    // image) is skipped and never used again, and the state is past them all.
    void twoStationsShareOneCounter()
    {
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("line.csv"));
        const QString state = dir.filePath(QStringLiteral("line.numbers"));
        // A refused device stays past the slot's twelve ticks on its answer,
        // and every port is empty long enough for its slot to see the device
        // go before the next comes.
        const FixtureSchedule passThenRefuse = schedule(R"(
            rate=115200 after=reset stay=verdict+0.5 gap=3
            rate=115200 reply=refuse stay=verdict+1 gap=60
        )");
        const FixtureSchedule refuseThenPass = schedule(R"(
            rate=57600 reply=refuse stay=verdict+8 gap=3
            rate=57600 after=reset stay=verdict+0.5 gap=60
        )");
        constexpr int SlotsPerStation = 4;
        std::vector<std::unique_ptr<Fixture>> fixtures;
        QStringList ports[2];
        for (int i = 0; i < 2 * SlotsPerStation; ++i) {
            const QString link = dir.filePath(QStringLiteral("slot%1").arg(i + 1));
            fixtures.push_back(std::make_unique<Fixture>(link, i % 2 == 0 ? passThenRefuse : refuseThenPass));
            ports[i / SlotsPerStation] << QStringLiteral("--port") << link;
        }
        for (const std::unique_ptr<Fixture> &fixture : fixtures)
            fixture->start();
        QProcess stations[2];
        for (int s = 0; s < 2; ++s) {
            startStation(stations[s], ports[s] + QStringList{"--file", exampleFirmware(), "--log", log}
                                          + numberOptions(QStringLiteral("1000"), state));
        }
        const qsizetype attempts = 2 * SlotsPerStation * 2;
        QTRY_VERIFY_WITH_TIMEOUT(logRows(log).size() >= attempts, 150000);
        for (QProcess &station : stations) {
            const Run run = stopWith(station, {}, SIGINT);
            QVERIFY2(run.status == 0, printed(run).constData());
        }

        const QList<QList<QByteArray>> rows = logRows(log);
        QCOMPARE(rows.size(), attempts);
        QSet<quint64> passed;
        QSet<quint64> skipped;
        for (const std::unique_ptr<Fixture> &fixture : fixtures) {
            // The port's lines in order against its devices in order: the
            // log's serial is the number the device was given.
            QList<QByteArray> logged;
            for (const QList<QByteArray> &row : rows) {
                QCOMPARE(row.size(), 12);
                if (row.at(1) == fixture->linkPath().toUtf8())
                    logged << row.at(7) + ' ' + row.at(11);
            }
            QList<QByteArray> held;
            for (const Fixture::Record &record : fixture->records()) {
                const QByteArray number = QByteArray::number(numberIn(record.memory));
                if (record.answeredOk > 0) {
                    held << "pass " + number;
                    QVERIFY2(!passed.contains(number.toULongLong()), number.constData());
                    passed.insert(number.toULongLong());
                } else if (record.answeredEr > 0) {
                    held << "fail " + number + " skipped";
                    skipped.insert(number.toULongLong());
                }
            }
            QCOMPARE(logged, held);
        }
        QCOMPARE(passed.size(), attempts / 2);
        QCOMPARE(skipped.size(), attempts / 2);
        QVERIFY(!passed.intersects(skipped));
        const QSet<quint64> seen = passed + skipped;
        for (const quint64 number : seen)
            QVERIFY(number >= 1000 && qint64(number) < stateNext(state));
    }

    // A station killed in the middle of an image, its number taken: the
    // station started again on the same state never hands that number out.
    void killedMidImageItsNumberIsNeverGivenAgain()
    {
        QTemporaryDir dir;
        const QString state = dir.filePath(QStringLiteral("line.numbers"));
        const QString log = dir.filePath(QStringLiteral("line.csv"));
        const QString firstLink = dir.filePath(QStringLiteral("slot1"));
        Fixture first(firstLink, schedule("rate=38400 stay=verdict+1 gap=60"));
        first.start();
        {
            TerminalScreen screen;
            QProcess station;
            screen.startStation(station, QStringList{"--port", firstLink, "--file", exampleFirmware(), "--log", log}
                                             + numberOptions(QStringLiteral("2000"), state));
            QVERIFY2(screen.waitFor("sending [#", 60000), screen.screen().right(2000).constData());
            QCOMPARE(stateNext(state), 2001);
            ::kill(pid_t(station.processId()), SIGKILL);
            QVERIFY(station.waitForFinished(30000));
        }
        QCOMPARE(first.record(0).imagesReceived, 0);

        const QString nextLink = dir.filePath(QStringLiteral("slot2"));
        Fixture next(nextLink, schedule("rate=38400 after=keep stay=verdict+30 gap=60"));
        next.start();
        QProcess again;
        startStation(again, QStringList{"--port", nextLink, "--file", exampleFirmware(), "--log", log}
                                + numberOptions(QStringLiteral("2000"), state));
        QTRY_VERIFY_WITH_TIMEOUT(logRows(log).size() == 1, 60000);
        const Run run = stopWith(again, {}, SIGINT);
        QVERIFY2(run.status == 0, printed(run).constData());
        const QList<QByteArray> row = logRows(log).at(0);
        QCOMPARE(row.at(7), QByteArray("pass"));
        QCOMPARE(row.at(11), QByteArray("2001"));
        QCOMPARE(numberIn(next.record(0).memory), 2001u);
        QCOMPARE(stateNext(state), 2002);
    }

    // A profile written from the command line names the firmware beside it
    // by its own name and its digest, and runs the station it describes; a
    // firmware file changed after it was written is refused, not flashed.
    void profileWrittenRunAndGuarded()
    {
        QTemporaryDir dir;
        const QString firmware = dir.filePath(QStringLiteral("board.txt"));
        QVERIFY(QFile::copy(exampleFirmware(), firmware));
        const QByteArray digest = QCryptographicHash::hash(readFile(firmware), QCryptographicHash::Sha256).toHex();
        const QString link = dir.filePath(QStringLiteral("slot1"));
        const QString log = dir.filePath(QStringLiteral("line.csv"));
        const QString profile = dir.filePath(QStringLiteral("line.profile"));

        const QStringList saveProfile{
            "--port",        link,   "--file",           firmware,    "--log",         log, "--number-at", "0x0800F000",
            "--number-form", "le:4", "--number-counter", "500,1,599", "--save-profile"};
        QProcess save;
        startStation(save, saveProfile + QStringList{profile});
        QVERIFY(save.waitForFinished(10000));
        QVERIFY2(save.exitCode() == 0, save.readAllStandardError().constData());
        QVERIFY(save.readAllStandardOutput().contains("profile written to"));
        QVERIFY(!QFile::exists(log)); // written, not run
        const QByteArray text = readFile(profile);
        const QList<QByteArray> lines{"firmware = board.txt\n",         "firmware-sha256 = " + digest + '\n',
                                      "port = " + link.toUtf8() + '\n', "log = line.csv\n",
                                      "number-at = 0x0800F000\n",       "number-form = le:4\n",
                                      "number-counter = 500,1,599\n"};
        for (const QByteArray &line : lines) {
            QVERIFY2(text.contains(line), text.constData());
        }

        {
            Fixture fixture(link, schedule("rate=115200 after=keep stay=verdict+30 gap=60"));
            fixture.start();
            QProcess station;
            startStation(station, {"--profile", profile, "--terminal"});
            QTRY_VERIFY_WITH_TIMEOUT(logRows(log).size() == 1, 60000);
            const Run run = stopWith(station, {}, SIGINT);
            QVERIFY2(run.status == 0, printed(run).constData());
            const QList<QByteArray> row = logRows(log).at(0);
            QCOMPARE(row.at(7), QByteArray("pass"));
            QCOMPARE(row.at(11), QByteArray("500"));
            QCOMPARE(numberIn(fixture.record(0).memory), 500u);
            // Kept beside the log when the profile names no state file.
            QCOMPARE(stateNext(dir.filePath(QStringLiteral("line.numbers"))), 501);
        }

        {
            QFile file(firmware);
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.write("\n") == 1);
        }
        const QByteArray changed = QCryptographicHash::hash(readFile(firmware), QCryptographicHash::Sha256).toHex();
        const QByteArray logBefore = readFile(log);
        QProcess refused;
        startStation(refused, {"--profile", profile});
        QVERIFY(refused.waitForFinished(10000));
        const QByteArray err = refused.readAllStandardError();
        QVERIFY2(refused.exitCode() == 3, err.constData());
        QVERIFY2(err.contains(firmware.toUtf8()) && err.contains(digest) && err.contains(changed), err.constData());
        QCOMPARE(readFile(log), logBefore);

        // The new build's profile is made over the earlier one; a profile
        // named over the log by a slip of the hand leaves the log as it is.
        QProcess remade;
        startStation(remade, saveProfile + QStringList{profile});
        QVERIFY(remade.waitForFinished(10000));
        QVERIFY2(remade.exitCode() == 0, remade.readAllStandardError().constData());
        QVERIFY(readFile(profile).contains("firmware-sha256 = " + changed + '\n'));
        QProcess overTheLog;
        startStation(overTheLog, saveProfile + QStringList{log});
        QVERIFY(overTheLog.waitForFinished(10000));
        const QByteArray overErr = overTheLog.readAllStandardError();
        QVERIFY2(overTheLog.exitCode() == 3 && overErr.contains("not a station profile"), overErr.constData());
        QCOMPARE(readFile(log), logBefore);

        // A port mistyped in a profile is the profile's fault, not the
        // command line's.
        const QString badPort = dir.filePath(QStringLiteral("bad-port.profile"));
        {
            QFile file(badPort);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(text).replace("port = " + link.toUtf8(), "port = 99"));
        }
        QProcess mistyped;
        startStation(mistyped, {"--profile", badPort});
        QVERIFY(mistyped.waitForFinished(10000));
        const QByteArray portErr = mistyped.readAllStandardError();
        QVERIFY2(mistyped.exitCode() == 3, portErr.constData());
        QVERIFY2(portErr.contains(badPort.toUtf8()) && portErr.contains("'99'"), portErr.constData());
    }

    // A log begun before devices had numbers has no serial column: a station
    // that gives numbers refuses it and leaves it as it is; one without
    // numbers goes on appending lines as wide as its header.
    void logWithoutTheSerialColumn()
    {
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("old.csv"));
        const QString state = dir.filePath(QStringLiteral("old.numbers"));
        const QByteArray earlier =
            ProductionLog::HeaderWithoutSerial
            + "2026-12-09T17:00:00.000+00:00,1,/dev/ttyS0,9600,/fw.txt,ab,20121,pass,OK!,,5300\n";
        {
            QFile file(log);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(earlier), earlier.size());
        }
        const QString link = dir.filePath(QStringLiteral("slot1"));
        const QStringList station{"--port", link, "--file", exampleFirmware(), "--log", log};

        QProcess refused;
        startStation(refused, station + numberOptions(QStringLiteral("1"), state));
        QVERIFY(refused.waitForFinished(10000));
        const QByteArray err = refused.readAllStandardError();
        QVERIFY2(refused.exitCode() == 3, err.constData());
        QVERIFY2(err.contains("no serial column") && err.contains(log.toUtf8()), err.constData());
        QCOMPARE(readFile(log), earlier);
        QVERIFY(!QFile::exists(state));

        Fixture fixture(link, schedule("rate=115200 after=keep stay=verdict+30 gap=60"));
        fixture.start();
        QProcess process;
        startStation(process, station);
        QTRY_VERIFY_WITH_TIMEOUT(logRows(log).size() == 2, 60000);
        const Run run = stopWith(process, {}, SIGINT);
        QVERIFY2(run.status == 0, printed(run).constData());
        QVERIFY(readFile(log).startsWith(earlier));
        const QList<QByteArray> row = logRows(log).at(1);
        QCOMPARE(row.size(), 11);
        QCOMPARE(row.at(7), QByteArray("pass"));
    }
};

QTEST_GUILESS_MAIN(StationCommandTest)
#include "tst_station_command.moc"
