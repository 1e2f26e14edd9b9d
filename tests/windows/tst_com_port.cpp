// The exchanges and the serial layer on Windows' communications API, against
// devices behind COM ports. The ports come from the environment, set by
// scripts/test-windows:
//   TARVIK_COM_ANSWERING  a device at 38400 baud, 20 ms late, version 42
//   TARVIK_COM_SILENT     a device that answers nothing
//   TARVIK_COM_PULLED     a device whose adapter is pulled 64 bytes into the image
//   TARVIK_COM_MISSING    a number with no port behind it
//   TARVIK_COM_ANSWERS_THEN_GOES  a device at 9600 baud that answers "!" 20 ms
//                         late and goes away on the second byte it hears
//   TARVIK_COM_GOES       a device at 9600 baud that goes away on the first byte
//   TARVIK_COM_FILE       a name that opens a plain file
//   TARVIK_COM_OTHER_DEVICE  a name that opens a device that is no serial port

#include "base/EventPump.h"
#include "engine/DeviceLink.h"
#include "engine/TickWait.h"
#include "serial/PortResolver.h"
#include "serial/SerialControl.h"
#include "serial/SerialLine.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>
#include <thread>

namespace {

qint16 portFromEnvironment(const char *name)
{
    bool ok = false;
    const int number = qEnvironmentVariableIntValue(name, &ok);
    return ok ? qint16(number) : qint16(0);
}

// A text the device takes as an image; long enough for a pull 64 bytes in.
QByteArray image()
{
    QByteArray text = ":-:::::-\r";
    for (int line = 0; line < 16; ++line)
        text += ":10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r";
    return text + ":00000001FF\r";
}

int failureOf(const std::function<void()> &exchange)
{
    try {
        exchange();
    } catch (const Failure &failure) {
        return failure.number();
    }
    return 0;
}

// Waits for `condition` without handling a single event, so that whatever
// the line's threads queue meanwhile waits for one later pass of event
// handling, as it does while a window's procedure runs.
bool withoutEvents(const std::function<bool()> &condition)
{
    const QDeadlineTimer deadline(10000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(1);
    }
    return true;
}

// The line has queued its loss: from then on it refuses what it is given.
bool lossQueued(SerialLine &line)
{
    return !line.write(QByteArray()).isEmpty();
}

SerialSettings settings9600()
{
    return *SerialSettings::parse(QStringLiteral("9600,n,8,1"));
}

} // namespace

class ComPortTest : public QObject
{
    Q_OBJECT

    DevicePortResolver m_ports;
    qint16 m_answering = 0;
    qint16 m_silent = 0;
    qint16 m_pulled = 0;
    qint16 m_missing = 0;
    qint16 m_answersThenGoes = 0;
    qint16 m_goes = 0;
    qint16 m_file = 0;
    qint16 m_otherDevice = 0;

private slots:
    void initTestCase()
    {
        m_answering = portFromEnvironment("TARVIK_COM_ANSWERING");
        m_silent = portFromEnvironment("TARVIK_COM_SILENT");
        m_pulled = portFromEnvironment("TARVIK_COM_PULLED");
        m_missing = portFromEnvironment("TARVIK_COM_MISSING");
        m_answersThenGoes = portFromEnvironment("TARVIK_COM_ANSWERS_THEN_GOES");
        m_goes = portFromEnvironment("TARVIK_COM_GOES");
        m_file = portFromEnvironment("TARVIK_COM_FILE");
        m_otherDevice = portFromEnvironment("TARVIK_COM_OTHER_DEVICE");
        if (!m_answering || !m_silent || !m_pulled || !m_missing || !m_answersThenGoes || !m_goes || !m_file
            || !m_otherDevice)
            QFAIL("the devices' COM ports are not named: run this from scripts/test-windows");
    }

    // The engine's waits sleep until an event comes. The event that wakes one
    // (a tick of the precise timer, bytes from the serial reader) must be
    // handled in that same pass, or every wait sees its ticks a tick late.
    void waitHandlesTheEventThatWokeIt()
    {
        int passes = 0;
        bool ticked = false;
        const std::unique_ptr<QThread> thread(QThread::create([&] {
            QTimer tick;
            tick.setTimerType(Qt::PreciseTimer);
            tick.setSingleShot(true);
            connect(&tick, &QTimer::timeout, &tick, [&] { ticked = true; });
            // Ends a pass that went back to sleep after handling the tick.
            QTimer lastResort;
            lastResort.setSingleShot(true);
            lastResort.start(3000);
            EventPump::processPending();
            tick.start(50);
            while (!ticked) {
                EventPump::waitAndProcess();
                ++passes;
            }
        }));
        thread->start();
        QVERIFY(thread->wait(10000));
        QCOMPARE(passes, 1);
    }

    // A wait's first pass does not sleep. An event posted from another thread
    // while it runs (bytes from the serial reader) is handled by that pass:
    // left for the next pass, which handles it at its start and then sleeps
    // until the event after it, the wait saw the device's "OK!" a tick late.
    void passHandlesWhatIsPostedWhileItRuns()
    {
        QObject receiver;
        bool handled = false;
        // The pass handles one event, during which another thread posts.
        QMetaObject::invokeMethod(
            &receiver,
            [&] {
                std::thread([&] {
                    QMetaObject::invokeMethod(
                        &receiver, [&] { handled = true; }, Qt::QueuedConnection);
                }).join();
            },
            Qt::QueuedConnection);
        EventPump::processPending();
        QVERIFY(handled);
    }

    void numberNamesTheComPort()
    {
        QCOMPARE(m_ports.resolve(3), QStringLiteral("\\\\.\\COM3"));
        QCOMPARE(m_ports.resolve(12), QStringLiteral("\\\\.\\COM12"));
        QCOMPARE(m_ports.resolve(0), QString());
    }

    // The probe sets each rate on the real port in turn: the device answers
    // only at its own, so an answer proves the rate reached it.
    void probeDownloadAndVersionOnAComPort()
    {
        DeviceLink link(m_ports);
        const DeviceLink::ProbeResult probe = link.probe(m_answering);
        QVERIFY(probe.answered());
        QCOMPARE(probe.rate(), QStringLiteral("38400"));
        QVERIFY(!link.serial().PortOpen());

        link.setCollecting(true);
        link.open(m_answering);
        QSignalSpy progress(&link, &DeviceLink::imageProgress);
        QCOMPARE(link.download(probe.rate(), image()), QByteArray("OK!"));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(image().size()));
        QCOMPARE(link.queryVersion(probe.rate()), std::optional<quint8>(42));
        link.close();
    }

    void silentDeviceIsNotFound()
    {
        DeviceLink link(m_ports);
        const DeviceLink::ProbeResult probe = link.probe(m_silent);
        QVERIFY(!probe.answered());
        QCOMPARE(probe.rateIndex, int(DeviceLink::ProbeRates.size()) - 1);
    }

    // One program holds a COM port at a time; the holder keeps it.
    void secondOpenerIsRefusedAsInUse()
    {
        SerialControl first(m_ports);
        first.setCommPort(m_answering);
        first.setPortOpen(true);
        SerialControl second(m_ports);
        second.setCommPort(m_answering);
        QCOMPARE(failureOf([&] { second.setPortOpen(true); }), SerialError::PortInUse);
        QVERIFY(first.PortOpen());
        first.setPortOpen(false);
        second.setPortOpen(true);
        QVERIFY(second.PortOpen());
        second.setPortOpen(false);
    }

    void missingPortIsAnInvalidNumber()
    {
        SerialControl port(m_ports);
        port.setCommPort(m_missing);
        QCOMPARE(failureOf([&] { port.setPortOpen(true); }), SerialError::InvalidPortNumber);
        QVERIFY(!port.PortOpen());
    }

    // A name that opens something else says what it opened; the system's
    // last error there is about nothing ("The operation completed
    // successfully.").
    void nameThatIsNoSerialPortSaysWhatItIs_data()
    {
        QTest::addColumn<qint16>("port");
        QTest::addColumn<QString>("what");
        QTest::newRow("a file") << m_file << QStringLiteral("is not a serial port: it is a file.");
        QTest::newRow("another device") << m_otherDevice
                                        << QStringLiteral("is not a serial port: it is a device of another kind (");
    }

    void nameThatIsNoSerialPortSaysWhatItIs()
    {
        QFETCH(qint16, port);
        QFETCH(QString, what);
        SerialControl control(m_ports);
        control.setCommPort(port);
        try {
            control.setPortOpen(true);
            QFAIL("it opened as a serial port");
        } catch (const Failure &failure) {
            QCOMPARE(failure.number(), SerialError::NotASerialPort);
            QVERIFY2(failure.description().contains(what), qPrintable(failure.description()));
        }
        QVERIFY(!control.PortOpen());
    }

    // What the device said before it went away comes before the loss, in
    // order, also when both wait for the same pass of event handling (a
    // device that answers "OK!" and then resets off the bus).
    void bytesBeforeALossComeFirst()
    {
        const std::unique_ptr<SerialLine> line = SerialLine::create();
        QByteArrayList heard;
        connect(line.get(), &SerialLine::readyRead, this, [&] { heard.append(line->readAll()); });
        connect(line.get(), &SerialLine::lost, this, [&] { heard.append("(lost)"); });
        line->open(m_ports.resolve(m_answersThenGoes), settings9600());
        QVERIFY(line->write("!").isEmpty());
        QVERIFY(withoutEvents([&] { return line->bytesAvailable() > 0; }));
        QVERIFY(line->write("!").isEmpty());
        QVERIFY(withoutEvents([&] { return lossQueued(*line); }));
        QCoreApplication::processEvents();
        QCOMPARE(heard, (QByteArrayList{"!", "(lost)"}));
        line->close();
    }

    // The probe closes its port and the download opens one right after, with
    // no event handled between: a loss the first opening queued stays with it
    // and does not make the next one read as lost.
    void lossOfAnEarlierOpeningStaysWithIt()
    {
        const std::unique_ptr<SerialLine> line = SerialLine::create();
        QSignalSpy lost(line.get(), &SerialLine::lost);
        line->open(m_ports.resolve(m_goes), settings9600());
        QVERIFY(line->write("!").isEmpty());
        QVERIFY(withoutEvents([&] { return lossQueued(*line); }));
        line->close();
        line->open(m_ports.resolve(m_answering), settings9600());
        QCoreApplication::processEvents();
        QVERIFY(lost.isEmpty());
        QVERIFY(!line->isGone());
        QVERIFY(line->write("!").isEmpty());
        line->close();
    }

    // The adapter pulled in the middle of the image: the download ends with
    // the lost port at once, not after the verdict's twelve ticks (seventeen
    // with the commands'), and the port stays open with its failure until
    // closed.
    void pulledAdapterEndsTheDownloadAtOnce()
    {
        DeviceLink link(m_ports);
        const DeviceLink::ProbeResult probe = link.probe(m_pulled);
        QVERIFY(probe.answered());
        link.setCollecting(true);
        link.open(m_pulled);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(failureOf([&] { link.download(probe.rate(), image()); }), SerialError::PortFailed);
        QVERIFY2(clock.elapsed() < 12 * TickWait::TickIntervalMs, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(link.serial().PortOpen());
        link.close();
        QVERIFY(!link.serial().PortOpen());
    }
};

QTEST_GUILESS_MAIN(ComPortTest)
#include "tst_com_port.moc"
