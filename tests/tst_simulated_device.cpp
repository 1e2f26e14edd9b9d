// The simulated device, talked to through a raw terminal on its slave side,
// independent of the program's serial layer.

#include "sim/SimulatedDevice.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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
Q_DECLARE_METATYPE(DeviceMemory::Range)

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

// An Intel HEX record with its checksum, and the CR LF after it.
QByteArray record(quint16 offset, quint8 type, const QByteArray &data)
{
    QByteArray bytes;
    bytes += char(data.size());
    bytes += char(offset >> 8);
    bytes += char(offset & 0xff);
    bytes += char(type);
    bytes += data;
    unsigned sum = 0;
    for (const char byte : std::as_const(bytes))
        sum += static_cast<unsigned char>(byte);
    bytes += char(-sum & 0xff);
    return ':' + bytes.toHex().toUpper() + "\r\n";
}

QByteArray data(quint16 offset, const QByteArray &bytes)
{
    return record(offset, 0x00, bytes);
}

QByteArray linearBase(quint16 upper)
{
    return record(0, 0x04, QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
}

QByteArray segmentBase(quint16 segment)
{
    return record(0, 0x02, QByteArray::fromHex(QByteArray::number(segment, 16).rightJustified(4, '0')));
}

// Downloads one image at the device's own rate and returns its answer.
QByteArray downloadImage(int fd, SimulatedDevice &device, int ownRate, const QByteArray &image)
{
    device.clearTranscript();
    if (!setRate(fd, ownRate) || !writeAll(fd, "dl") || !receivedExactly(device, "dl") || !setRate(fd, 115200)
        || !writeAll(fd, "e" + image))
        return "(not sent)";
    // An image ended by a pause is answered 300 ms after its last byte.
    return readBytes(fd, 3, 3s);
}

using Ranges = QList<DeviceMemory::Range>;

} // namespace

namespace QTest {
template <> char *toString(const DeviceMemory::Range &range)
{
    return qstrdup(QByteArray::number(range.address, 16).rightJustified(8, '0') + ": " + range.bytes.toHex(' '));
}
} // namespace QTest

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

    // The memory alone: writes join what they touch and overwrite what they
    // cover; what was never written reads 0xFF, also across the top of the
    // address space.
    void memoryKeepsWrites_data()
    {
        QTest::addColumn<Ranges>("writes");
        QTest::addColumn<Ranges>("held");
        QTest::addColumn<quint32>("readAt");
        QTest::addColumn<QByteArray>("read");

        QTest::newRow("apart") << Ranges{{0x10, "ab"}, {0x20, "cd"}} << Ranges{{0x10, "ab"}, {0x20, "cd"}}
                               << quint32(0x11) << QByteArray("b\xFF\xFF");
        QTest::newRow("touching, either order")
            << Ranges{{0x12, "cd"}, {0x10, "ab"}, {0x14, "ef"}} << Ranges{{0x10, "abcdef"}} << quint32(0x0f)
            << QByteArray("\xFF"
                          "abcdef\xFF");
        QTest::newRow("over a part") << Ranges{{0x10, "abcdef"}, {0x13, "XY"}} << Ranges{{0x10, "abcXYf"}}
                                     << quint32(0x10) << QByteArray("abcXYf");
        QTest::newRow("bridging two") << Ranges{{0x10, "ab"}, {0x16, "gh"}, {0x11, "BcdefG"}}
                                      << Ranges{{0x10, "aBcdefGh"}} << quint32(0x10) << QByteArray("aBcdefGh");
        QTest::newRow("across the top") << Ranges{{0xFFFFFFFE, "abcd"}} << Ranges{{0, "cd"}, {0xFFFFFFFE, "ab"}}
                                        << quint32(0xFFFFFFFD)
                                        << QByteArray("\xFF"
                                                      "abcd\xFF");
    }

    void memoryKeepsWrites()
    {
        QFETCH(Ranges, writes);
        QFETCH(Ranges, held);
        QFETCH(quint32, readAt);
        QFETCH(QByteArray, read);
        DeviceMemory memory;
        for (const DeviceMemory::Range &write : std::as_const(writes))
            memory.write(write.address, write.bytes);
        QCOMPARE(memory.ranges(), held);
        QCOMPARE(memory.read(readAt, int(read.size())), read);
        memory.erase();
        QVERIFY(memory.isErased());
        QCOMPARE(memory.read(readAt, 2), QByteArray("\xFF\xFF"));
    }

    // What images leave in the device's memory: each data record at its
    // full address as it arrives, the base reset with every image; an image
    // refused for a bad record keeps what came before the fault.
    void memoryFromImages_data()
    {
        QTest::addColumn<QList<QByteArray>>("images");
        QTest::addColumn<QList<QByteArray>>("answers");
        QTest::addColumn<Ranges>("held");

        const QByteArray head = marker + "\r\n";
        const QByteArray tail = endRecord + "\r\n";
        QTest::newRow("linear and segment bases")
            << QList<QByteArray>{head + data(0x0100, "AB") + linearBase(0x0800) + data(0xFF00, "SN-0042")
                                 + segmentBase(0x1234) + data(0x0002, "EF") + tail}
            << QList<QByteArray>{"OK!"} << Ranges{{0x0100, "AB"}, {0x12342, "EF"}, {0x0800FF00, "SN-0042"}};
        QTest::newRow("next image from base 0, over the last")
            << QList<QByteArray>{head + linearBase(0x0001) + data(0x0000, "XYZ") + tail,
                                 head + data(0x0000, "a") + linearBase(0x0001) + data(0x0001, "q") + tail}
            << QList<QByteArray>{"OK!", "OK!"} << Ranges{{0x0000, "a"}, {0x10000, "XqZ"}};
        QByteArray badChecksum = data(0x0200, "CD");
        badChecksum[badChecksum.size() - 3] = badChecksum[badChecksum.size() - 3] == '0' ? '1' : '0';
        QTest::newRow("refused at a bad record")
            << QList<QByteArray>{head + data(0x0100, "AB") + badChecksum + data(0x0300, "EF") + tail}
            << QList<QByteArray>{"ER"} << Ranges{{0x0100, "AB"}};
        QTest::newRow("wrong marker") << QList<QByteArray>{":-:: test firmware ::--\r\n" + data(0x0100, "AB") + tail}
                                      << QList<QByteArray>{"ER"} << Ranges{};
        // Ended by the pause after it, the last record has no CR.
        QTest::newRow("last line without CR") << QList<QByteArray>{head + data(0x0100, "AB").chopped(2)}
                                              << QList<QByteArray>{"OK!"} << Ranges{{0x0100, "AB"}};
    }

    void memoryFromImages()
    {
        QFETCH(QList<QByteArray>, images);
        QFETCH(QList<QByteArray>, answers);
        QFETCH(Ranges, held);
        SimulatedDevice device;
        device.setOwnRate(38400);
        device.setReplyLatency(20);
        const int fd = openLine(device.portPath(), 38400);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        for (qsizetype i = 0; i < images.size(); ++i)
            QCOMPARE(downloadImage(fd, device, 38400, images[i]), answers[i]);
        QCOMPARE(device.writtenMemory(), held);
        for (const DeviceMemory::Range &range : std::as_const(held)) {
            // Read with a byte either side, never written.
            QCOMPARE(device.memory(range.address - 1, int(range.bytes.size() + 2)), "\xFF" + range.bytes + "\xFF");
        }

        // A fresh device on the line starts erased.
        device.setPresent(true);
        QCOMPARE(device.writtenMemory(), Ranges{});
        QCOMPARE(device.memory(0x0100, 2), QByteArray("\xFF\xFF"));
    }

    // device-sim prints the memory after every image: the place asked for
    // and every written stretch, as a hex dump with its text.
    void deviceSimPrintsMemory()
    {
        QProcess sim;
        sim.start(qEnvironmentVariable("TARVIK_BUILD_DIR") + QStringLiteral("/device-sim"),
                  {QStringLiteral("--reply-delay"), QStringLiteral("20"), QStringLiteral("--memory"),
                   QStringLiteral("0x0800FEFE:12"), QStringLiteral("--dump-memory"), QStringLiteral("--verbose")});
        const auto stop = qScopeGuard([&sim] {
            sim.terminate();
            sim.waitForFinished(5000);
        });
        QVERIFY(sim.waitForReadyRead(10000));
        const QString path = QString::fromLocal8Bit(sim.readLine().trimmed());
        const int fd = openLine(path, 9600);
        QVERIFY(fd >= 0);
        const auto closeLine = qScopeGuard([fd] { ::close(fd); });

        QVERIFY(writeAll(fd, "dl"));
        // The device listens at 115200 once it has heard "dl", which it
        // reports on stderr.
        QByteArray heard;
        QTRY_VERIFY((heard += sim.readAllStandardError()).contains("[9600 baud] dl"));
        QVERIFY(setRate(fd, 115200));
        QVERIFY(writeAll(fd, "e" + marker + "\r\n" + data(0x0010, "hi") + linearBase(0x0800) + data(0xFF00, "SN-0042")
                                 + endRecord + "\r\n"));
        QCOMPARE(readBytes(fd, 3), QByteArray("OK!"));

        const QByteArray expected = "image 1 answered \"OK!\"\n"
                                    "  at 0x0800FEFE, 12 bytes:\n"
                                    "    0800fefe  ff ff 53 4e 2d 30 30 34  32 ff ff ff              |..SN-0042...|\n"
                                    "  written 0x00000010..0x00000011, 2 bytes:\n"
                                    "    00000010  68 69                                             |hi|\n"
                                    "  written 0x0800FF00..0x0800FF06, 7 bytes:\n"
                                    "    0800ff00  53 4e 2d 30 30 34 32                              |SN-0042|\n";
        QByteArray printed;
        QTRY_VERIFY2((printed += sim.readAllStandardOutput()).size() >= expected.size(), printed.constData());
        QCOMPARE(printed, expected);
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
