// The simulated device, talked to through a raw terminal on its slave side,
// independent of the program's serial layer.

#include "sim/SimulatedDevice.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTest>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(SimulatedDevice::Reply)
Q_DECLARE_METATYPE(SimulatedDevice::Point)

namespace {

speed_t speedOf(int rate)
{
    switch (rate) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        qFatal("no termios speed for %d", rate);
    }
}

bool setRate(int fd, int rate)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, speedOf(rate));
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

// The slave side opened raw at a rate, as a program would; -1 on failure.
int openLine(const QString &path, int rate)
{
    const int fd = ::open(qPrintable(path), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && !setRate(fd, rate)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return false;
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        done += std::max<ssize_t>(n, 0);
    }
    return true;
}

// Reads until count bytes have come or the timeout has passed.
QByteArray readBytes(int fd, qsizetype count, std::chrono::milliseconds timeout = 2s)
{
    QByteArray bytes;
    QDeadlineTimer deadline(timeout);
    while (bytes.size() < count && !deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
            break;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, size_t(std::min<qsizetype>(count - bytes.size(), sizeof buffer)));
        if (n <= 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (n > 0)
            bytes.append(buffer, n);
    }
    return bytes;
}

bool receivedExactly(const SimulatedDevice &device, const QByteArray &expected)
{
    return device.waitForReceived([&](const QByteArray &bytes) { return bytes.size() >= expected.size(); }, 2s)
           && device.received() == expected;
}

const QByteArray marker = QByteArrayLiteral(":-:: test firmware :::-");
const QByteArray dataRecord = QByteArrayLiteral(":10010000214601360121470136007EFE09D2190140");
const QByteArray shortRecord = QByteArrayLiteral(":0300300002337A1E");
const QByteArray endRecord = QByteArrayLiteral(":00000001FF");

} // namespace

class SimulatedDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void probeAnsweredAtTheDevicesRate_data()
    {
        QTest::addColumn<int>("rate");
        for (int rate : {9600, 19200, 38400, 57600, 115200})
            QTest::addRow("%d", rate) << rate;
    }

    void probeAnsweredAtTheDevicesRate()
    {
        QFETCH(int, rate);
        SimulatedDevice device;
        device.setOwnRate(rate);
        const int fd = openLine(device.portPath(), rate);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        QVERIFY(writeAll(fd, "!"));
        QCOMPARE(readBytes(fd, 1), QByteArray("!"));
        const QList<SimulatedDevice::Received> transcript = device.transcript();
        QCOMPARE(transcript.size(), 1);
        QCOMPARE(transcript.first().hostRate, rate);
        QCOMPARE(transcript.first().bytes, QByteArray("!"));
    }

    void probeAtAWrongRateIsNotUnderstood()
    {
        SimulatedDevice device;
        device.setOwnRate(19200);
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        QVERIFY(writeAll(fd, "!"));
        QVERIFY(receivedExactly(device, "!"));
        QCOMPARE(device.transcript().first().hostRate, 9600);
        // Answers go out in order, so the answer to "r" at the right rate
        // shows there was none to the "!" before it.
        QVERIFY(setRate(fd, 19200));
        QVERIFY(writeAll(fd, "r"));
        QCOMPARE(readBytes(fd, 1), QByteArray("\x11"));
    }

    void answerReadAtAWrongRateIsNoise()
    {
        SimulatedDevice device;
        device.setOwnRate(9600);
        SimulatedDevice::Reply late;
        late.delayMs = 100; // time to change the line's rate after the probe
        device.setProbeReply(late);
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        QVERIFY(writeAll(fd, "!"));
        QVERIFY(receivedExactly(device, "!"));
        QVERIFY(setRate(fd, 57600));
        const QByteArray answer = readBytes(fd, 1);
        QCOMPARE(answer.size(), 1);
        QVERIFY(answer != "!");
        QVERIFY(static_cast<unsigned char>(answer[0]) >= 0x80);
    }

    void versionByteAnswersR()
    {
        SimulatedDevice device;
        device.setVersion(0xC3);
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        QVERIFY(writeAll(fd, "r"));
        QCOMPARE(readBytes(fd, 1), QByteArray("\xC3"));
    }

    void replyOptions_data()
    {
        QTest::addColumn<SimulatedDevice::Reply>("probeReply");
        QTest::addColumn<QByteArray>("expected"); // answers to "!" and then "r"
        QTest::addColumn<int>("minimumMs");

        QTest::newRow("protocol answer") << SimulatedDevice::Reply{} << QByteArray("!\x11") << 0;
        SimulatedDevice::Reply reply;
        reply.silent = true;
        QTest::newRow("silent") << reply << QByteArray("\x11") << 0;
        reply = {};
        reply.text = "OK";
        QTest::newRow("other text") << reply << QByteArray("OK\x11") << 0;
        // A delayed answer leaves the device reading and answering meanwhile.
        reply = {};
        reply.delayMs = 150;
        QTest::newRow("delayed") << reply << QByteArray("\x11!") << 150;
        reply = {};
        reply.text = "ABCD";
        reply.pieceSize = 2;
        reply.pieceGapMs = 100;
        QTest::newRow("in pieces") << reply
                                   << QByteArray("AB\x11"
                                                 "CD")
                                   << 100;
    }

    void replyOptions()
    {
        QFETCH(SimulatedDevice::Reply, probeReply);
        QFETCH(QByteArray, expected);
        QFETCH(int, minimumMs);
        SimulatedDevice device;
        device.setProbeReply(probeReply);
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        QElapsedTimer clock;
        clock.start();
        QVERIFY(writeAll(fd, "!r"));
        QCOMPARE(readBytes(fd, expected.size()), expected);
        QVERIFY2(clock.elapsed() >= minimumMs, qPrintable(QString::number(clock.elapsed())));
    }

    void download_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("lastImage");

        const QByteArray valid = marker + "\r\n" + dataRecord + "\r\n" + shortRecord + "\r\n" + endRecord + "\r";
        QTest::newRow("valid") << valid + "\n" << QByteArray("OK!") << valid;
        QByteArray badChecksum = valid;
        badChecksum.replace(shortRecord, ":0300300002337A1F");
        QTest::newRow("bad checksum") << badChecksum + "\n" << QByteArray("ER") << badChecksum;
        // Without the end record only the pause after the last byte ends it.
        const QByteArray unterminated = marker + "\r\n" + dataRecord + "\r\n";
        QTest::newRow("no end record") << unterminated << QByteArray("OK!") << unterminated;
    }

    void download()
    {
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, lastImage);
        SimulatedDevice device;
        device.setOwnRate(19200);
        const int fd = openLine(device.portPath(), 19200);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        QVERIFY(writeAll(fd, "dl"));
        QVERIFY(receivedExactly(device, "dl"));
        QVERIFY(setRate(fd, 115200));
        QVERIFY(writeAll(fd, "e" + image));
        QCOMPARE(readBytes(fd, answer.size()), answer);
        QVERIFY(receivedExactly(device, "dle" + image));

        const QList<SimulatedDevice::Received> transcript = device.transcript();
        QCOMPARE(transcript.size(), 2);
        QCOMPARE(transcript[0].hostRate, 19200);
        QCOMPARE(transcript[0].bytes, QByteArray("dl"));
        QCOMPARE(transcript[1].hostRate, 115200);
        QCOMPARE(transcript[1].bytes, "e" + image);
        QCOMPARE(device.lastImage(), lastImage);
        QCOMPARE(device.imagesAccepted(), answer == "OK!" ? 1 : 0);
        QCOMPARE(device.imagesRejected(), answer == "ER" ? 1 : 0);

        // Back at its own rate and listening.
        QVERIFY(setRate(fd, 19200));
        QVERIFY(writeAll(fd, "!"));
        QCOMPARE(readBytes(fd, 1), QByteArray("!"));
    }

    void downloadGivenUpWithoutE()
    {
        SimulatedDevice device;
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        QElapsedTimer clock;
        clock.start();
        QVERIFY(writeAll(fd, "dl"));
        // The device listens at 115200 now; probes at its own rate go unheard
        // until it gives the download up.
        QByteArray answer;
        while (answer.isEmpty() && clock.elapsed() < 5000) {
            QVERIFY(writeAll(fd, "!"));
            answer = readBytes(fd, 1, 250ms);
        }
        QCOMPARE(answer, QByteArray("!"));
        QVERIFY2(clock.elapsed() >= 2900, qPrintable(QString::number(clock.elapsed())));
    }

    void readingTakesWireTime_data()
    {
        QTest::addColumn<bool>("paced");
        QTest::newRow("paced") << true;
        QTest::newRow("not paced") << false;
    }

    void readingTakesWireTime()
    {
        QFETCH(bool, paced);
        SimulatedDevice device;
        device.setOwnRate(115200);
        device.setPacing(paced);
        const int fd = openLine(device.portPath(), 115200);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        // 5 KiB ending in a probe: its answer can only leave once all of it
        // has crossed the line, 10 bits a byte.
        const QByteArray text = QByteArray(5 * 1024 - 1, 'x') + "!";
        const qint64 wireMs = text.size() * 10 * 1000 / 115200;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(writeAll(fd, text));
        QCOMPARE(readBytes(fd, 1), QByteArray("!"));
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(device.received(), text);
        if (paced)
            QVERIFY2(elapsed >= wireMs, qPrintable(QStringLiteral("%1 < %2").arg(elapsed).arg(wireMs)));
        else
            QVERIFY2(elapsed < wireMs / 2, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
    }

    void hangUpFailsTheLine_data()
    {
        QTest::addColumn<qint64>("afterBytes"); // negative: hang up at once
        QTest::addColumn<QByteArray>("received");
        QTest::newRow("at once") << qint64(-1) << QByteArray();
        // The device hears exactly three bytes, the probe the last of them;
        // the line fails instead of answering it.
        QTest::newRow("after three bytes") << qint64(3) << QByteArray("ab!");
    }

    void hangUpFailsTheLine()
    {
        QFETCH(qint64, afterBytes);
        QFETCH(QByteArray, received);
        SimulatedDevice device;
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        if (afterBytes < 0) {
            device.hangUp();
        } else {
            device.hangUpAfter(afterBytes);
            QVERIFY(writeAll(fd, "ab!def"));
        }
        pollfd p{fd, POLLIN, 0};
        QCOMPARE(::poll(&p, 1, 2000), 1);
        QVERIFY(p.revents & POLLHUP);
        char byte = 0;
        errno = 0;
        const ssize_t n = ::read(fd, &byte, 1);
        QVERIFY2(n == 0 || (n < 0 && errno == EIO),
                 qPrintable(QStringLiteral("read gave %1, errno %2").arg(n).arg(errno)));
        QVERIFY(device.hungUp());
        QCOMPARE(device.received(), received);
    }

    // Pulled as the kernel does it, the line reads end-of-file, its writes
    // fail and a terminal request on it fails; the device hears nothing
    // past the point it was pulled at.
    void pulledAdapterHangsTheLineUp_data()
    {
        QTest::addColumn<SimulatedDevice::Point>("point");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("heard");
        QTest::newRow("now") << SimulatedDevice::Point::Idle << QByteArray() << QByteArray();
        QTest::newRow("on the probe") << SimulatedDevice::Point::Probe << QByteArray("x!!") << QByteArray("x!");
        QTest::newRow("on dl") << SimulatedDevice::Point::Commands << QByteArray("dle") << QByteArray("dl");
    }

    void pulledAdapterHangsTheLineUp()
    {
        QFETCH(SimulatedDevice::Point, point);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, heard);
        SimulatedDevice device;
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });
        if (sent.isEmpty()) {
            device.hangUp(SimulatedDevice::Removal::AdapterPulled);
        } else {
            device.removeAt(point);
            QVERIFY(writeAll(fd, sent));
            QTRY_VERIFY(device.hungUp());
        }
        char byte = 0;
        QCOMPARE(::read(fd, &byte, 1), ssize_t(0)); // end-of-file, not EIO
        QCOMPARE(::write(fd, "!", 1), ssize_t(-1));
        QCOMPARE(errno, EIO);
        termios settings{};
        QCOMPARE(::tcgetattr(fd, &settings), -1);
        QCOMPARE(device.received(), heard);
        QVERIFY(!QFile::exists(device.portPath())); // the node has gone
    }

    // Every answer leaves the reply latency after the command; after taking
    // an image the device restarts and is deaf for its reset time.
    void latencyAndResetAfterAnImage_realTicks()
    {
        SimulatedDevice device;
        device.setReplyLatency(50);
        device.setResetAfterImage(400);
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(writeAll(fd, "!"));
        QCOMPARE(readBytes(fd, 1), QByteArray("!"));
        QVERIFY2(clock.elapsed() >= 50, qPrintable(QString::number(clock.elapsed())));

        QVERIFY(writeAll(fd, "dl"));
        QVERIFY(receivedExactly(device, "!dl"));
        setRate(fd, 115200);
        QVERIFY(writeAll(fd, "e" + marker + '\r' + endRecord + '\r'));
        QCOMPARE(readBytes(fd, 3), QByteArray("OK!"));
        setRate(fd, 9600);
        // Asked at once, the restarting device does not hear the question;
        // asked after its reset, it answers.
        QVERIFY(writeAll(fd, "r"));
        QCOMPARE(readBytes(fd, 1, 300ms), QByteArray());
        QTest::qWait(400);
        QVERIFY(writeAll(fd, "r"));
        QCOMPARE(readBytes(fd, 1), QByteArray("\x11"));
    }

    void noiseNeverBlocksTheCaller()
    {
        SimulatedDevice device;
        const int fd = openLine(device.portPath(), 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        const qint64 megabyte = 1024 * 1024;
        QElapsedTimer clock;
        clock.start();
        device.sendNoise(megabyte, 7);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        const QByteArray noise = readBytes(fd, megabyte, 10s);
        QCOMPARE(noise.size(), megabyte);
        QVERIFY(noise.count(noise[0]) < noise.size() / 16);

        // Nobody reads this one; the device must still shut down.
        device.sendNoise(megabyte, 8);
        device.send("!");
    }

    void slaveStaysUsableAcrossOpenAndClose()
    {
        SimulatedDevice device;
        for (int round = 0; round < 3; ++round) {
            QSerialPort port(device.portPath());
            port.setBaudRate(9600);
            QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
            port.write("!");
            QVERIFY(port.waitForBytesWritten(1000));
            QByteArray answer;
            QDeadlineTimer deadline(2s);
            while (answer.isEmpty() && port.waitForReadyRead(int(deadline.remainingTime())))
                answer += port.readAll();
            QCOMPARE(answer, QByteArray("!"));
            port.close();

            // Nothing of the program's exclusive claim outlives its close.
            const int fd = openLine(device.portPath(), 9600);
            QVERIFY(fd >= 0);
            const auto closeLine = qScopeGuard([fd] { ::close(fd); });
            // qemu-user, which runs the arm64 build here, passes the claim
            // (TIOCEXCL) through but does not know the question (ENOTTY).
            int exclusive = -1;
            if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0)
                QCOMPARE(exclusive, 0);
            else
                QCOMPARE(errno, ENOTTY);
            QVERIFY(writeAll(fd, "r"));
            QCOMPARE(readBytes(fd, 1), QByteArray("\x11"));
        }
        QCOMPARE(device.received(), QByteArray("!r!r!r"));
    }

    void firmwareCheck_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<bool>("acceptable");

        const QByteArray crlf = marker + "\r\n" + dataRecord + "\r\n" + shortRecord + "\r\n" + endRecord + "\r\n";
        QTest::newRow("records, CR LF") << crlf << true;
        QTest::newRow("records, CR") << QByteArray(crlf).replace("\r\n", "\r") << true;
        QTest::newRow("marker line only") << QByteArray(":-:::::-\r") << true;
        QTest::newRow("no end record") << marker + "\r" + dataRecord << true;
        QTest::newRow("empty lines") << marker + "\r\n\r\n" + dataRecord + "\r\r" + endRecord + "\r" << true;
        QTest::newRow("anything after the end record") << marker + "\r" + endRecord + "\r\n" + "not a record\r\n"
                                                       << true;

        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("wrong marker end") << ":-:: test firmware ::--\r" + dataRecord << false;
        QTest::newRow("short marker line") << ":-:\r" + dataRecord << false;
        QTest::newRow("record before marker") << dataRecord + "\r" + marker + "\r" << false;
        QTest::newRow("bad checksum") << marker + "\r:0300300002337A1F\r" << false;
        QTest::newRow("count disagrees with length") << marker + "\r:0400300002337A1D\r" << false;
        QTest::newRow("odd digit count") << marker + "\r:0300300002337A1E0\r" << false;
        QTest::newRow("not hex") << marker + "\r:0300300002337G1E\r" << false;
        QTest::newRow("no colon") << marker + "\r0300300002337A1E\r" << false;
        QTest::newRow("LF alone ends no line") << QByteArray(crlf).replace("\r\n", "\n") << false;
    }

    void firmwareCheck()
    {
        QFETCH(QByteArray, image);
        QFETCH(bool, acceptable);
        QCOMPARE(SimulatedDevice::firmwareAcceptable(image), acceptable);
    }
};

QTEST_GUILESS_MAIN(SimulatedDeviceTest)
#include "tst_simulated_device.moc"
