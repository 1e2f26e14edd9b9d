// The downloader window with --log: a production log line for each download
// and each version query, and a log that cannot be opened told at start.

#include "support/CommandFixture.h"
#include "support/SimFixture.h"

#include "downloader/Form1.h"
#include "log/ProductionLog.h"
#include "ui/Module1.h"

#include <QCryptographicHash>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

namespace {

// The downloader window with the production log at `path` and the example
// firmware loaded; the device at its own rate, as after a probe.
Form1 &windowWithLog(SimFixture &fixture, const QString &path)
{
    fixture.program = std::make_unique<Program>(fixture.resolver);
    if (!fixture.program->openProductionLog(path))
        qFatal("cannot open the log %s", qPrintable(path));
    fixture.program->start();
    Module1::PortNumber = 1;
    Module1::BaudRate = QString::number(fixture.device.ownRate());
    fixture.program->handOffToDownloader();
    fixture.loadFirmware(SimFixture::exampleFirmware());
    return *fixture.form1();
}

// The log's lines after the header, split at commas (none of these tests
// writes a field with one).
QList<QList<QByteArray>> logLines(const QString &path)
{
    QList<QList<QByteArray>> lines;
    const QByteArray text = readFile(path);
    for (const QByteArray &line : text.sliced(ProductionLog::Header.size()).split('\n')) {
        if (!line.isEmpty())
            lines.append(line.split(','));
    }
    return lines;
}

constexpr int BytesSentColumn = 6;
constexpr int ResultColumn = 7;
constexpr int ExampleImageSize = 20121;

} // namespace

class WindowLogTest : public QObject
{
    Q_OBJECT

private slots:
    void aLineForEachDownloadAndQuery()
    {
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("production.csv"));
        SimFixture fixture;
        fixture.device.setOwnRate(19200);
        fixture.device.setVersion(9);
        fixture.program = std::make_unique<Program>(fixture.resolver);
        QVERIFY(fixture.program->openProductionLog(path));
        fixture.program->start();
        Module1::PortNumber = 1;
        Module1::BaudRate = QStringLiteral("19200");
        fixture.program->handOffToDownloader();
        Form1 &window = *fixture.form1();
        const QByteArray firmware = ":-:::::-\r\n:00000001FF\r\n";
        const QString firmwarePath = writeTempFile(QStringLiteral("logged.txt"), firmware);
        window.loadFirmwareFile(firmwarePath);

        QTest::mouseClick(window.Command3, Qt::LeftButton);
        QTest::mouseClick(window.Command7, Qt::LeftButton);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 4); // the header, two lines, and nothing after the last
        QCOMPARE(lines.at(0) + '\n', ProductionLog::Header);
        QVERIFY(lines.at(3).isEmpty());
        const QByteArray sha256 = QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex();
        const QByteArray start = "1," + fixture.device.portPath().toLocal8Bit() + ",19200," + firmwarePath.toLocal8Bit()
                                 + ',' + sha256 + ',';
        // From the port to the version; the time and the duration vary.
        const auto fixedPart = [](const QByteArray &line) { return line.split(',').mid(1, 9).join(',') + ','; };
        QCOMPARE(fixedPart(lines.at(1)), start + "21,pass,OK!,,");
        QCOMPARE(fixedPart(lines.at(2)), start + "0,version,,9,");
    }

    // A download that touched the device is in the log however it ends: the
    // window closed while the image is on the wire, or the device unplugged
    // under it; the bytes sent tell how far the image got.
    void everyDownloadThatTouchedTheDeviceIsLogged_data()
    {
        QTest::addColumn<bool>("unplugged"); // else: the window is closed
        QTest::addColumn<QByteArray>("result");
        QTest::newRow("window closed during the image") << false << QByteArray("interrupted");
        QTest::newRow("device unplugged during the image") << true << QByteArray("port-lost");
    }

    void everyDownloadThatTouchedTheDeviceIsLogged()
    {
        QFETCH(bool, unplugged);
        QFETCH(QByteArray, result);
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("production.csv"));
        SimFixture fixture;
        Form1 &window = windowWithLog(fixture, path);
        QTimer closer;
        if (unplugged) {
            fixture.device.hangUpAfter(3 + ExampleImageSize / 2); // "dl", "e", then half the image
        } else {
            // Closed by the operator once a tenth of the image is out; the
            // download runs inside the click, so this watches from within it.
            closer.setInterval(20);
            QObject::connect(&closer, &QTimer::timeout, &window, [&window] {
                if (window.ImageProgress->isVisible() && window.ImageProgress->value() > 100)
                    window.close();
            });
            closer.start();
        }
        QTest::mouseClick(window.Command3, Qt::LeftButton);

        const QList<QList<QByteArray>> lines = logLines(path);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().value(ResultColumn), result);
        const int sent = lines.first().value(BytesSentColumn).toInt();
        QVERIFY2(sent > 0 && sent < ExampleImageSize, lines.first().value(BytesSentColumn).constData());
        QVERIFY(!window.MSComm1.PortOpen());
    }

    // A line the log does not take (here a file size limit, as a full disk
    // does) is told in one box with the reason; the verdict on the window
    // stays, and the log keeps no part of the line.
    void aLineNotWrittenIsToldInABox()
    {
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("production.csv"));
        SimFixture fixture;
        Form1 &window = windowWithLog(fixture, path);
        const QByteArray before = readFile(path);

        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit limited = saved;
        limited.rlim_cur = rlim_t(before.size() + 10);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        QTest::mouseClick(window.Command3, Qt::LeftButton);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, SIG_DFL);

        QCOMPARE(window.Label3[1]->text(), QStringLiteral("Pass!"));
        QCOMPARE(fixture.boxes.boxes().size(), 1);
        QCOMPARE(fixture.boxes.boxes().first().title, QStringLiteral("Information"));
        const QString text = fixture.boxes.texts().first();
        QVERIFY2(text.contains(QStringLiteral("was not written to the production log")) && text.contains(path)
                     && text.contains(QString::fromLocal8Bit(std::strerror(EFBIG))),
                 qPrintable(text));
        QCOMPARE(readFile(path), before);
    }

    // The windows' arguments are read before any window: a mistake is one
    // line on standard error and status 2, without a display.
    void argumentsCheckedBeforeAnyWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("shown"); // the start of standard error, or of the output for status 0

        QTest::newRow("--log without a value") << QStringList{"--log"} << 2 << QByteArray("--log needs a value");
        QTest::newRow("--log= empty") << QStringList{"--log="} << 2 << QByteArray("--log needs a value");
        QTest::newRow("misspelt option") << QStringList{"--lgo", "station.csv"} << 2
                                         << QByteArray("unknown option '--lgo'");
        QTest::newRow("stray argument") << QStringList{"station.csv"} << 2
                                        << QByteArray("unexpected argument 'station.csv'");
        QTest::newRow("--log twice") << QStringList{"--log", "a.csv", "--log=b.csv"} << 2
                                     << QByteArray("--log is given more than once");
        QTest::newRow("control bytes shown")
            << QStringList{"--x\n\x1b"} << 2 << QByteArray("unknown option '--x\\n\\x1b'");
        QTest::newRow("help") << QStringList{"--log", "a.csv", "--help"} << 0 << QByteArray("Usage: tarvik-downloader");
    }

    void argumentsCheckedBeforeAnyWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QByteArray, shown);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process.setProcessEnvironment(environment);
        process.start(buildDir() + QStringLiteral("/tarvik-downloader"), arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QByteArray out = process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        if (status == 0) {
            QVERIFY2(out.startsWith(shown), out.constData());
            return;
        }
        QVERIFY(out.isEmpty());
        QVERIFY2(err.startsWith("tarvik-downloader: " + shown) && err.count('\n') == 1 && err.endsWith('\n'),
                 err.constData());
    }

    void aLogThatCannotBeOpenedIsToldAtStart()
    {
        SimFixture fixture;
        fixture.program = std::make_unique<Program>(fixture.resolver);
        QVERIFY(!fixture.program->openProductionLog(QStringLiteral("/nonexistent-directory/production.csv")));
        QCOMPARE(fixture.boxes.boxes().size(), 1);
        QCOMPARE(fixture.boxes.boxes().first().title, QStringLiteral("Information"));
        QVERIFY2(fixture.boxes.texts().first().contains(QStringLiteral("/nonexistent-directory/production.csv")),
                 qPrintable(fixture.boxes.texts().first()));
    }

    // A file named by mistake that is not a production log is refused in the
    // box before any window, named, and left as it was; the real program
    // says so on standard error too before its box.
    void aFileThatIsNoLogIsRefusedAtStart()
    {
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("image.bin"));
        const QByteArray contents(99603, '\x01'); // no line end at all
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(contents), contents.size());
        file.close();

        SimFixture fixture;
        fixture.program = std::make_unique<Program>(fixture.resolver);
        QVERIFY(!fixture.program->openProductionLog(path));
        QCOMPARE(fixture.boxes.boxes().size(), 1);
        QCOMPARE(fixture.boxes.boxes().first().title, QStringLiteral("Information"));
        const QString text = fixture.boxes.texts().first();
        QVERIFY2(text.contains(path + QStringLiteral(" is not a production log")), qPrintable(text));
        QCOMPARE(readFile(path), contents);

        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(buildDir() + QStringLiteral("/tarvik-downloader"), {QStringLiteral("--log"), path});
        QByteArray err;
        const QByteArray refusal = "tarvik-downloader: " + path.toLocal8Bit() + " is not a production log";
        QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains(refusal), 10000);
        process.kill(); // its box waits for an operator
        process.waitForFinished(5000);
        QCOMPARE(readFile(path), contents);
    }
};

QTEST_MAIN(WindowLogTest)
#include "tst_window_log.moc"
