// The simulated fixture: its schedule's text form, and devices coming and
// going on the port's name as the program's serial layer sees them.

#include "base/Failure.h"
#include "engine/DeviceLink.h"
#include "serial/PortResolver.h"
#include "sim/Fixture.h"
#include "sim/SimulatedDevice.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <functional>
#include <mutex>
#include <variant>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(FixtureVisit)

namespace {

const QByteArray SmallImage = ":-:::::-\r:10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r:00000001FF\r";

FixtureSchedule scheduleOf(const QByteArray &text)
{
    QString error;
    const std::optional<FixtureSchedule> schedule = FixtureSchedule::parse(text, &error);
    if (!schedule)
        qFatal("bad schedule in the test: %s", qPrintable(error));
    return *schedule;
}

// Sends "!" at `rate` and says whether "!" came back within `wait`.
bool answersProbe(QSerialPort &port, int rate, std::chrono::milliseconds wait = 1s)
{
    port.setBaudRate(rate);
    port.readAll();
    port.write("!");
    port.waitForBytesWritten(1000);
    QByteArray reply;
    const QDeadlineTimer deadline(wait);
    while (reply.isEmpty() && !deadline.hasExpired()) {
        if (port.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            reply += port.readAll();
    }
    return reply == "!";
}

// Waits for the condition without handling events, as a program busy
// elsewhere reads nothing meanwhile.
bool withoutEvents(const std::function<bool()> &condition)
{
    const QDeadlineTimer deadline(10s);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(1);
    }
    return true;
}

bool nodeExists(const QString &link)
{
    return QFileInfo(link).exists(); // follows the link: false for a dangling or missing one
}

qint64 msBetween(Fixture::Clock::time_point from, Fixture::Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// A link to the fixture's port through the program's own engine.
struct Station
{
    explicit Station(const QString &linkPath)
        : link(resolver)
    {
        resolver.assign(1, linkPath);
        link.setCollecting(true);
    }
    // The download on a port opened for it; the failure's number when the
    // port failed instead.
    std::variant<QByteArray, int> download(int rate, const QByteArray &image)
    {
        try {
            link.open(1);
            QByteArray reply = link.download(QString::number(rate), image);
            link.close();
            return reply;
        } catch (const Failure &failure) {
            link.close();
            return failure.number();
        }
    }
    FixedPortResolver resolver;
    DeviceLink link;
};

} // namespace

class FixtureTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error"); // empty: it parses
        QTest::addColumn<FixtureVisit>("first");
        QTest::addColumn<int>("visits");
        QTest::addColumn<int>("repeat");

        const FixtureVisit defaults;
        QTest::newRow("defaults") << QByteArray("rate=9600") << QString() << FixtureVisit{defaults} << 1 << 1;

        FixtureVisit full;
        full.rate = 38400;
        full.version = 42;
        full.latencyMs = 50;
        full.reply = FixtureVisit::Reply::Refuse;
        full.after = FixtureVisit::After::Reset;
        full.stayFromVerdict = true;
        full.stay = 500ms;
        full.patience = 30s;
        full.gap = 2s;
        full.usb = true;
        full.pull = true;
        QTest::newRow("every word") << QByteArray(
            "rate=38400 version=42 latency=50 reply=refuse after=reset stay=verdict+0.5 "
            "patience=30 gap=2 usb pull")
                                    << QString() << full << 1 << 1;

        FixtureVisit fixed;
        fixed.rate = 115200;
        fixed.stayFromVerdict = false;
        fixed.stay = 1250ms;
        fixed.gap = 0ms;
        fixed.reply = FixtureVisit::Reply::Silent;
        QTest::newRow("fixed stay, no gap, tabs and CR LF")
            << QByteArray("\tstay=1.25\treply=silent  rate=115200 gap=0\r\n") << QString() << fixed << 1 << 1;

        FixtureVisit text;
        text.reply = FixtureVisit::Reply::Text;
        text.replyText = QByteArray("O K#\r\\\xff");
        text.stay = 0ms;
        QTest::newRow("text reply with escapes, verdict+0")
            << QByteArray("reply=text:O\\x20K\\x23\\r\\\\\\xFF stay=verdict+0") << QString() << text << 1 << 1;

        QTest::newRow("comments, blank lines, repeat")
            << QByteArray("# slot 1\n\nrate=9600 # the first\n   \nrepeat=250\nrate=19200\n") << QString()
            << FixtureVisit{defaults} << 2 << 250;

        const auto error = [](const char *name, const char *text, const char *message) {
            QTest::newRow(name) << QByteArray(text) << QString::fromUtf8(message) << FixtureVisit{} << 0 << 0;
        };
        error("nothing", "# only a comment\n\n", "the schedule has no visit");
        error("unknown word", "rate=9600\nrate=9600 usbb", "line 2: unknown word 'usbb'");
        error("unknown key", "speed=9600", "line 1: unknown key 'speed'");
        error("rate not one of the five", "rate=4800",
              "line 1: rate must be one of 9600, 19200, 38400, 57600, 115200, not '4800'");
        error("rate not a number", "rate=fast",
              "line 1: rate must be one of 9600, 19200, 38400, 57600, 115200, not 'fast'");
        error("version too big", "version=256", "line 1: version must be a number from 0 to 255, not '256'");
        error("version negative", "version=-1", "line 1: version must be a number from 0 to 255, not '-1'");
        error("latency with a unit", "latency=20ms",
              "line 1: latency must be milliseconds from 0 to 60000, not '20ms'");
        error("reply unknown", "reply=ok", "line 1: reply must be check, refuse, silent or text:..., not 'ok'");
        error("reply text empty", "reply=text:",
              "line 1: reply=text: needs a text, with \\xNN, \\r, \\n or \\\\ for other bytes, not 'text:'");
        error("reply text bad escape", "reply=text:A\\x4",
              "line 1: reply=text: needs a text, with \\xNN, \\r, \\n or \\\\ for other bytes, not 'text:A\\x4'");
        error("after unknown", "after=reboot", "line 1: after must be keep or reset, not 'reboot'");
        error("stay zero", "stay=0", "line 1: stay must be seconds (more than 0) or verdict+seconds, not '0'");
        error("stay exponent", "stay=1e3", "line 1: stay must be seconds (more than 0) or verdict+seconds, not '1e3'");
        error("stay verdict without seconds", "stay=verdict+",
              "line 1: stay must be seconds (more than 0) or verdict+seconds, not 'verdict+'");
        error("stay too long", "stay=86401",
              "line 1: stay must be seconds (more than 0) or verdict+seconds, not '86401'");
        error("gap negative", "gap=-1", "line 1: gap must be seconds, not '-1'");
        error("gap bare point", "gap=1.", "line 1: gap must be seconds, not '1.'");
        error("patience zero", "patience=0", "line 1: patience must be seconds (more than 0), not '0'");
        error("key twice", "rate=9600 gap=1 rate=19200", "line 1: 'rate' given twice");
        error("bare word with a value", "usb=yes", "line 1: 'usb' is a bare word and takes no value");
        error("repeat beside a visit", "repeat=2 rate=9600", "line 1: repeat=N stands on a line of its own");
        error("repeat twice", "repeat=2\nrate=9600\nrepeat=3", "line 3: repeat given twice (first on line 1)");
        error("repeat zero", "repeat=0\nrate=9600", "line 1: repeat must be a whole number from 1 to 1000000, not '0'");
    }

    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QFETCH(FixtureVisit, first);
        QFETCH(int, visits);
        QFETCH(int, repeat);

        QString reason;
        const std::optional<FixtureSchedule> schedule = FixtureSchedule::parse(text, &reason);
        if (!error.isEmpty()) {
            QVERIFY(!schedule);
            QCOMPARE(reason, error);
            return;
        }
        QVERIFY2(schedule, qPrintable(reason));
        QCOMPARE(schedule->visits.size(), visits);
        QCOMPARE(schedule->repeat, repeat);
        FixtureVisit read = schedule->visits.first();
        QVERIFY(read.line > 0);
        read.line = 0;
        QCOMPARE(read.text(), first.text());
        QVERIFY(read == first);
        // The text form written out reads back as the same visit.
        const std::optional<FixtureSchedule> again = FixtureSchedule::parse(read.text().toUtf8(), &reason);
        QVERIFY2(again, qPrintable(reason));
        FixtureVisit reread = again->visits.first();
        reread.line = 0;
        QVERIFY(reread == read);
    }

    // The schedules shipped for the demo's slots all read.
    void exampleSchedulesRead()
    {
        const QDir dir(qEnvironmentVariable("TARVIK_SOURCE_DIR") + QStringLiteral("/examples/fixtures"));
        const QStringList names = dir.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
        QVERIFY(!names.isEmpty());
        for (const QString &name : names) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QString error;
            QVERIFY2(FixtureSchedule::parse(file.readAll(), &error), qPrintable(name + QStringLiteral(": ") + error));
        }
    }

    // The device's own switch: an absent device hears nothing and says
    // nothing; a present one starts the protocol from the start, even in the
    // middle of a download.
    void absentDeviceHearsNothingAndComesBackFresh()
    {
        SimulatedDevice device;
        device.setOwnRate(19200);
        device.setReplyLatency(20);
        QSerialPort port;
        port.setPortName(device.portPath());
        QVERIFY(port.open(QIODevice::ReadWrite));

        device.setPresent(false);
        QVERIFY(!answersProbe(port, 19200, 300ms));
        QCOMPARE(device.received(), QByteArray());

        device.setPresent(true);
        port.write("dl"); // now it listens at 115200 for "e"
        port.waitForBytesWritten(1000);
        QVERIFY(device.waitForReceived([](const QByteArray &bytes) { return bytes.endsWith("dl"); }, 2s));
        QVERIFY(!answersProbe(port, 19200, 300ms));
        device.setPresent(true);
        QVERIFY(answersProbe(port, 19200));
    }

    // A device on a plain adapter: found at its rate, flashed, and then
    // (keep) still answering or (reset) deaf until it leaves; the line stays
    // while the port has no device, and the next device is a fresh one.
    void plainAdapterDeviceAfterItsVerdict_data()
    {
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("keep") << QByteArray("keep");
        QTest::newRow("reset") << QByteArray("reset");
    }

    void plainAdapterDeviceAfterItsVerdict()
    {
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot1"));
        Fixture fixture(linkPath, scheduleOf("rate=38400 version=42 after=" + after
                                             + " stay=verdict+1.5 gap=1\n"
                                               "rate=19200 version=7 stay=30\n"));
        fixture.start();
        QCOMPARE(fixture.currentVisit(), 0);
        const QString line = fixture.portPath();
        QCOMPARE(QFileInfo(linkPath).symLinkTarget(), line);

        QSerialPort port;
        port.setPortName(linkPath);
        QVERIFY(port.open(QIODevice::ReadWrite));
        QVERIFY(!answersProbe(port, 9600, 300ms));
        QVERIFY(answersProbe(port, 38400));
        port.close();

        Station station(linkPath);
        QCOMPARE(station.download(38400, SmallImage), (std::variant<QByteArray, int>(QByteArray("OK!"))));
        QVERIFY(port.open(QIODevice::ReadWrite));
        QCOMPARE(fixture.currentVisit(), 0);
        QCOMPARE(answersProbe(port, 38400), after == "keep");

        QVERIFY(fixture.waitForLeave(0, 10s));
        QVERIFY(!answersProbe(port, 38400, 300ms));
        QCOMPARE(fixture.portPath(), line); // the adapter stays, and the port with it
        QVERIFY(port.isOpen());

        QVERIFY(fixture.waitForArrival(1, 10s));
        QVERIFY(answersProbe(port, 19200));
        QVERIFY(!answersProbe(port, 38400, 300ms));
        port.setBaudRate(19200);
        port.write("r");
        QVERIFY(port.waitForReadyRead(2000));
        QCOMPARE(port.readAll(), QByteArray("\x07"));

        const Fixture::Record first = fixture.record(0);
        QCOMPARE(first.imagesReceived, 1);
        QCOMPARE(first.answeredOk, 1);
        QCOMPARE(first.answeredEr, 0);
        QCOMPARE(first.images, QList<QByteArray>{SmallImage});
        QVERIFY(first.probesAnswered >= (after == "keep" ? 2 : 1));
        QVERIFY(first.firstProbeAt && first.firstAnswerAt && first.commandsAt && first.verdictAt);
        QVERIFY(*first.firstAnswerAt <= *first.commandsAt && *first.commandsAt <= *first.verdictAt);
        // Deadlines, never early: the stay counts from the verdict, the gap
        // from the planned leave.
        QVERIFY2(msBetween(*first.verdictAt, *first.leftAt) >= 1500,
                 qPrintable(QString::number(msBetween(*first.verdictAt, *first.leftAt))));
        QVERIFY(msBetween(*first.verdictAt, *fixture.record(1).arrivedAt) >= 2500);
        QCOMPARE(fixture.record(1).imagesReceived, 0);
        QCOMPARE(fixture.record(1).portPath, line);
    }

    // How a device answers an image, by its reply.
    void imageReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("ok");
        QTest::addColumn<int>("er");
        QTest::newRow("check, good image") << QByteArray("check") << SmallImage << QByteArray("OK!") << 1 << 0;
        QByteArray bad = SmallImage;
        bad.replace("EE0\r", "EE1\r");
        QTest::newRow("check, bad checksum") << QByteArray("check") << bad << QByteArray("ER") << 0 << 1;
        QTest::newRow("refuse") << QByteArray("refuse") << SmallImage << QByteArray("ER") << 0 << 1;
        QTest::newRow("text") << QByteArray("text:OK") << SmallImage << QByteArray("OK") << 0 << 0;
    }

    void imageReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, answer);
        QFETCH(int, ok);
        QFETCH(int, er);
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        Fixture fixture(linkPath, scheduleOf("rate=57600 stay=verdict+0 reply=" + reply));
        fixture.start();

        // The download's bytes by hand: the engine would wait its twelve
        // ticks on every answer but "OK!".
        QSerialPort port;
        port.setPortName(linkPath);
        QVERIFY(port.open(QIODevice::ReadWrite));
        port.setBaudRate(57600);
        port.write("dl");
        port.waitForBytesWritten(1000);
        QTRY_VERIFY(fixture.record(0).commandsAt.has_value());
        port.setBaudRate(115200);
        port.write("e" + image);
        port.waitForBytesWritten(1000);
        QByteArray received;
        while (received.size() < answer.size() && port.waitForReadyRead(5000))
            received += port.readAll();
        QCOMPARE(received, answer);

        QVERIFY(fixture.waitUntilFinished(10s));
        const Fixture::Record record = fixture.record(0);
        QCOMPARE(record.imagesReceived, 1);
        QCOMPARE(record.answeredOk, ok);
        QCOMPARE(record.answeredEr, er);
        QCOMPARE(record.images, QList<QByteArray>{image});
        // verdict+0: it leaves the moment its answer has left, and the
        // answer still reached the port.
        QVERIFY(*record.leftAt >= *record.verdictAt);
    }

    // A silent device never answers, not even "!"; with a stay from the
    // verdict it leaves that long after the first probe it heard.
    void silentDeviceLeavesAfterTheFirstProbeItHeard()
    {
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        Fixture fixture(linkPath, scheduleOf("rate=9600 reply=silent stay=verdict+0.5 gap=0\nrate=9600 stay=30"));
        fixture.start();
        QSerialPort port;
        port.setPortName(linkPath);
        QVERIFY(port.open(QIODevice::ReadWrite));
        QVERIFY(!answersProbe(port, 9600, 200ms));
        QVERIFY(fixture.waitForArrival(1, 10s));
        QVERIFY(answersProbe(port, 9600));

        const Fixture::Record silent = fixture.record(0);
        QCOMPARE(silent.probesHeard, 1);
        QCOMPARE(silent.probesAnswered, 0);
        QVERIFY(msBetween(*silent.firstProbeAt, *silent.leftAt) >= 500);
    }

    // A device with its own USB chip: the port's node comes and goes with
    // it, and a port open on it is hung up as the kernel does it.
    void usbDeviceTakesItsNodeAlong()
    {
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        Fixture fixture(linkPath, scheduleOf("rate=115200 stay=1 gap=0.8 usb\nrepeat=2"));
        fixture.start();
        QVERIFY(nodeExists(linkPath));

        FixedPortResolver resolver;
        resolver.assign(1, linkPath);
        SerialControl control(resolver);
        control.setCommPort(1);
        control.setSettings(QStringLiteral("115200,n,8,1"));
        control.setPortOpen(true);
        const auto failed = [&control] {
            try {
                control.throwIfFailed();
            } catch (const Failure &failure) {
                return failure.number() == SerialError::PortFailed;
            }
            return false;
        };
        QVERIFY(!failed());

        QTRY_VERIFY_WITH_TIMEOUT(failed(), 10000);
        QVERIFY(!QFileInfo(linkPath).isSymLink());
        QCOMPARE(fixture.portPath(), QString());
        control.setPortOpen(false);

        QTRY_VERIFY_WITH_TIMEOUT(nodeExists(linkPath), 10000);
        QSerialPort port;
        port.setPortName(linkPath);
        QVERIFY(port.open(QIODevice::ReadWrite));
        QVERIFY(answersProbe(port, 115200));
        QVERIFY(fixture.waitUntilFinished(10s));
        QVERIFY(!nodeExists(linkPath));
        QCOMPARE(fixture.records().size(), 2);
    }

    // A device with its own chip taken away the moment it answered: the
    // answer still reaches a program that reads it late, as it reaches the
    // computer before the bus notices the device gone; the port goes after.
    void usbDeviceLeavingAtItsVerdictIsReadFirst()
    {
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        Fixture fixture(linkPath, scheduleOf("rate=115200 stay=verdict+0 gap=30 usb"));
        fixture.start();
        QSerialPort port;
        port.setPortName(linkPath);
        QVERIFY(port.open(QIODevice::ReadWrite));
        port.setBaudRate(115200);
        port.write("dl");
        port.waitForBytesWritten(1000);
        // A busy program: it handles no event (reads nothing) until well
        // after the device has answered and was due to go.
        QVERIFY(withoutEvents([&] { return fixture.record(0).commandsAt.has_value(); }));
        port.write("e" + SmallImage);
        port.waitForBytesWritten(1000);
        QVERIFY(withoutEvents([&] { return fixture.record(0).verdictAt.has_value(); }));
        QThread::msleep(300);
        QCOMPARE(fixture.currentVisit(), 0);
        QByteArray received = port.readAll();
        while (received.size() < 3 && port.waitForReadyRead(2000))
            received += port.readAll();
        QCOMPARE(received, QByteArray("OK!"));
        QTRY_VERIFY(!nodeExists(linkPath));
        QVERIFY(fixture.waitForLeave(0, 5s));
    }

    // A station that keeps its link from device to device: the device
    // leaves (its port with it) while the link asks its version, and the next
    // device's verdict is still heard.
    void nextDeviceHeardAfterAPortLostInTheVersionQuery()
    {
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        Fixture fixture(linkPath, scheduleOf("rate=115200 version=1 stay=verdict+0.2 gap=0.5 usb\n"
                                             "rate=115200 version=2 stay=30 usb"));
        fixture.start();
        Station station(linkPath);
        station.link.open(1);
        QCOMPARE(station.link.download(QStringLiteral("115200"), SmallImage), QByteArray("OK!"));
        int failure = 0;
        try {
            station.link.queryVersion(QStringLiteral("115200"));
        } catch (const Failure &lost) {
            failure = lost.number();
        }
        QCOMPARE(failure, SerialError::PortFailed);
        station.link.close();

        QVERIFY(fixture.waitForArrival(1, 10s));
        // As a slot's probe does: the last device's "OK!" must not cut the
        // next download's waits short.
        station.link.received().clear();
        QCOMPARE(station.download(115200, SmallImage), (std::variant<QByteArray, int>(QByteArray("OK!"))));
        QCOMPARE(fixture.record(1).answeredOk, 1);
    }

    // An adapter pulled in the middle of the image: the download fails with
    // the port, the node goes at once and comes back with the next device.
    void pulledAdapterComesBackWithTheNextDevice()
    {
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        Fixture fixture(linkPath, scheduleOf("rate=38400 stay=verdict+1 gap=1.5 pull\nrate=38400 version=9 stay=30"));
        fixture.start();

        Station station(linkPath);
        // Long enough that the pull comes while the image is on the wire.
        const QByteArray image = SmallImage + QByteArray(":10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r").repeated(40);
        QCOMPARE(station.download(38400, image), (std::variant<QByteArray, int>(SerialError::PortFailed)));
        QTRY_VERIFY_WITH_TIMEOUT(!nodeExists(linkPath), 5000);

        QVERIFY(fixture.waitForArrival(1, 10s));
        QVERIFY(nodeExists(linkPath));
        QSerialPort port;
        port.setPortName(linkPath);
        QVERIFY(port.open(QIODevice::ReadWrite));
        QVERIFY(answersProbe(port, 38400));

        const Fixture::Record pulled = fixture.record(0);
        QVERIFY(pulled.pulled);
        QCOMPARE(pulled.imagesReceived, 0);
        QCOMPARE(pulled.answeredOk + pulled.answeredEr, 0);
        QVERIFY(pulled.leftAt && pulled.commandsAt && *pulled.commandsAt <= *pulled.leftAt);
        QVERIFY(!fixture.record(1).pulled);
        QVERIFY(fixture.record(1).portPath.startsWith(QStringLiteral("/dev/pts/")));
    }

    // Every visit is a fresh device that starts erased, on a plain adapter
    // (the same line) as with its own chip: each device's number is read
    // back from its own memory, in the order the devices were served.
    void eachDeviceKeepsItsOwnMemory()
    {
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        Fixture fixture(linkPath, scheduleOf("rate=57600 stay=verdict+0.2 gap=0.3\n"
                                             "rate=57600 stay=verdict+0.2 gap=0.3\n"
                                             "rate=57600 stay=verdict+0.2 usb\n"));
        fixture.start();
        // The number's place: 0x0800FF00, behind an extended linear address.
        const QByteArray body = SmallImage.chopped(int(qstrlen(":00000001FF\r"))) + ":020000040800F2\r";
        const QList<QByteArray> images = {
            body + ":04FF000000001001EC\r:00000001FF\r",
            SmallImage, // no number
            body + ":04FF000000001003EA\r:00000001FF\r",
        };
        for (qsizetype i = 0; i < images.size(); ++i) {
            QVERIFY(fixture.waitForArrival(i, 10s));
            // A link of its own for each device, as the station probes each
            // first: a link that still holds the last device's "OK!" ends
            // its waits before "e" at once.
            Station station(linkPath);
            QCOMPARE(station.download(57600, images[i]), (std::variant<QByteArray, int>(QByteArray("OK!"))));
        }
        QVERIFY(fixture.waitUntilFinished(10s));

        QCOMPARE(fixture.memoryRead(0x0800FF00, 4),
                 (QList<QByteArray>{QByteArray::fromHex("00001001"), QByteArray::fromHex("FFFFFFFF"),
                                    QByteArray::fromHex("00001003")}));
        const QList<DeviceMemory::Range> second = fixture.record(1).memory.ranges();
        QCOMPARE(second.size(), 1);
        QCOMPARE(second.first().address, quint32(0));
        QCOMPARE(second.first().bytes, QByteArray::fromHex("C67EDFB871EC1ED19CE6CE9D52AA827E"));
    }

    // A schedule that repeats runs every visit in order, each arrival on
    // its planned time or after it, and then reports itself finished.
    void repeatedScheduleRunsOut()
    {
        QTemporaryDir dir;
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        const FixtureSchedule schedule = scheduleOf("rate=9600 stay=0.2 gap=0.1\n"
                                                    "rate=19200 stay=0.3 gap=0\n"
                                                    "repeat=3\n");
        Fixture fixture(linkPath, schedule);
        QList<Fixture::Event::Kind> kinds;
        std::mutex kindsMutex;
        fixture.setObserver([&](const Fixture::Event &event) {
            std::lock_guard lock(kindsMutex);
            kinds.append(event.kind);
        });
        fixture.start();
        QVERIFY(fixture.waitUntilFinished(20s));
        QCOMPARE(fixture.currentVisit(), -1);

        const QList<Fixture::Record> records = fixture.records();
        QCOMPARE(records.size(), 6);
        qint64 planned = 0;
        for (const Fixture::Record &record : records) {
            QCOMPARE(record.visit.rate, record.index % 2 == 0 ? 9600 : 19200);
            QVERIFY(msBetween(fixture.startedAt(), *record.arrivedAt) >= planned);
            planned += std::chrono::milliseconds(record.visit.stay + record.visit.gap).count();
            QVERIFY(msBetween(fixture.startedAt(), *record.leftAt) >= planned - record.visit.gap.count());
            QCOMPARE(record.probesHeard, 0);
        }
        std::lock_guard lock(kindsMutex);
        QCOMPARE(kinds.size(), 13);
        QCOMPARE(kinds.count(Fixture::Event::Kind::Arrived), 6);
        QCOMPARE(kinds.count(Fixture::Event::Kind::Left), 6);
        QCOMPARE(kinds.last(), Fixture::Event::Kind::Finished);
    }

    // device-sim --fixture: a schedule's error names its line; a good one
    // prints the link and serves until stopped, and the link goes with it.
    void commandLine()
    {
        const QString program = qEnvironmentVariable("TARVIK_BUILD_DIR") + QStringLiteral("/device-sim");
        QTemporaryDir dir;
        const QString bad = dir.filePath(QStringLiteral("bad.txt"));
        const QString good = dir.filePath(QStringLiteral("good.txt"));
        const QString linkPath = dir.filePath(QStringLiteral("slot"));
        for (const auto &[path, text] : {std::pair{bad, QByteArray("rate=9600\nrate=300\n")},
                                         std::pair{good, QByteArray("rate=9600 stay=30\n")}}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(text);
        }

        QProcess process;
        process.start(program, {QStringLiteral("--fixture"), bad, QStringLiteral("--link"), linkPath});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY2(process.readAllStandardError().contains("line 2: rate must be one of"), "");

        process.start(program, {QStringLiteral("--fixture"), good, QStringLiteral("--rate"), QStringLiteral("9600"),
                                QStringLiteral("--link"), linkPath});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);

        process.start(program, {QStringLiteral("--fixture"), good, QStringLiteral("--link"), linkPath,
                                QStringLiteral("--verbose")});
        QVERIFY(process.waitForReadyRead(10000));
        QCOMPARE(process.readLine().trimmed(), linkPath.toLocal8Bit());
        QVERIFY(nodeExists(linkPath));
        QByteArray printed;
        QTRY_VERIFY((printed += process.readAllStandardError()).contains("visit 1/1 (line 1) arrived"));
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(!QFileInfo(linkPath).isSymLink());
    }
};

QTEST_GUILESS_MAIN(FixtureTest)
#include "tst_fixture.moc"
