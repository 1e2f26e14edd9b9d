// The serial layer against the simulated device on a real pseudo-terminal.

#include "support/OpenDescriptors.h"

#include "downloader/Form1.h"
#include "serial/PortResolver.h"
#include "serial/SerialControl.h"
#include "serial/SerialSettings.h"
#include "sim/SimulatedDevice.h"
#include "ui/Module1.h"

#include "base/SystemPath.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(SimulatedDevice::Removal)

class SerialControlTest : public QObject
{
    Q_OBJECT

private:
    static Failure openFailure(const QString &path)
    {
        FixedPortResolver resolver;
        resolver.assign(1, path);
        SerialControl control(resolver);
        try {
            control.setPortOpen(true);
        } catch (const Failure &failure) {
            return failure;
        }
        return Failure(0, QStringLiteral("opened"));
    }

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
        // On a wire the byte has gone when its time is up; the simulated
        // device reads the rate when it reads the byte, which a busy machine
        // can delay past the change.
        QVERIFY(device.waitForReceived([](const QByteArray &bytes) { return bytes == "!"; }, 2s));
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

    void hangUpFailsTheNextOperation_data()
    {
        QTest::addColumn<SimulatedDevice::Removal>("removal");
        QTest::newRow("adapter pulled (tty hung up)") << SimulatedDevice::Removal::AdapterPulled;
        QTest::newRow("line closed (pty master closed)") << SimulatedDevice::Removal::LineClosed;
    }

    void hangUpFailsTheNextOperation()
    {
        QFETCH(SimulatedDevice::Removal, removal);
        SimulatedDevice device;
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        SerialControl control(resolver);
        control.setPortOpen(true);
        device.hangUp(removal);
        // The failure comes while nothing runs; it must not be lost. The dead
        // descriptor is let go at once (a hung-up tty reads as ready for
        // ever), while the port stays open to its user with the failure.
        QTRY_COMPARE(failureNumberOf([&] { control.InBufferCount(); }), SerialError::PortFailed);
        QTRY_VERIFY(!descriptorOpenOn(device.portPath()));
        QVERIFY(control.PortOpen());
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

    // A read that finds the line empty and says EAGAIN is no lost port: the
    // kernel still answers for the line, so it is read on and what the
    // device says next arrives. The line is made to say EAGAIN as a real one
    // can: a minimum count of one, and the bytes that woke the reader taken
    // first by another read on the same descriptor.
    void anEmptyReadOnALiveLineKeepsThePort()
    {
        // A turn of the GLib event loop polls first and delivers posted
        // calls before the port's notice; another loop may take the bytes
        // before it polls, and then the read is never made.
        if (!QCoreApplication::eventDispatcher()->inherits("QEventDispatcherGlib"))
            QSKIP("the order of a turn of the event loop is GLib's");
        SimulatedDevice device;
        device.setReplyLatency(20);
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        SerialControl control(resolver);
        control.setSettings("9600,n,8,1");
        control.setPortOpen(true);
        control.setInputMode(1);
        control.setRThreshold(0);
        const int descriptor = descriptorOn(device.portPath());
        QVERIFY(descriptor >= 0);
        termios settings{};
        QCOMPARE(::tcgetattr(descriptor, &settings), 0);
        settings.c_cc[VMIN] = 1;
        QCOMPARE(::tcsetattr(descriptor, TCSANOW, &settings), 0);

        for (int round = 0; round < 3; ++round) {
            // The bytes wait on the line while the event loop is not running;
            // the next turn of the loop sees it readable, and a call queued
            // before that turn takes the bytes before the port reads.
            device.send("xyz");
            pollfd readable{descriptor, POLLIN, 0};
            QCOMPARE(::poll(&readable, 1, 5000), 1);
            ssize_t taken = -1;
            QMetaObject::invokeMethod(
                &control,
                [&] {
                    char bytes[16];
                    taken = ::read(descriptor, bytes, sizeof bytes);
                },
                Qt::QueuedConnection);
            // The port's read comes in the same turn of the loop, right
            // after the call.
            QTRY_COMPARE(taken, ssize_t(3));
            QCOMPARE(failureNumberOf([&] { control.InBufferCount(); }), 0);
            device.send("OK!");
            QTRY_COMPARE(control.InBufferCount(), qint16(3));
            QCOMPARE(control.Input(), QByteArray("OK!"));
        }
        control.Output("!");
        QVERIFY(device.waitForReceived([](const QByteArray &bytes) { return bytes == "!"; }, 2s));
        QTRY_COMPARE(control.InBufferCount(), qint16(1));
        QCOMPARE(control.Input(), QByteArray("!"));
    }

    // Each reason a port will not open has its own number and words, with
    // the system's text where there is one; only a port held by another
    // opener says "in use".
    void openFailuresSayWhatTheyAre_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("words");
        QTest::newRow("missing") << "missing" << SerialError::InvalidPortNumber << "Invalid port number";
        QTest::newRow("folder") << "folder" << SerialError::NotASerialPort << "it is a folder";
        QTest::newRow("FIFO") << "fifo" << SerialError::NotASerialPort << "it is a FIFO";
        QTest::newRow("regular file") << "file" << SerialError::NotASerialPort << "it is a regular file";
        QTest::newRow("device that is no tty")
            << "null device" << SerialError::NotASerialPort << "is not a serial port. (Inappropriate ioctl";
        QTest::newRow("device that is not there")
            << "locked pty" << SerialError::PortGone << "its device is not: was the adapter pulled?";
        QTest::newRow("held with a lock by another opener")
            << "flocked" << SerialError::PortInUse << "in use by another program";
        QTest::newRow("held by another program") << "held" << SerialError::PortInUse << "in use by another program";
    }

    void openFailuresSayWhatTheyAre()
    {
        QFETCH(QString, kind);
        QFETCH(int, number);
        QFETCH(QString, words);
        QTemporaryDir folder;
        SimulatedDevice device;
        FixedPortResolver resolver;
        resolver.assign(1, device.portPath());
        SerialControl holder(resolver);
        QString path = folder.filePath(kind);
        int descriptor = -1;
        const auto closeDescriptor = qScopeGuard([&descriptor] {
            if (descriptor >= 0)
                ::close(descriptor);
        });
        if (kind == "folder") {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == "file") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (kind == "locked pty") {
            // A pty whose other side has not been unlocked: its node is
            // there, opening it gives EIO, as a device that has gone does.
            descriptor = ::posix_openpt(O_RDWR | O_NOCTTY);
            QVERIFY(descriptor >= 0 && ::grantpt(descriptor) == 0);
            path = QString::fromLocal8Bit(::ptsname(descriptor));
        } else if (kind == "flocked") {
            path = device.portPath();
            descriptor = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
            QVERIFY(descriptor >= 0 && ::flock(descriptor, LOCK_EX) == 0);
        } else if (kind == "held") {
            path = device.portPath();
            holder.setPortOpen(true);
        } else if (kind == "null device") {
            path = QStringLiteral("/dev/null");
        }

        const Failure failure = openFailure(path);
        QCOMPARE(failure.number(), number);
        QVERIFY2(failure.description().contains(words), qPrintable(failure.description()));
        QCOMPARE(failure.description().contains("in use"), number == SerialError::PortInUse);
        if (number != SerialError::InvalidPortNumber)
            QVERIFY2(failure.description().contains(path), qPrintable(failure.description()));
    }

    // A path is bytes: one that is no UTF-8 opens the device it names.
    void pathThatIsNotUtf8Opens()
    {
        SimulatedDevice device;
        QTemporaryDir folder;
        const QByteArray link = QFile::encodeName(folder.path()) + "/port-\xff\xfe";
        QCOMPARE(::symlink(QFile::encodeName(device.portPath()).constData(), link.constData()), 0);
        FixedPortResolver resolver;
        resolver.assign(1, systemTextFromBytes(link));
        SerialControl control(resolver);
        control.setPortOpen(true);
        control.Output("!");
        QVERIFY(device.waitForReceived([](const QByteArray &bytes) { return bytes == "!"; }, 2s));
        control.setPortOpen(false);
        ::unlink(link.constData()); // Qt cannot remove a name it cannot spell
    }
};

QTEST_MAIN(SerialControlTest)
#include "tst_serial_control.moc"
