// "Download Flash" against the simulated device: the command script on the
// wire, the verdicts, and closing the window in the middle.

#include "support/SimFixture.h"

#include "ui/Module1.h"
#include "downloader/Form1.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

using namespace std::chrono_literals;

namespace {

using Reply = SimulatedDevice::Reply;

// A small image the device accepts.
const QByteArray SmallImage = ":-:::::-\r\n"
                              ":10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r\n"
                              ":00000001FF\r\n";

// The bytes received at each line rate, in order, with chunks at the same
// rate joined.
QList<QPair<int, QByteArray>> wire(const SimulatedDevice &device)
{
    QList<QPair<int, QByteArray>> result;
    for (const SimulatedDevice::Received &chunk : device.transcript()) {
        if (!result.isEmpty() && result.last().first == chunk.hostRate)
            result.last().second += chunk.bytes;
        else
            result.append({chunk.hostRate, chunk.bytes});
    }
    return result;
}

qint64 clickDownload(Form1 &window)
{
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(window.Command3, Qt::LeftButton);
    return clock.elapsed();
}

void verifyVerdict(Form1 &window, bool passed)
{
    QCOMPARE(window.Label3[1]->text(), passed ? QStringLiteral("Pass!") : QStringLiteral("Fail"));
    QCOMPARE(window.Label3[1]->palette().color(QPalette::WindowText),
             passed ? QColor(0, 255, 0) : QColor(255, 0, 0));
    QCOMPARE(window.Label2->text(), passed ? QStringLiteral("Push <Download Flash> for next one")
                                           : QStringLiteral("Communication Fail"));
    QVERIFY(window.Command3->isEnabled());
    QCOMPARE(window.Command7->isEnabled(), passed);
    QVERIFY(!window.Command2->isEnabled());
    QVERIFY(window.Pending.isEmpty());
    QVERIFY(window.RxBuffer.isEmpty());
}

} // namespace

class DownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void passEndsEarlyAndRepeats()
    {
        SimFixture fixture;
        fixture.device.setOwnRate(19200);
        Form1 &window = fixture.loadDownloaderWindow();
        fixture.loadFirmware(SmallImage);
        const QByteArray image = ":-:::::-\r:10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r:00000001FF\r";
        QCOMPARE(window.FileText, image);

        // Five ticks before the image, then the answer ends the last wait.
        const qint64 elapsed = clickDownload(window);
        QVERIFY2(elapsed < 4000, qPrintable(QString::number(elapsed)));
        verifyVerdict(window, true);
        const QList<QPair<int, QByteArray>> expected{{19200, "dl"}, {115200, QByteArray("e") + image}};
        QCOMPARE(wire(fixture.device), expected);
        QCOMPARE(fixture.device.imagesAccepted(), 1);

        // The next device gets exactly the same bytes.
        fixture.device.clearTranscript();
        clickDownload(window);
        verifyVerdict(window, true);
        QCOMPARE(wire(fixture.device), expected);
        QCOMPARE(fixture.device.imagesAccepted(), 2);
    }

    void silentDeviceFailsAfterAllTicks_realTicks()
    {
        SimFixture fixture;
        Reply silent;
        silent.silent = true;
        fixture.device.setImageReply(silent);
        Form1 &window = fixture.loadDownloaderWindow();
        fixture.loadFirmware(SmallImage);

        const qint64 elapsed = clickDownload(window);
        QVERIFY2(elapsed >= 8000 && elapsed < 10000, qPrintable(QString::number(elapsed)));
        verifyVerdict(window, false);
    }

    void answersThatAreNotExactlyOk_realTicks_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("OK! with CR LF") << QByteArray("OK!\r\n");
        QTest::newRow("ER") << QByteArray("ER");
    }

    void answersThatAreNotExactlyOk_realTicks()
    {
        QFETCH(QByteArray, answer);
        SimFixture fixture;
        Reply reply;
        reply.text = answer;
        fixture.device.setImageReply(reply);
        Form1 &window = fixture.loadDownloaderWindow();
        fixture.loadFirmware(SmallImage);

        const qint64 elapsed = clickDownload(window);
        QVERIFY2(elapsed >= 8000, qPrintable(QString::number(elapsed))); // no early end
        verifyVerdict(window, false);
    }

    void answerInPiecesAndReportBeforeTheImage()
    {
        SimFixture fixture;
        Reply pieces;
        pieces.pieceSize = 2;
        pieces.pieceGapMs = 150;
        fixture.device.setImageReply(pieces);
        Reply report;
        report.text = QByteArray("ErasedHEX:");
        fixture.device.setEReply(report);
        Form1 &window = fixture.loadDownloaderWindow();
        fixture.loadFirmware(SmallImage);

        const qint64 elapsed = clickDownload(window);
        QVERIFY2(elapsed < 4000, qPrintable(QString::number(elapsed)));
        verifyVerdict(window, true);
    }

    void longImagePassesAtWireSpeedShowingItsProgress()
    {
        SimFixture fixture;
        Form1 &window = fixture.loadDownloaderWindow();
        const QByteArray firmware = SimFixture::longFirmware();
        fixture.loadFirmware(firmware);
        // Longer on the wire than the 12 ticks the device has to answer.
        QVERIFY(window.FileText.size() * 10 / 115200.0 > 6.0);
        QVERIFY(!window.ImageProgress->isVisible());

        // Each value the bar takes, and whether it showed while it took it.
        QList<QPair<int, bool>> shown;
        connect(window.ImageProgress, &QProgressBar::valueChanged, this, [&](int value) {
            shown.append({value, window.ImageProgress->isVisible()});
        });
        clickDownload(window);

        verifyVerdict(window, true);
        QCOMPARE(fixture.device.lastImage(), window.FileText);
        QVERIFY(shown.size() > 10); // it moved while the image was on the wire
        for (int i = 0; i < shown.size(); ++i) {
            QVERIFY(shown[i].second);
            QVERIFY2(i == 0 || shown[i].first >= shown[i - 1].first, "the bar went back");
        }
        QCOMPARE(shown.last().first, window.ImageProgress->maximum());
        QVERIFY(!window.ImageProgress->isVisible());
        QCOMPARE(window.Label2->geometry(), QRect(16, 32, 521, 41)); // the prompt kept its place
    }

    void closingTheWindowStopsTheDownload_data()
    {
        QTest::addColumn<int>("closeAfterMs");
        QTest::addColumn<bool>("longImage");
        QTest::newRow("before dl") << 200 << false;
        QTest::newRow("in the answer's wait") << 3000 << false;
        QTest::newRow("in the image's write") << 3500 << true;
    }

    void closingTheWindowStopsTheDownload()
    {
        QFETCH(int, closeAfterMs);
        QFETCH(bool, longImage);
        SimFixture fixture;
        Reply silent;
        silent.silent = true;
        fixture.device.setImageReply(silent);
        Form1 &window = fixture.loadDownloaderWindow();
        fixture.loadFirmware(longImage ? SimFixture::longFirmware() : SmallImage);
        QTimer::singleShot(closeAfterMs, &window, [&window] { window.close(); });

        const qint64 elapsed = clickDownload(window);
        QVERIFY2(elapsed < closeAfterMs + 300, qPrintable(QString::number(elapsed)));
        QVERIFY(!window.MSComm1.PortOpen());
        QVERIFY(noWindowLeft());
        QVERIFY(fixture.boxes.texts().isEmpty());
        QCOMPARE(window.TickCount, qint16(0));
        QVERIFY(!window.Timer1.isActive());
        if (closeAfterMs < 500)
            QVERIFY(fixture.device.received().isEmpty()); // nothing sent after the close
    }
};

QTEST_MAIN(DownloadTest)
#include "tst_download.moc"
