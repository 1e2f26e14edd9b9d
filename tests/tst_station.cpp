// The station's slots against simulated fixtures: devices come and go on a
// port by a schedule, answer late as real ones do, keep answering after their
// image or go silent, carry their own USB chip, refuse, stay silent or have
// their adapter pulled. Every device is flashed once or not at all, every
// attempt has its log line, and the counts are the log's.

#include "support/CommandFixture.h"

#include "engine/FirmwareFile.h"
#include "log/ProductionLog.h"
#include "sim/Fixture.h"
#include "station/Station.h"
#include "station/StationNumbers.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

using namespace std::chrono_literals;

namespace {

// A small image: about 2 KB of text, so a device is flashed in about four
// seconds (the commands' ticks, then the image at 115200 baud).
QByteArray smallFirmware()
{
    QProcess make;
    make.start(qEnvironmentVariable("TARVIK_SOURCE_DIR") + QStringLiteral("/scripts/make-firmware"),
               {QStringLiteral("600"), QStringLiteral("3")});
    make.waitForFinished(10000);
    return make.readAllStandardOutput();
}

FixtureSchedule schedule(const char *text)
{
    QString error;
    const std::optional<FixtureSchedule> parsed = FixtureSchedule::parse(text, &error);
    if (!parsed)
        qFatal("bad schedule: %s", qPrintable(error));
    return *parsed;
}

constexpr int ResultColumn = 7;
constexpr int BytesColumn = 6;
constexpr int SerialColumn = 11;

// Where the tests put the devices' numbers: far above the small image's data.
constexpr quint32 NumberAddress = 0x0800F000;

struct Bench
{
    QTemporaryDir dir;
    QString firmwarePath;
    StationFirmware firmware;
    std::unique_ptr<ProductionLog> log;

    Bench()
    {
        firmwarePath = dir.filePath(QStringLiteral("firmware.txt"));
        const QByteArray bytes = smallFirmware();
        QFile file(firmwarePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the firmware");
        file.close();
        firmware.path = firmwarePath;
        firmware.image = FirmwareFile::parse(bytes).text;
        firmware.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        QString reason;
        log = ProductionLog::open(logPath(), &reason);
        if (!log)
            qFatal("cannot open the log: %s", qPrintable(reason));
    }
    QString logPath() const { return dir.filePath(QStringLiteral("log.csv")); }
    QString link(int slot) const { return dir.filePath(QStringLiteral("slot%1").arg(slot)); }
};

std::shared_ptr<StationNumbers> numbersFor(const Bench &bench, const QString &counter)
{
    NumberPlan plan;
    plan.address = QStringLiteral("0x0800F000");
    plan.form = QStringLiteral("le:4");
    plan.counter = counter;
    std::variant<std::shared_ptr<StationNumbers>, QString> numbers =
        StationNumbers::prepare(plan, bench.firmware.image, bench.logPath());
    if (const QString *why = std::get_if<QString>(&numbers))
        qFatal("cannot prepare the numbers: %s", qPrintable(*why));
    return std::get<std::shared_ptr<StationNumbers>>(numbers);
}

QByteArray littleEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

StationPort portAt(const QString &path)
{
    return StationPort{path, 0, path};
}

} // namespace

class StationTest : public QObject
{
    Q_OBJECT

private slots:
    // One slot, device after device, every kind a fixture meets; a second
    // slot beside it whose port does not exist yet and then appears.
    void deviceAfterDevice()
    {
        Bench bench;
        Fixture fixture(bench.link(1), schedule(R"(
            rate=38400 after=keep stay=verdict+2.5 gap=1.5     # keeps answering: never flashed twice
            rate=38400 after=reset stay=verdict+2 gap=1.5      # resets into its firmware: silent at once
            rate=19200 reply=refuse stay=verdict+6.5 gap=1.5   # another rate, refuses the image; the slot
                                                               # shows the fail 12 ticks after the image
            rate=19200 reply=silent stay=3 gap=1.5             # says nothing: not a device to flash
            rate=19200 pull gap=1.5                            # its adapter pulled in the middle of the image
            rate=57600 usb after=keep stay=verdict+1 gap=1.5   # its own USB chip: the port goes with it
            rate=57600 after=reset stay=verdict+0.5 gap=3
        )"));
        fixture.start();
        Station station({portAt(bench.link(1)), portAt(bench.link(2))}, bench.firmware, false, bench.log.get());
        QSignalSpy verdicts(&station, &Station::verdict);
        QSignalSpy gone(&station, &Station::deviceGone);
        station.start();

        // The second slot's port appears a while after the start, with a
        // device behind it.
        QTRY_COMPARE_WITH_TIMEOUT(int(station.slotViews().at(1).state), int(SlotLoop::State::WaitingForPort), 5000);
        QCOMPARE(station.slotViews().at(1).detail, QStringLiteral("no such port"));
        // Tried again every second, told once.
        QSignalSpy trouble(&station, &Station::portTrouble);
        QSignalSpy back(&station, &Station::portBack);
        QTest::qWait(2500);
        QCOMPARE(trouble.size(), 0);
        QCOMPARE(back.size(), 0);
        Fixture late(bench.link(2), schedule("rate=115200 usb stay=verdict+1 gap=60"));
        late.start();

        QTRY_VERIFY_WITH_TIMEOUT(fixture.finished(), 150000);
        QTRY_COMPARE_WITH_TIMEOUT(int(station.slotViews().at(0).state), int(SlotLoop::State::WaitingForDevice), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(late.record(0).leftAt.has_value(), 30000);
        station.stop();

        // Every device flashed once or not at all, none missed.
        const QList<Fixture::Record> records = fixture.records();
        QCOMPARE(records.size(), 7);
        const QList<int> expectImages{1, 1, 1, 0, 0, 1, 1};
        for (int i = 0; i < records.size(); ++i) {
            QVERIFY2(records.at(i).imagesReceived == expectImages.at(i),
                     qPrintable(QStringLiteral("visit %1 took %2 images").arg(i).arg(records.at(i).imagesReceived)));
        }
        QVERIFY(records.at(4).pulled);
        QCOMPARE(late.record(0).imagesReceived, 1);
        // What was sent is what was read, byte for byte.
        QCOMPARE(records.at(0).images.value(0), bench.firmware.image);

        // One log line per attempt, in the order the devices came.
        const QList<QList<QByteArray>> rows = logRows(bench.logPath());
        QList<QByteArray> slot1;
        for (const QList<QByteArray> &row : rows) {
            if (row.at(1) == bench.link(1).toUtf8())
                slot1.append(row.at(ResultColumn));
        }
        QCOMPARE(slot1, (QList<QByteArray>{"pass", "pass", "fail", "port-lost", "pass", "pass"}));
        QCOMPARE(rows.size(), 7);

        // The counts are the log's.
        const StationCounts first = station.slotViews().at(0).counts;
        QCOMPARE(first.passed, 4);
        QCOMPARE(first.refused, 1);
        QCOMPARE(first.portLost, 1);
        QCOMPARE(first.failed(), 1);
        QCOMPARE(station.counts().passed, 5);
        QCOMPARE(verdicts.size(), 7);
        // Each flashed device was seen going before the next was looked for.
        QVERIFY(gone.size() >= 6);
    }

    // Each device's number, read back from its memory: kept by a device that
    // passed, skipped by one that refused its image after it had left (it
    // may hold the number, and here does), and none for a device that came
    // after the counter's last value: it is not flashed at all.
    void numbersUsedSkippedAndUsedUp()
    {
        Bench bench;
        Fixture fixture(bench.link(1), schedule(R"(
            rate=38400 latency=20 after=reset stay=verdict+0.5 gap=1.5
            rate=38400 latency=20 reply=refuse stay=verdict+6.5 gap=1.5
            rate=38400 latency=20 after=reset stay=verdict+0.5 gap=1.5
            rate=38400 latency=20 after=keep stay=3 gap=30
        )"));
        Station station({portAt(bench.link(1))}, bench.firmware, false, bench.log.get());
        station.setNumbers(numbersFor(bench, QStringLiteral("1,1,3")));
        QSignalSpy verdicts(&station, &Station::verdict);
        fixture.start();
        station.start();
        QTRY_COMPARE_WITH_TIMEOUT(verdicts.size(), 4, 90000);
        station.stop();

        const QList<QByteArray> memory = fixture.memoryRead(NumberAddress, 4);
        QCOMPARE(memory.size(), 4);
        QCOMPARE(memory.at(0), littleEndian(1));
        QCOMPARE(memory.at(1), littleEndian(2));
        QCOMPARE(memory.at(2), littleEndian(3));
        QCOMPARE(memory.at(3), QByteArray(4, '\xFF'));
        QCOMPARE(fixture.record(3).imagesReceived, 0);

        const QList<QList<QByteArray>> rows = logRows(bench.logPath());
        QCOMPARE(rows.size(), 4);
        const QList<QPair<QByteArray, QByteArray>> expected{
            {"pass", "1"}, {"fail", "2 skipped"}, {"pass", "3"}, {"no-number", ""}};
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows.at(i).at(ResultColumn), expected.at(i).first);
            QCOMPARE(rows.at(i).at(SerialColumn), expected.at(i).second);
        }
        const StationCounts counts = station.counts();
        QCOMPARE(counts.numbersUsed, 2);
        QCOMPARE(counts.numbersSkipped, 1);
        QCOMPARE(counts.noNumber, 1);
        QCOMPARE(station.slotViews().at(0).lastNumberUsed, QStringLiteral("3"));
    }

    // A device stopped before its image began cannot hold its number: the
    // number goes back, and the next device, at the next start, gets it.
    void numberGivenBackBeforeTheImage()
    {
        Bench bench;
        Fixture fixture(bench.link(1), schedule(R"(
            rate=38400 latency=20 after=keep stay=60 gap=0.5
        )"));
        fixture.start();
        {
            Station station({portAt(bench.link(1))}, bench.firmware, false, bench.log.get());
            station.setNumbers(numbersFor(bench, QStringLiteral("7")));
            station.start();
            QTRY_VERIFY_WITH_TIMEOUT(station.slotViews().at(0).step == DeviceLink::Step::SendingCommands, 20000);
            station.stop();
        }
        QCOMPARE(fixture.record(0).imagesReceived, 0);
        QList<QList<QByteArray>> rows = logRows(bench.logPath());
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).at(ResultColumn), QByteArray("interrupted"));
        QCOMPARE(rows.at(0).at(SerialColumn), QByteArray("7 given back"));

        Station again({portAt(bench.link(1))}, bench.firmware, false, bench.log.get());
        again.setNumbers(numbersFor(bench, QStringLiteral("7")));
        QSignalSpy verdicts(&again, &Station::verdict);
        again.start();
        QTRY_COMPARE_WITH_TIMEOUT(verdicts.size(), 1, 30000);
        again.stop();
        QCOMPARE(fixture.memoryRead(NumberAddress, 4).value(0), littleEndian(7));
        rows = logRows(bench.logPath());
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(1).at(ResultColumn), QByteArray("pass"));
        QCOMPARE(rows.at(1).at(SerialColumn), QByteArray("7"));
    }

    // An operator who swaps faster than two probes: the next device is taken
    // for the one whose verdict shows, and waits until it is taken away.
    void swapFasterThanTwoProbes()
    {
        Bench bench;
        Fixture fixture(bench.link(1), schedule(R"(
            rate=9600 after=keep stay=verdict+1 gap=0.3
            rate=9600 after=keep stay=4 gap=2.5
            rate=9600 after=keep stay=verdict+0.5 gap=3
        )"));
        fixture.start();
        Station station({portAt(bench.link(1))}, bench.firmware, false, bench.log.get());
        station.start();
        QTRY_VERIFY_WITH_TIMEOUT(fixture.finished(), 90000);
        QTRY_COMPARE_WITH_TIMEOUT(int(station.slotViews().at(0).state), int(SlotLoop::State::WaitingForDevice), 10000);
        station.stop();
        const QList<Fixture::Record> records = fixture.records();
        QCOMPARE(records.at(0).imagesReceived, 1);
        QCOMPARE(records.at(1).imagesReceived, 0);
        QVERIFY(records.at(1).probesAnswered > 0);
        QCOMPARE(records.at(2).imagesReceived, 1);
        QCOMPARE(logRows(bench.logPath()).size(), 2);
    }

    // Stopping in the middle of an image: the attempt is logged as
    // interrupted with the bytes that left, and no port is left open.
    void stopInTheMiddleOfTheImage()
    {
        Bench bench;
        // About 20 KB: the image is on the wire for well over a second.
        QFile example(exampleFirmware());
        QVERIFY(example.open(QIODevice::ReadOnly));
        const QByteArray bytes = example.readAll();
        bench.firmware.image = FirmwareFile::parse(bytes).text;
        Fixture fixture(bench.link(1), schedule("rate=57600 stay=verdict+1 gap=30"));
        fixture.start();
        Station station({portAt(bench.link(1))}, bench.firmware, false, bench.log.get());
        QSignalSpy stopped(&station, &Station::stopped);
        station.start();
        QTRY_VERIFY_WITH_TIMEOUT(station.slotViews().at(0).sent > 2000, 20000);
        station.stop();
        QCOMPARE(stopped.size(), 1);
        QCOMPARE(int(station.slotViews().at(0).state), int(SlotLoop::State::Stopped));
        const QList<QList<QByteArray>> rows = logRows(bench.logPath());
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).at(ResultColumn), QByteArray("interrupted"));
        const qint64 sent = rows.at(0).at(BytesColumn).toLongLong();
        QVERIFY2(sent > 2000 && sent < bench.firmware.image.size(), rows.at(0).at(BytesColumn).constData());
        // The port was let go: another program can open it now.
        QSerialPort port(fixture.portPath());
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        QCOMPARE(station.slotViews().at(0).counts.interrupted, 1);
    }

    // A new build saved over the firmware file while the station runs is not
    // sent, and every verdict after it says so.
    void firmwareChangedOnDisk()
    {
        Bench bench;
        Fixture fixture(bench.link(1), schedule(R"(
            rate=115200 after=reset stay=verdict+0.3 gap=2.5
            rate=115200 after=reset stay=verdict+0.3 gap=30
        )"));
        Station station({portAt(bench.link(1))}, bench.firmware, false, bench.log.get());
        QSignalSpy changed(&station, &Station::fileChangedOnDisk);
        QSignalSpy verdicts(&station, &Station::verdict);
        fixture.start();
        station.start();
        QTRY_COMPARE_WITH_TIMEOUT(verdicts.size(), 1, 30000);
        QVERIFY(!station.slotViews().at(0).lastFromChangedFile);
        {
            QFile file(bench.firmwarePath);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(":-:::::-\r\n:00000001FF\r\n");
        }
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 1, 5000);
        QVERIFY(station.fileChanged());
        QTRY_COMPARE_WITH_TIMEOUT(verdicts.size(), 2, 30000);
        QVERIFY(station.slotViews().at(0).lastFromChangedFile);
        station.stop();
        QCOMPARE(fixture.record(1).images.value(0), bench.firmware.image);
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "tst_station.moc"
