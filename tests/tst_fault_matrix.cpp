// What a real bench does to the program: the cable pulled, ports held by
// other programs, noise floods, replies torn or merged, windows closed and
// buttons hammered in the middle of an exchange. One row a fault; each row
// checks the widgets, the messages, the port and that the exchange ended
// within its tick budget plus its wire time.

#include "support/OpenDescriptors.h"
#include "support/ScriptedResolver.h"
#include "support/SimFixture.h"

#include "ui/Module1.h"
#include "connect/Form2.h"
#include "downloader/Form1.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <unistd.h>

namespace {

using Reply = SimulatedDevice::Reply;
constexpr qint64 Tick = 500;
const QByteArray SmallImage = ":-:::::-\r\n:10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r\n:00000001FF\r\n";

// The wire time of an image at 115200 baud, in milliseconds.
qint64 wireTime(const QByteArray &image)
{
    return image.size() * 10 * 1000 / 115200;
}

qint64 timed(const std::function<void()> &action)
{
    QElapsedTimer clock;
    clock.start();
    action();
    return clock.elapsed();
}

// The program was ended by the default handling: the failure was shown, the
// ports are closed and no window is left.
void verifyEndedByFailure(SimFixture &fixture, Form1 &window, int number)
{
    QVERIFY(fixture.program->failed());
    QCOMPARE(fixture.boxes.boxes().size(), 1);
    QCOMPARE(fixture.boxes.boxes().first().title, QStringLiteral("Information"));
    QVERIFY2(fixture.boxes.texts().first().startsWith(QStringLiteral("Error %1: ").arg(number)),
             qPrintable(fixture.boxes.texts().first()));
    QVERIFY(!window.MSComm1.PortOpen());
    QVERIFY(!fixture.form2().MSComm1.PortOpen());
    QVERIFY(noWindowLeft());
    QCOMPARE(window.TickCount, qint16(0));
}

// A probe that ended by itself and left the connection window ready.
void verifyProbeLeftReady(SimFixture &fixture)
{
    QVERIFY(!fixture.form2().MSComm1.PortOpen());
    QVERIFY(fixture.form2().Command1->isEnabled());
    QVERIFY(fixture.form2().isVisible());
    QVERIFY(!fixture.form1() || !fixture.form1()->isVisible());
    QVERIFY(!fixture.program->failed());
}

void verifyDownloadVerdict(Form1 &window, bool passed)
{
    QCOMPARE(window.Label3[1]->text(), passed ? QStringLiteral("Pass!") : QStringLiteral("Fail"));
    QCOMPARE(window.Label2->text(),
             passed ? QStringLiteral("Push <Download Flash> for next one") : QStringLiteral("Communication Fail"));
    QVERIFY(window.Command3->isEnabled());
}

// Clicks every control and presses keys on it, every few milliseconds, for
// as long as it lives.
class Hammer
{
public:
    explicit Hammer(QList<QWidget *> targets)
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this, targets] {
            QWidget *target = targets[m_next++ % targets.size()];
            QTest::mouseClick(target, Qt::LeftButton);
            QTest::keyClick(target, Qt::Key_Space);
            QTest::keyClick(target, Qt::Key_Return);
            QTest::keyClick(target, Qt::Key_Down);
        });
        m_timer.start(37);
    }

private:
    QTimer m_timer;
    int m_next = 0;
};

struct Row
{
    const char *name;
    std::function<void(SimFixture &)> run;
};

const QList<Row> &rows()
{
    static const QList<Row> table = {
        {"hang-up during the probe",
         [](SimFixture &f) {
             f.device.setOwnRate(38400);
             f.device.hangUpAfter(1);
             f.start();
             const qint64 elapsed = timed([&] { f.pressTesselDownload(); });
             QVERIFY(elapsed < 10 * Tick + 500);
             const QStringList boxes = f.boxes.texts();
             QVERIFY2(boxes.size() == 1 && boxes[0].contains("failed while probing"), qPrintable(boxes.join('|')));
             verifyProbeLeftReady(f);
         }},
        {"hang-up after dl",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             f.device.hangUpAfter(2);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             QVERIFY(elapsed < 17 * Tick);
             verifyEndedByFailure(f, window, SerialError::PortFailed);
             QCOMPARE(f.device.received(), QByteArray("dl"));
         }},
        {"hang-up in the middle of the image",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SimFixture::longFirmware());
             f.device.hangUpAfter(3 + 20000);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             QVERIFY2(elapsed < 5 * Tick + wireTime(QByteArray(20000, 'x')) + 2000,
                      qPrintable(QString::number(elapsed)));
             verifyEndedByFailure(f, window, SerialError::PortFailed);
         }},
        {"device stops reading in the middle of the image",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SimFixture::longFirmware());
             f.device.stopReadingAfter(3 + 20000);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             // The commands, the bytes it took, then the stall bound; not the
             // 12 ticks of a verdict on top of it.
             QVERIFY2(elapsed < 5 * Tick + wireTime(QByteArray(20000, 'x')) + SerialControl::StallLimitMs + 2000,
                      qPrintable(QString::number(elapsed)));
             verifyDownloadVerdict(window, false);
             QVERIFY(!window.ImageProgress->isVisible());
             QVERIFY(window.Pending.isEmpty());
             QVERIFY(window.MSComm1.PortOpen());
             QCOMPARE(window.MSComm1.InBufferCount(), qint16(0));
             QVERIFY(f.boxes.texts().isEmpty());
             QVERIFY(!f.program->failed());
         }},
        {"hang-up during the query",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.device.hangUpAfter(1);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command7, Qt::LeftButton); });
             QVERIFY(elapsed < 3 * Tick + 500);
             verifyEndedByFailure(f, window, SerialError::PortFailed);
         }},
        // The adapter pulled as the kernel does it (the tty hung up), at each
        // point of the window's exchanges, and the line closed in the
        // verdict's wait: the exchange ends within a tick of the pull as a
        // lost port, never after its ticks run out.
        {"adapter pulled during the probe",
         [](SimFixture &f) {
             // The first "!" goes out a tick after the port opens.
             f.device.removeAt(SimulatedDevice::Point::Probe);
             f.start();
             const qint64 elapsed = timed([&] { f.pressTesselDownload(); });
             QVERIFY2(elapsed < 3 * Tick, qPrintable(QString::number(elapsed)));
             const QStringList boxes = f.boxes.texts();
             QVERIFY2(boxes.size() == 1 && boxes[0].contains("failed while probing"), qPrintable(boxes.join('|')));
             verifyProbeLeftReady(f);
         }},
        {"adapter pulled on the commands",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             f.device.removeAt(SimulatedDevice::Point::Commands);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             QVERIFY2(elapsed < 3 * Tick, qPrintable(QString::number(elapsed)));
             verifyEndedByFailure(f, window, SerialError::PortFailed);
         }},
        {"adapter pulled during the image",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SimFixture::longFirmware());
             f.device.removeAt(SimulatedDevice::Point::Image);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             QVERIFY2(elapsed < 6 * Tick, qPrintable(QString::number(elapsed)));
             verifyEndedByFailure(f, window, SerialError::PortFailed);
         }},
        {"adapter pulled in the verdict's wait",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             f.device.removeAt(SimulatedDevice::Point::Verdict);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             QVERIFY2(elapsed < 6 * Tick, qPrintable(QString::number(elapsed)));
             verifyEndedByFailure(f, window, SerialError::PortFailed);
         }},
        {"line closed in the verdict's wait",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             f.device.removeAt(SimulatedDevice::Point::Verdict, SimulatedDevice::Removal::LineClosed);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             QVERIFY2(elapsed < 6 * Tick, qPrintable(QString::number(elapsed)));
             verifyEndedByFailure(f, window, SerialError::PortFailed);
         }},
        {"adapter pulled during the query",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.device.hangUpAfter(1, SimulatedDevice::Removal::AdapterPulled);
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command7, Qt::LeftButton); });
             QVERIFY2(elapsed < 3 * Tick, qPrintable(QString::number(elapsed)));
             verifyEndedByFailure(f, window, SerialError::PortFailed);
         }},
        {"adapter pulled while the window is idle",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             f.device.hangUp(SimulatedDevice::Removal::AdapterPulled);
             // Nothing shows while nobody acts, and the dead descriptor is
             // not watched (it would keep a processor busy).
             QTRY_VERIFY(!descriptorOpenOn(f.device.portPath()));
             QVERIFY(f.boxes.texts().isEmpty());
             QVERIFY(window.MSComm1.PortOpen());
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             QVERIFY2(elapsed < Tick, qPrintable(QString::number(elapsed)));
             verifyEndedByFailure(f, window, SerialError::PortFailed);
         }},
        {"port held when the downloader window opens it",
         [](SimFixture &f) {
             SimulatedDevice other;
             FixedPortResolver otherResolver;
             otherResolver.assign(1, other.portPath());
             SerialControl otherProgram(otherResolver);
             otherProgram.setPortOpen(true);
             f.program = std::make_unique<Program>(
                 std::make_shared<ScriptedResolver>(QStringList{f.device.portPath(), other.portPath()}));
             f.program->start();
             f.pressTesselDownload();
             const QStringList boxes = f.boxes.texts();
             QVERIFY2(boxes.size() == 1 && boxes[0].contains(other.portPath())
                          && boxes[0].contains("in use by another program"),
                      qPrintable(boxes.join('|')));
             verifyProbeLeftReady(f);
         }},
        {"device node not readable",
         [](SimFixture &f) {
             if (geteuid() == 0)
                 QSKIP("root may open any device node; the connection window's test shows this as another user");
             QVERIFY(QFile::setPermissions(f.device.portPath(), QFileDevice::Permissions()));
             f.start();
             f.pressTesselDownload();
             QVERIFY(f.boxes.texts().value(0).startsWith("You may not open the port"));
             verifyProbeLeftReady(f);
         }},
        {"noise flood while idle",
         [](SimFixture &f) {
             Form1 &window = f.loadDownloaderWindow();
             f.device.sendNoise(1 << 20);
             QTRY_COMPARE_WITH_TIMEOUT(window.RxBuffer.size(), qsizetype(1 << 20), 10000);
             f.loadFirmware(SmallImage);
             QCOMPARE(window.Label2->text(), QStringLiteral("Push <Download Flash> for next one"));
             QTest::mouseClick(window.Command3, Qt::LeftButton);
             verifyDownloadVerdict(window, true); // the flood is not the verdict
         }},
        {"noise flood during the probe",
         [](SimFixture &f) {
             f.device.setOwnRate(115200);
             f.start();
             QTimer::singleShot(250, &f.form2(), [&f] { f.device.sendNoise(1 << 20); });
             const qint64 elapsed = timed([&] { f.pressTesselDownload(); });
             QVERIFY(elapsed < 4 * Tick);
             QCOMPARE(f.boxes.texts(), QStringList{"No Action"});
             QCOMPARE(Module1::BaudRate, QStringLiteral("9600"));
             verifyProbeLeftReady(f);
         }},
        {"noise flood during the answer's wait",
         [](SimFixture &f) {
             Reply silent;
             silent.silent = true;
             f.device.setImageReply(silent);
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             QTimer::singleShot(6 * Tick, &window, [&f] { f.device.sendNoise(1 << 20); });
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
             QVERIFY(elapsed < 17 * Tick + 1000);
             verifyDownloadVerdict(window, false);
         }},
        {"noise flood during the query",
         [](SimFixture &f) {
             Reply silent;
             silent.silent = true;
             f.device.setVersionReply(silent);
             Form1 &window = f.loadDownloaderWindow();
             QTimer::singleShot(Tick / 2, &window, [&f] { f.device.sendNoise(1 << 20); });
             const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command7, Qt::LeftButton); });
             QVERIFY(elapsed < 3 * Tick + 1000);
             // The first byte waiting is taken as the version, whatever it is.
             QVERIFY(window.Label5->text().startsWith(QStringLiteral("MCU Version ")));
             QVERIFY(window.Label5->text() != QStringLiteral("MCU Version ??"));
             QVERIFY(window.Command7->isEnabled());
         }},
        {"answer in one-byte pieces",
         [](SimFixture &f) {
             Reply pieces;
             pieces.pieceSize = 1;
             pieces.pieceGapMs = 40;
             f.device.setImageReply(pieces);
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             QTest::mouseClick(window.Command3, Qt::LeftButton);
             verifyDownloadVerdict(window, true);
         }},
        {"answer merged with the next",
         [](SimFixture &f) {
             Reply merged;
             merged.text = QByteArray("OK!ER");
             f.device.setImageReply(merged);
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             QTest::mouseClick(window.Command3, Qt::LeftButton);
             verifyDownloadVerdict(window, false);
         }},
        {"answer preceded by noise",
         [](SimFixture &f) {
             Reply noisy;
             noisy.text = QByteArray("\x80OK!");
             f.device.setImageReply(noisy);
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             QTest::mouseClick(window.Command3, Qt::LeftButton);
             verifyDownloadVerdict(window, false);
         }},
        {"probe answer arriving during a rate change",
         [](SimFixture &f) {
             Reply late;
             late.delayMs = 600; // after the next pass has switched to 19200
             f.device.setProbeReply(late);
             f.start();
             f.pressTesselDownload();
             QCOMPARE(f.boxes.texts(), QStringList{"No Action"});
             QCOMPARE(Module1::BaudRate, QStringLiteral("19200"));
             verifyProbeLeftReady(f);
         }},
        {"window closed while a message box is open",
         [](SimFixture &f) {
             Reply silent;
             silent.silent = true;
             f.device.setVersionReply(silent);
             Form1 &window = f.loadDownloaderWindow();
             f.boxes.onNextBox([&window] { window.close(); });
             QTest::mouseClick(window.Command7, Qt::LeftButton);
             QCOMPARE(f.boxes.texts(), QStringList{"No Action"});
             QVERIFY(!window.MSComm1.PortOpen());
             QVERIFY(noWindowLeft());
             QVERIFY(!f.program->failed());
         }},
        {"controls hammered during the probe",
         [](SimFixture &f) {
             f.device.setOwnRate(57600);
             f.start();
             Form2 &window = f.form2();
             Hammer hammer({window.Command1, window.Text1, window.Combo1});
             f.pressTesselDownload();
             // One "!" at each rate up to the device's, nothing more.
             QCOMPARE(f.device.received(), QByteArray("!!!!"));
             QCOMPARE(Module1::BaudRate, QStringLiteral("57600"));
             QVERIFY(f.form1() && f.form1()->isVisible());
         }},
        {"controls hammered during a download and a query",
         [](SimFixture &f) {
             f.device.setOwnRate(19200);
             Form1 &window = f.loadDownloaderWindow();
             f.loadFirmware(SmallImage);
             {
                 Hammer hammer({window.Command2, window.Command3, window.Command7});
                 const qint64 elapsed = timed([&] { QTest::mouseClick(window.Command3, Qt::LeftButton); });
                 QVERIFY(elapsed < 17 * Tick);
             }
             verifyDownloadVerdict(window, true);
             const QByteArray image = ":-:::::-\r:10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r:00000001FF\r";
             QCOMPARE(f.device.received(), "dle" + image); // exactly one download on the wire
             f.device.clearTranscript();
             {
                 Hammer hammer({window.Command2, window.Command3, window.Command7});
                 QTest::mouseClick(window.Command7, Qt::LeftButton);
             }
             QCOMPARE(window.Label5->text(), QStringLiteral("MCU Version 17"));
             QCOMPARE(f.device.received(), QByteArray("r"));
             QVERIFY(f.boxes.texts().isEmpty());
         }},
    };
    return table;
}

} // namespace

class FaultMatrixTest : public QObject
{
    Q_OBJECT

private slots:
    void fault_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < rows().size(); ++i)
            QTest::newRow(rows()[i].name) << i;
    }

    void fault()
    {
        QFETCH(int, row);
        SimFixture fixture;
        rows()[row].run(fixture);
        // Whatever happened, the program never leaves a wait running.
        if (fixture.program) {
            QVERIFY(!fixture.form1() || !fixture.form1()->Timer1.isActive());
            QVERIFY(!fixture.form2().Timer1.isActive());
        }
    }
};

QTEST_MAIN(FaultMatrixTest)
#include "tst_fault_matrix.moc"
