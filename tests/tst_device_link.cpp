// The exchanges on their own, with no window and no display: the probe, the
// download and the version query against the simulated device, what they
// report as they go, and two links side by side on two threads.

#include "engine/DeviceLink.h"
#include "engine/Evaluation.h"
#include "engine/TickWait.h"
#include "serial/PortResolver.h"
#include "sim/SimulatedDevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>
#include <thread>

namespace {

using Reply = SimulatedDevice::Reply;
using Step = DeviceLink::Step;

Reply silence()
{
    Reply reply;
    reply.silent = true;
    return reply;
}

const QByteArray SmallImage = ":-:::::-\r:10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r:00000001FF\r";

// About 20 KB of valid records, as a real image is long.
QByteArray longImage()
{
    QByteArray image = ":-:::::-\r";
    for (int address = 0; address < 0x1C00; address += 16) {
        QByteArray record(21, '\0');
        record[0] = 16;
        record[1] = char(address >> 8);
        record[2] = char(address & 0xFF);
        record[3] = 0;
        quint8 sum = 16 + quint8(address >> 8) + quint8(address & 0xFF);
        for (int i = 0; i < 16; ++i) {
            record[4 + i] = char(address + i);
            sum += quint8(address + i);
        }
        record[20] = char(quint8(-sum));
        image += ':' + record.toHex().toUpper() + '\r';
    }
    return image + ":00000001FF\r";
}

// A link to `device` on port 1.
struct LinkFixture
{
    explicit LinkFixture(SimulatedDevice &device)
        : link(resolver)
    {
        resolver.assign(1, device.portPath());
    }
    FixedPortResolver resolver;
    DeviceLink link;
};

QList<Step> steps(const QSignalSpy &spy)
{
    QList<Step> result;
    for (const QList<QVariant> &arguments : spy)
        result << arguments.at(0).value<Step>();
    return result;
}

} // namespace

Q_DECLARE_METATYPE(SimulatedDevice::Point)
Q_DECLARE_METATYPE(SimulatedDevice::Removal)

class DeviceLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void probeFindsTheDevicesRate()
    {
        SimulatedDevice device;
        device.setOwnRate(38400);
        LinkFixture f(device);
        QSignalSpy tried(&f.link, &DeviceLink::rateTried);

        const DeviceLink::ProbeResult result = f.link.probe(1);

        QVERIFY(result.answered());
        QCOMPARE(result.rate(), QStringLiteral("38400"));
        QCOMPARE(result.reply, QByteArray("!"));
        QCOMPARE(tried.size(), 3);
        QCOMPARE(tried.at(2).at(1).toString(), QStringLiteral("38400"));
        QVERIFY(!f.link.serial().PortOpen());
        QCOMPARE(f.link.tickCount(), qint16(0));
    }

    void downloadReportsItsStepsAndTheReply_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("outcome");
        QTest::newRow("accepted") << SmallImage << int(Outcome::DownloadPassed);
        QTest::newRow("refused") << QByteArray(":-:::::-\r:00000001FE\r") << int(Outcome::DownloadFailed);
    }

    void downloadReportsItsStepsAndTheReply()
    {
        QFETCH(QByteArray, image);
        QFETCH(int, outcome);
        SimulatedDevice device;
        LinkFixture f(device);
        f.link.setCollecting(true);
        f.link.open(1);
        QSignalSpy stepSpy(&f.link, &DeviceLink::stepReached);
        QSignalSpy progress(&f.link, &DeviceLink::imageProgress);
        QSignalSpy replies(&f.link, &DeviceLink::replyReceived);

        const QByteArray reply = f.link.download(QStringLiteral("9600"), image);

        QCOMPARE(int(evaluate(QStringLiteral("Pass!"), reply, QStringLiteral("?"))), outcome);
        QCOMPARE(steps(stepSpy), (QList<Step>{Step::SendingCommands, Step::SendingImage, Step::AwaitingVerdict}));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(image.size()));
        QCOMPARE(replies.size(), 1);
        QCOMPARE(replies.first().at(0).toByteArray(), reply);
        QCOMPARE(device.lastImage(), image);
        QVERIFY(f.link.serial().PortOpen());
    }

    void versionQueryReturnsTheByteOrNothing()
    {
        SimulatedDevice device;
        device.setVersion(0x2a);
        LinkFixture f(device);
        f.link.setCollecting(true);
        f.link.open(1);
        f.link.received() = "kept";
        QSignalSpy stepSpy(&f.link, &DeviceLink::stepReached);

        QCOMPARE(f.link.queryVersion(QStringLiteral("9600")), std::optional<quint8>(0x2a));
        QCOMPARE(f.link.received(), QByteArray("kept"));

        device.setVersionReply(silence());
        QCOMPARE(f.link.queryVersion(QStringLiteral("9600")), std::nullopt);
        QCOMPARE(steps(stepSpy), (QList<Step>{Step::VersionAnswered, Step::VersionNoAnswer}));
        QCOMPARE(f.link.serial().InputMode(), 0);
        QCOMPARE(f.link.serial().RThreshold(), qint16(1));
    }

    // After a pass the received text still reads "OK!"; the query must wait
    // for its own answer however late the device gives it.
    void versionQueryAfterADownloadWaitsForALateAnswer_data()
    {
        QTest::addColumn<int>("latencyMs");
        QTest::newRow("20 ms") << 20;
        QTest::newRow("50 ms") << 50;
        QTest::newRow("400 ms") << 400;
    }

    void versionQueryAfterADownloadWaitsForALateAnswer()
    {
        QFETCH(int, latencyMs);
        SimulatedDevice device;
        device.setReplyLatency(latencyMs);
        device.setVersion(0x2a);
        LinkFixture f(device);
        const DeviceLink::ProbeResult probe = f.link.probe(1);
        QVERIFY(probe.answered());
        f.link.setCollecting(true);
        f.link.open(1);
        QCOMPARE(f.link.download(probe.rate(), SmallImage), QByteArray("OK!"));
        QCOMPARE(f.link.queryVersion(probe.rate()), std::optional<quint8>(0x2a));
    }

    // The adapter pulled at any point of an exchange, either way it happens:
    // the exchange ends with the port's failure within a tick of the pull,
    // not after its ticks run out. A device that goes after its "OK!" has
    // passed; the failure comes with the next use of the port.
    void pulledAdapterEndsTheExchangeAtOnce_data()
    {
        QTest::addColumn<SimulatedDevice::Point>("point");
        QTest::addColumn<SimulatedDevice::Removal>("removal");
        const QList<std::pair<const char *, SimulatedDevice::Point>> points = {
            {"probe", SimulatedDevice::Point::Probe},
            {"commands", SimulatedDevice::Point::Commands},
            {"image", SimulatedDevice::Point::Image},
            {"verdict", SimulatedDevice::Point::Verdict},
            {"idle", SimulatedDevice::Point::Idle},
            {"right after the verdict was read", SimulatedDevice::Point::Answered},
        };
        for (const auto &[name, point] : points) {
            QTest::addRow("%s, pulled", name) << point << SimulatedDevice::Removal::AdapterPulled;
            QTest::addRow("%s, line closed", name) << point << SimulatedDevice::Removal::LineClosed;
        }
    }

    void pulledAdapterEndsTheExchangeAtOnce()
    {
        QFETCH(SimulatedDevice::Point, point);
        QFETCH(SimulatedDevice::Removal, removal);
        SimulatedDevice device;
        device.setReplyLatency(20);
        LinkFixture f(device);
        const auto failureOf = [](const std::function<void()> &exchange) {
            try {
                exchange();
            } catch (const Failure &failure) {
                return failure.number();
            }
            return 0;
        };
        QElapsedTimer clock;

        if (point == SimulatedDevice::Point::Probe) {
            device.removeAt(point, removal);
            clock.start();
            QCOMPARE(failureOf([&] { f.link.probe(1); }), SerialError::PortFailed);
            // The first "!" goes out after one tick; the pull follows at once.
            QVERIFY2(clock.elapsed() < 3 * TickWait::TickIntervalMs, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(!f.link.serial().PortOpen());
            return;
        }

        const DeviceLink::ProbeResult probe = f.link.probe(1);
        QVERIFY(probe.answered());
        f.link.setCollecting(true);
        f.link.open(1);
        device.removeAt(point, removal);
        if (point == SimulatedDevice::Point::Idle || point == SimulatedDevice::Point::Answered) {
            // The device answered before it went: its "OK!" is its verdict.
            QCOMPARE(f.link.download(probe.rate(), SmallImage), QByteArray("OK!"));
            QTRY_VERIFY(device.hungUp());
            clock.start();
            QCOMPARE(failureOf([&] { f.link.queryVersion(probe.rate()); }), SerialError::PortFailed);
            QVERIFY2(clock.elapsed() < TickWait::TickIntervalMs, qPrintable(QString::number(clock.elapsed())));
            return;
        }
        clock.start();
        QCOMPARE(failureOf([&] { f.link.download(probe.rate(), SmallImage); }), SerialError::PortFailed);
        // The commands take five ticks and the small image no time on the
        // wire: the verdict's twelve ticks never run.
        const qint64 budget = (point == SimulatedDevice::Point::Commands ? 2 : 6) * TickWait::TickIntervalMs;
        QVERIFY2(clock.elapsed() < budget, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(f.link.serial().PortOpen()); // with its failure, until closed
        f.link.close();
        QVERIFY(!f.link.serial().PortOpen());
    }

    // A device that answers the image and then drops off the bus has
    // answered it: its "ER" is a refusal and its "OK!" a pass, not the
    // port's loss, and the verdict comes as soon as the port goes, not after
    // the twelve ticks. A device with its own USB chip takes the image
    // faster than the wire's pace, so it may answer and go while the image
    // is still being counted out on the program's side.
    void answerBeforeTheLossIsTheVerdict_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<SimulatedDevice::Removal>("removal");
        QTest::addColumn<bool>("paced");
        QTest::newRow("ER, pulled") << QByteArray("ER") << SimulatedDevice::Removal::AdapterPulled << true;
        QTest::newRow("ER, line closed") << QByteArray("ER") << SimulatedDevice::Removal::LineClosed << true;
        QTest::newRow("OK!, pulled") << QByteArray("OK!") << SimulatedDevice::Removal::AdapterPulled << true;
        QTest::newRow("OK! while the image is counted out, pulled")
            << QByteArray("OK!") << SimulatedDevice::Removal::AdapterPulled << false;
        QTest::newRow("ER while the image is counted out, line closed")
            << QByteArray("ER") << SimulatedDevice::Removal::LineClosed << false;
    }

    void answerBeforeTheLossIsTheVerdict()
    {
        QFETCH(QByteArray, answer);
        QFETCH(SimulatedDevice::Removal, removal);
        QFETCH(bool, paced);
        SimulatedDevice device;
        device.setReplyLatency(20);
        device.setPacing(paced);
        SimulatedDevice::Reply reply;
        reply.text = answer;
        device.setImageReply(reply);
        LinkFixture f(device);
        const DeviceLink::ProbeResult probe = f.link.probe(1);
        QVERIFY(probe.answered());
        f.link.setCollecting(true);
        f.link.open(1);
        device.removeAt(SimulatedDevice::Point::Answered, removal);
        QElapsedTimer clock;
        clock.start();
        // About 20 KB: over a second and a half on the wire at 115200 baud.
        const QByteArray image = paced ? SmallImage : longImage();
        QCOMPARE(f.link.download(probe.rate(), image), answer);
        // An "OK!" ends the wait as it is read, maybe before the device goes.
        QTRY_VERIFY(device.hungUp());
        QVERIFY2(clock.elapsed() < 6 * TickWait::TickIntervalMs + (paced ? 0 : 2000),
                 qPrintable(QString::number(clock.elapsed())));
        f.link.close();
    }

    void stopFromAnotherThreadEndsTheExchangeAtOnce()
    {
        SimulatedDevice device;
        device.setProbeReply(silence());
        LinkFixture f(device);
        std::thread stopper([&f] {
            QThread::msleep(300);
            f.link.requestStop();
        });
        QElapsedTimer clock;
        clock.start();
        QVERIFY_THROWS_EXCEPTION(ExchangeInterrupted, f.link.probe(1));
        stopper.join();
        QVERIFY(clock.elapsed() < 1000);
        QVERIFY(!f.link.serial().PortOpen());
        QCOMPARE(f.link.tickCount(), qint16(0));
    }

    void anExchangeNeverStartsInsideAnother()
    {
        SimulatedDevice device;
        LinkFixture f(device);
        SimulatedDevice otherDevice;
        FixedPortResolver otherResolver;
        otherResolver.assign(1, otherDevice.portPath());
        DeviceLink other(otherResolver);
        int failure = 0;
        // Fires inside the probe's first wait, on the same thread.
        QTimer::singleShot(100, &other, [&] {
            try {
                other.probe(1);
            } catch (const Failure &nested) {
                failure = nested.number();
            }
        });
        QVERIFY(f.link.probe(1).answered());
        QCOMPARE(failure, FailureNumber::Internal);
        QVERIFY(otherDevice.transcript().isEmpty());
    }

    void twoLinksRunSideBySide_realTicks()
    {
        // Each link on a thread of its own, counting its own ticks: together
        // they take the time of one.
        SimulatedDevice first;
        SimulatedDevice second;
        first.setOwnRate(57600);
        second.setOwnRate(57600);
        const auto probeOn = [](SimulatedDevice *device) {
            FixedPortResolver resolver;
            resolver.assign(1, device->portPath());
            DeviceLink link(resolver);
            return link.probe(1).rate();
        };
        QElapsedTimer clock;
        clock.start();
        QString rateA;
        QString rateB;
        std::unique_ptr<QThread> a(QThread::create([&] { rateA = probeOn(&first); }));
        std::unique_ptr<QThread> b(QThread::create([&] { rateB = probeOn(&second); }));
        a->start();
        b->start();
        QVERIFY(a->wait(10000) && b->wait(10000));
        QCOMPARE(rateA, QStringLiteral("57600"));
        QCOMPARE(rateB, QStringLiteral("57600"));
        // Four rates at two ticks each; one after the other would be twice that.
        QVERIFY2(clock.elapsed() < 4 * 2 * 500 + 1500, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(DeviceLinkTest)
#include "tst_device_link.moc"
