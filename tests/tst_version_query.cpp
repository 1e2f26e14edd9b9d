// "Check": the microcontroller's version byte from the simulated device.

#include "support/SimFixture.h"

#include "downloader/Form1.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace {

using Reply = SimulatedDevice::Reply;

const QByteArray SmallImage = ":-:::::-\r\n:00000001FF\r\n";

} // namespace

class VersionQueryTest : public QObject
{
    Q_OBJECT

private slots:
    void showsTheFirstByteInDecimal_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("shown");
        QTest::newRow("7") << QByteArray("\x07", 1) << "MCU Version 7";
        QTest::newRow("0") << QByteArray("\x00", 1) << "MCU Version 0";
        QTest::newRow("255") << QByteArray("\xff", 1) << "MCU Version 255";
        QTest::newRow("several bytes") << QByteArray("\x05\x06\x07", 3) << "MCU Version 5";
    }

    void showsTheFirstByteInDecimal()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, shown);
        SimFixture fixture;
        fixture.device.setOwnRate(57600);
        Reply reply;
        reply.text = answer;
        fixture.device.setVersionReply(reply);
        Form1 &window = fixture.loadDownloaderWindow();
        window.RxBuffer = "kept";

        QTest::mouseClick(window.Command7, Qt::LeftButton);
        QCOMPARE(window.Label5->text(), shown);
        QVERIFY(fixture.boxes.texts().isEmpty());
        QCOMPARE(fixture.device.received(), QByteArray("r"));
        QCOMPARE(fixture.device.transcript().first().hostRate, 57600);
        QCOMPARE(window.RxBuffer, QByteArray("kept")); // the answer did not flow into it
        QCOMPARE(window.MSComm1.InputMode(), 0);
        QCOMPARE(window.MSComm1.RThreshold(), qint16(1));
        QVERIFY(window.Command7->isEnabled());
    }

    void noAnswer()
    {
        SimFixture fixture;
        Reply silent;
        silent.silent = true;
        fixture.device.setVersionReply(silent);
        Form1 &window = fixture.loadDownloaderWindow();

        QTest::mouseClick(window.Command7, Qt::LeftButton);
        QCOMPARE(fixture.boxes.texts(), QStringList{"No Action"});
        QCOMPARE(fixture.boxes.boxes().first().title, QStringLiteral("Information"));
        QCOMPARE(window.Label5->text(), QStringLiteral("MCU Version ??"));
        QCOMPARE(window.MSComm1.InputMode(), 0);
        QCOMPARE(window.MSComm1.RThreshold(), qint16(1));
        QVERIFY(window.Command7->isEnabled());
        QVERIFY(window.Command2->isEnabled());
        QVERIFY(!window.Command3->isEnabled());

        // Receive events are back on.
        fixture.device.send("C:");
        QTRY_COMPARE(window.RxBuffer, QByteArray("C:"));
    }

    void bytesWaitingBeforeTheQuestionComeFirst()
    {
        SimFixture fixture;
        Form1 &window = fixture.loadDownloaderWindow();
        QTimer::singleShot(200, &window, [&fixture] { fixture.device.send(QByteArray("\x09", 1)); });
        QTest::mouseClick(window.Command7, Qt::LeftButton);
        QCOMPARE(window.Label5->text(), QStringLiteral("MCU Version 9"));
    }

    void queryAfterADownloadAndNoNesting()
    {
        SimFixture fixture;
        fixture.device.setOwnRate(38400);
        Form1 &window = fixture.loadDownloaderWindow();
        fixture.loadFirmware(SmallImage);
        QTest::mouseClick(window.Command3, Qt::LeftButton);
        QCOMPARE(window.Label3[1]->text(), QStringLiteral("Pass!"));
        fixture.device.clearTranscript();

        // During the query neither a download nor a file load can start.
        bool downloadEnabled = true;
        bool openEnabled = true;
        QTimer::singleShot(300, &window, [&] {
            downloadEnabled = window.Command3->isEnabled();
            openEnabled = window.Command2->isEnabled();
            QTest::mouseClick(window.Command3, Qt::LeftButton);
        });
        QTest::mouseClick(window.Command7, Qt::LeftButton);
        QVERIFY(!downloadEnabled);
        QVERIFY(!openEnabled);
        QCOMPARE(window.Label5->text(), QStringLiteral("MCU Version 17"));
        QCOMPARE(fixture.device.received(), QByteArray("r")); // nothing else was sent
        QCOMPARE(fixture.device.transcript().first().hostRate, 38400);
        QVERIFY(window.Command3->isEnabled()); // back as it was
        QVERIFY(!window.Command2->isEnabled());
    }

    // A device answers the query late; the received text from before the
    // query (even a stray "OK!") must not end its waits early.
    void checkWaitsForALateDevice_data()
    {
        QTest::addColumn<int>("latencyMs");
        QTest::addColumn<bool>("okWaiting");
        QTest::newRow("20 ms") << 20 << false;
        QTest::newRow("50 ms") << 50 << false;
        QTest::newRow("400 ms") << 400 << false;
        QTest::newRow("400 ms, \"OK!\" waiting") << 400 << true;
    }

    void checkWaitsForALateDevice()
    {
        QFETCH(int, latencyMs);
        QFETCH(bool, okWaiting);
        SimFixture fixture;
        // After a download the port stays at 115200: a device of that rate
        // is heard between the download and the query.
        if (okWaiting)
            fixture.device.setOwnRate(115200);
        Form1 &window = fixture.loadDownloaderWindow();
        fixture.loadFirmware(SmallImage);
        QTest::mouseClick(window.Command3, Qt::LeftButton);
        QCOMPARE(window.Label3[1]->text(), QStringLiteral("Pass!"));
        fixture.device.setReplyLatency(latencyMs);
        if (okWaiting) {
            fixture.device.send("OK!");
            QTRY_COMPARE(window.RxBuffer, QByteArray("OK!"));
        }
        QTest::mouseClick(window.Command7, Qt::LeftButton);
        QCOMPARE(window.Label5->text(), QStringLiteral("MCU Version 17"));
        QVERIFY(fixture.boxes.texts().isEmpty());
    }

    void keyboardAlone()
    {
        SimFixture fixture;
        Form1 &window = fixture.loadDownloaderWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(QApplication::focusWidget(), window.Command2);
        // "Download Flash" is disabled, so Tab goes on to "Check".
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.Command7);
        QTest::keyClick(window.Command7, Qt::Key_Space);
        QCOMPARE(window.Label5->text(), QStringLiteral("MCU Version 17"));
        QTest::keyClick(window.Command7, Qt::Key_Return);
        QCOMPARE(fixture.device.received(), QByteArray("rr"));
    }

    void closingTheWindowStopsTheQuery()
    {
        SimFixture fixture;
        Form1 &window = fixture.loadDownloaderWindow();
        QTimer::singleShot(200, &window, [&window] { window.close(); });
        QTest::mouseClick(window.Command7, Qt::LeftButton);
        QVERIFY(!window.MSComm1.PortOpen());
        QVERIFY(fixture.device.received().isEmpty());
        QVERIFY(fixture.boxes.texts().isEmpty());
        QVERIFY(noWindowLeft());
    }
};

QTEST_MAIN(VersionQueryTest)
#include "tst_version_query.moc"
