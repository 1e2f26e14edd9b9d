// The serial layer against the simulated device on a real pseudo-terminal.

#include "downloader/Form1.h"
#include "serial/PortResolver.h"
#include "serial/SerialControl.h"
#include "serial/SerialSettings.h"
#include "sim/SimulatedDevice.h"
#include "ui/Module1.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

class SerialControlTest : public QObject
{
    Q_OBJECT

private:
    int failureNumberOf(const std::function<void()> &operation)
    {
        try {
            operation();
        } catch (const Failure &failure) {
            return failure.number();
        }
        return 0;
    }

private slots:
    void settingsStrings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("baud");
        QTest::newRow("probed rate") << "19200,n,8,1" << true << 19200;
        QTest::newRow("download rate") << "115200,n,8,1" << true << 115200;
        QTest::newRow("upper-case parity") << "9600,N,8,1" << true << 9600;
        QTest::newRow("empty rate (no probe ran)") << ",n,8,1" << false << 0;
        QTest::newRow("blank inside") << "9600, n,8,1" << false << 0;
        QTest::newRow("blank after the rate") << "1 ,N,8,1" << false << 0;
        QTest::newRow("blank before the rate") << " 9600,n,8,1" << false << 0;
        QTest::newRow("signed rate") << "+9600,n,8,1" << false << 0;
        QTest::newRow("missing field") << "9600,n,8" << false << 0;
        QTest::newRow("zero rate") << "0,n,8,1" << false << 0;
        QTest::newRow("negative rate") << "-9600,n,8,1" << false << 0;
        QTest::newRow("unknown parity") << "9600,x,8,1" << false << 0;
        QTest::newRow("nine data bits") << "9600,n,9,1" << false << 0;
        QTest::newRow("three stop bits") << "9600,n,8,3" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
    }

    void settingsStrings()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, baud);
        const std::optional<SerialSettings> settings = SerialSettings::parse(text);
        QCOMPARE(settings.has_value(), valid);
        if (valid)
            QCOMPARE(settings->baudRate, baud);
    }

    void wireTimeCountsTenBitsAByte()
    {
        const SerialSettings settings = *SerialSettings::parse("115200,n,8,1");
        QCOMPARE(settings.wireTimeMs(11520), qint64(1000));
        QCOMPARE(SerialSettings::parse("9600,n,8,1")->wireTimeMs(1), qint64(2)); // rounds up
    }

    void portNumberThatNamesNoPortIs8002()
    {
        FixedPortResolver resolver;
        resolver.assign(2, QStringLiteral("/dev/tarvik-no-such-port"));
        SerialControl control(resolver);
        for (qint16 number : {qint16(1), qint16(2)}) {
            control.setCommPort(number);
            QCOMPARE(failureNumberOf([&] { control.setPortOpen(true); }), SerialError::InvalidPortNumber);
            QVERIFY(!control.PortOpen());
        }
    }

    void secondOpenOfTheSamePortFails()
    {
        SimulatedDevice device;
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        SerialControl first(resolver);
        SerialControl second(resolver);
        first.setPortOpen(true);
        QCOMPARE(failureNumberOf([&] { second.setPortOpen(true); }), SerialError::PortInUse);
        QVERIFY(!second.PortOpen());
        first.setPortOpen(false);
        second.setPortOpen(true); // free again once closed
        QVERIFY(second.PortOpen());
    }

    void operationsOnAClosedPortFail()
    {
        FixedPortResolver resolver;
        SerialControl control(resolver);
        QCOMPARE(failureNumberOf([&] { control.Output("!"); }), SerialError::PortNotOpen);
        QCOMPARE(failureNumberOf([&] { control.Input(); }), SerialError::PortNotOpen);
        QCOMPARE(failureNumberOf([&] { control.setSettings("fast"); }), FailureNumber::InvalidProperty);
        control.setPortOpen(false); // closing a closed port is harmless
    }

    void rateChangeKeepsThePortOpenOnTheSameDevice()
    {
        SimulatedDevice device;
        device.setOwnRate(19200);
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        SerialControl control(resolver);
        control.setSettings("19200,n,8,1");
        control.setPortOpen(true);
        control.Output("!");
        control.setSettings("115200,n,8,1");
        QVERIFY(control.PortOpen());
        QCOMPARE(control.CommPort(), qint16(1));
        control.Output("e");
        QVERIFY(device.waitForReceived([](const QByteArray &bytes) { return bytes == "!e"; }, 2s));
        const QList<SimulatedDevice::Received> transcript = device.transcript();
        QCOMPARE(transcript.first().hostRate, 19200);
        QCOMPARE(transcript.last().hostRate, 115200);
    }

    void longTextLeavesWholeAndTakesItsWireTime()
    {
        SimulatedDevice device;
        device.setPacing(false); // the port's own wire-time wait is under test
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        SerialControl control(resolver);
        // A fast line keeps the test short; 300 KB still overfills every buffer.
        control.setSettings("921600,n,8,1");
        control.setPortOpen(true);
        QByteArray text(300 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i)
            text[i] = char((i * 7 + i / 251) & 0xff);

        QElapsedTimer clock;
        clock.start();
        control.Output(text);
        const qint64 elapsed = clock.elapsed();
        const qint64 wireTime = SerialSettings::parse("921600,n,8,1")->wireTimeMs(text.size());
        QVERIFY2(elapsed >= wireTime, qPrintable(QStringLiteral("%1 < %2").arg(elapsed).arg(wireTime)));
        QVERIFY(device.waitForReceived([&](const QByteArray &bytes) { return bytes.size() >= text.size(); }, 10s));
        QCOMPARE(device.received(), text);
    }

    void binaryModeWithoutEventsKeepsBytesQueued()
    {
        SimulatedDevice device;
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        SerialControl control(resolver);
        control.setPortOpen(true);
        control.setInputMode(1);
        control.setRThreshold(0);
        QSignalSpy events(&control, &SerialControl::OnComm);
        device.send(QByteArray("\x07\x00\xff", 3));
        QTRY_COMPARE(control.InBufferCount(), qint16(3));
        QCOMPARE(events.count(), 0);
        QCOMPARE(control.Input(), QByteArray("\x07\x00\xff", 3));
        QCOMPARE(control.InBufferCount(), qint16(0));
    }

    void receiveHandlerJoinsPiecesAfterWhatIsThere()
    {
        SimulatedDevice device;
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        Module1::PortNumber = 1;
        Form1 window(resolver);
        window.Form_Load();
        window.RxBuffer = "xy";
        device.send("OK");
        QTRY_COMPARE(window.RxBuffer, QByteArray("xyOK"));
        device.send("!");
        QTRY_COMPARE(window.RxBuffer, QByteArray("xyOK!"));

        window.MSComm1.raiseCommEvent(SerialControl::SendEvent);
        QCOMPARE(window.RxBuffer, QByteArray("xyOK!"));
        window.Form_Unload();
        QVERIFY(!window.MSComm1.PortOpen());
    }

    void hangUpFailsTheNextOperation()
    {
        SimulatedDevice device;
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        SerialControl control(resolver);
        control.setPortOpen(true);
        device.hangUp();
        // The failure comes while nothing runs; it must not be lost.
        QTest::qWait(100);
        QCOMPARE(failureNumberOf([&] {
                     for (int i = 0; i < 50; ++i) {
                         control.Output("!");
                         QTest::qWait(20);
                     }
                 }),
                 SerialError::PortFailed);
        control.setPortOpen(false);
        QVERIFY(!control.PortOpen());
    }
};

QTEST_MAIN(SerialControlTest)
#include "tst_serial_control.moc"
