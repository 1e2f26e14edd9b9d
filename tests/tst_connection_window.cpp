// The connection window against the simulated device: the port-number box,
// the probe at the five rates and the hand-off to the downloader window.

#include "support/ScriptedResolver.h"
#include "support/SimFixture.h"

#include "ui/Module1.h"
#include "connect/Form2.h"
#include "downloader/Form1.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace std::chrono_literals;

namespace {

using Reply = SimulatedDevice::Reply;

// The rate of every byte the device received, byte by byte.
QList<QPair<int, char>> bytesWithRates(const SimulatedDevice &device)
{
    QList<QPair<int, char>> result;
    for (const SimulatedDevice::Received &chunk : device.transcript())
        for (char byte : chunk.bytes)
            result.append({chunk.hostRate, byte});
    return result;
}

// What a screen reader announces for `control`.
QString accessibleText(QWidget *control, QAccessible::Text which = QAccessible::Name)
{
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
    return accessible ? accessible->text(which) : QStringLiteral("<not accessible>");
}

} // namespace

class ConnectionWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void startsReadyForEnter()
    {
        SimFixture fixture;
        fixture.start();
        Form2 &window = fixture.form2();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        QCOMPARE(window.windowTitle(), QStringLiteral("Download Tool"));
        QCOMPARE(window.Text1->text(), QStringLiteral("1"));
        QCOMPARE(Module1::PortNumber, qint16(1));
        QCOMPARE(window.Combo1->currentText(), QStringLiteral("9600"));
        QCOMPARE(window.Combo1->count(), 5);
        QCOMPARE(window.Frame1->title(), QStringLiteral("RS232 Communication Setting"));
        QCOMPARE(window.Label1->text(), QStringLiteral("COM : "));
        QCOMPARE(window.Label2->text(), QStringLiteral("BaudRate : "));
        QCOMPARE(window.size(), QSize(392, 119));
        QCOMPARE(window.Command1->geometry(), QRect(192, 32, 169, 65));
        QCOMPARE(window.Text1->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        QCOMPARE(QApplication::focusWidget(), window.Command1);
        QVERIFY(Module1::BaudRate.isEmpty());
        QCOMPARE(controlsWithoutAccessibleName(&window), QStringList());

        // Tab walks the button, the port-number box and the list.
        QTest::keyClick(&window, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.Text1);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.Combo1);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.Command1);

        // Enter on the focused button runs the probe and hands over.
        QTest::keyClick(window.Command1, Qt::Key_Return);
        QVERIFY(fixture.form1() && fixture.form1()->isVisible());
        QVERIFY(!window.isVisible());
    }

    void portNumberEntry_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("portNumber");

        QTest::newRow("7") << "" << "7" << "" << "7" << 7;
        QTest::newRow("12") << "1" << "2" << "" << "12" << 12;
        QTest::newRow("123") << "1" << "23" << "Input range 1~16" << "12" << 12;
        QTest::newRow("0") << "" << "0" << "Input range 1~16" << "1" << 1;
        QTest::newRow("17") << "1" << "7" << "Input range 1~16" << "1" << 1;
        QTest::newRow("-3") << "-" << "3" << "Input range 1~16" << "1" << 1;
        QTest::newRow("0.5") << "0." << "5" << "Input range 1~16" << "1" << 1;
        QTest::newRow("16") << "1" << "6" << "" << "16" << 16;
        QTest::newRow("16.4") << "1" << "6.4" << "Input range 1~16" << "16" << 16;
        QTest::newRow("2.5") << "2." << "5" << "" << "2.5" << 2;
        QTest::newRow("3.5") << "3." << "5" << "" << "3.5" << 4;
        QTest::newRow("a") << "" << "a" << "Input key 0~9" << "1" << 1;
        QTest::newRow("1e") << "1" << "e" << "Input key 0~9" << "1" << 1;
        QTest::newRow("-") << "" << "-" << "Input key 0~9" << "1" << 1;
        QTest::newRow(".") << "" << "." << "Input key 0~9" << "1" << 1;
        QTest::newRow("1e1") << "1e" << "1" << "" << "1e1" << 10;
        QTest::newRow("+3") << "+" << "3" << "" << "+3" << 3;
        QTest::newRow(" 5 ") << " 5" << " " << "" << " 5 " << 5;
        QTest::newRow("fifth character") << "1.00" << "5" << "" << "1.00" << 1;
    }

    void portNumberEntry()
    {
        QFETCH(QString, before);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        QFETCH(QString, after);
        QFETCH(int, portNumber);

        SimFixture fixture;
        fixture.start();
        Form2 &window = fixture.form2();
        window.Text1->setFocus();
        window.Text1->setText(before);
        window.Text1->end(false);
        QTest::keyClicks(window.Text1, typed);

        const QStringList expected = message.isEmpty() ? QStringList() : QStringList{message};
        QTRY_COMPARE(fixture.boxes.texts(), expected);
        for (const MessageBoxCatcher::Box &box : fixture.boxes.boxes())
            QCOMPARE(box.title, QStringLiteral("Information"));
        QCOMPARE(window.Text1->text(), after);
        QCOMPARE(Module1::PortNumber, qint16(portNumber));
    }

    void emptiedBoxIsRestored()
    {
        SimFixture fixture;
        fixture.start();
        Form2 &window = fixture.form2();
        window.Text1->setFocus();
        window.Text1->setText("9");
        QTest::keyClick(window.Text1, Qt::Key_End); // keys that change nothing check too
        QCOMPARE(Module1::PortNumber, qint16(9));
        QTest::keyClick(window.Text1, Qt::Key_Backspace);
        QTRY_COMPARE(fixture.boxes.texts(), QStringList{"Input key 0~9"});
        QCOMPARE(window.Text1->text(), QStringLiteral("9"));
    }

    void findsTheDeviceAtItsRate_data()
    {
        QTest::addColumn<int>("rateIndex");
        for (int i = 0; i < Form2::Rates.size(); ++i)
            QTest::newRow(qPrintable(Form2::Rates[i])) << i;
    }

    void findsTheDeviceAtItsRate()
    {
        QFETCH(int, rateIndex);
        SimFixture fixture;
        const int rate = Form2::Rates[rateIndex].toInt();
        fixture.device.setOwnRate(rate);
        fixture.start();
        fixture.pressTesselDownload();

        QCOMPARE(Module1::BaudRate, Form2::Rates[rateIndex]);
        QVERIFY(fixture.boxes.texts().isEmpty());
        QList<QPair<int, char>> expected;
        for (int i = 0; i <= rateIndex; ++i)
            expected.append({Form2::Rates[i].toInt(), '!'});
        QCOMPARE(bytesWithRates(fixture.device), expected);
        QCOMPARE(fixture.form2().ProbeReply, QByteArray("!"));
        QVERIFY(!fixture.form2().isVisible());
        QVERIFY(!fixture.form2().MSComm1.PortOpen());
        QVERIFY(fixture.form1()->isVisible());
    }

    void silentDeviceGivesNoAction()
    {
        SimFixture fixture;
        Reply silent;
        silent.silent = true;
        fixture.device.setProbeReply(silent);
        fixture.start();
        Form2 &window = fixture.form2();
        fixture.pressTesselDownload();

        QCOMPARE(fixture.boxes.texts(), QStringList{"No Action"});
        QCOMPARE(Module1::BaudRate, QStringLiteral("115200"));
        QCOMPARE(window.Combo1->currentText(), QStringLiteral("115200"));
        QVERIFY(!window.MSComm1.PortOpen());
        QVERIFY(window.Command1->isEnabled());
        QCOMPARE(bytesWithRates(fixture.device).size(), 5);
        QVERIFY(!fixture.form1());

        // A second press starts again at 9600; closing the window during its
        // first wait ends it there, quietly, with the port closed.
        fixture.device.clearTranscript();
        fixture.boxes.clear();
        QTimer::singleShot(300, &window, [&window] { window.close(); });
        QElapsedTimer clock;
        clock.start();
        fixture.pressTesselDownload();
        QVERIFY(clock.elapsed() < 500);
        QCOMPARE(window.Combo1->currentText(), QStringLiteral("9600"));
        QVERIFY(fixture.device.transcript().isEmpty()); // stopped before sending "!"
        QVERIFY(fixture.boxes.texts().isEmpty());
        QVERIFY(!window.MSComm1.PortOpen());
        QVERIFY(noWindowLeft());
        QVERIFY(!fixture.form1());
    }

    void repliesThatAreNotExactlyTheProbeAnswer_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<int>("deviceRate");
        QTest::addColumn<QString>("rateKept");
        QTest::newRow("two answers") << QByteArray("!!") << 0 << 9600 << "9600";
        QTest::newRow("with a line end") << QByteArray("!\r\n") << 0 << 9600 << "9600";
        QTest::newRow("after the last wait") << QByteArray("!") << 700 << 115200 << "115200";
    }

    void repliesThatAreNotExactlyTheProbeAnswer()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, delayMs);
        QFETCH(int, deviceRate);
        QFETCH(QString, rateKept);
        SimFixture fixture;
        fixture.device.setOwnRate(deviceRate);
        Reply scripted;
        scripted.text = reply;
        scripted.delayMs = delayMs;
        fixture.device.setProbeReply(scripted);
        fixture.start();
        fixture.pressTesselDownload();

        QCOMPARE(fixture.boxes.texts(), QStringList{"No Action"});
        QCOMPARE(Module1::BaudRate, rateKept);
        QVERIFY(!fixture.form1());
        QVERIFY(fixture.form2().Command1->isEnabled());
    }

    void noiseAtAWrongRateEndsTheSteppingEarly()
    {
        SimFixture fixture;
        fixture.device.setOwnRate(115200);
        fixture.start();
        // The device talks during the first pass, at its own rate: garbage here.
        QTimer::singleShot(250, &fixture.form2(), [&fixture] { fixture.device.send("!"); });
        fixture.pressTesselDownload();

        QCOMPARE(fixture.boxes.texts(), QStringList{"No Action"});
        QCOMPARE(Module1::BaudRate, QStringLiteral("9600"));
        QCOMPARE(bytesWithRates(fixture.device), (QList<QPair<int, char>>{{9600, '!'}}));
        QVERIFY(fixture.form2().ProbeReply != "!");
    }

    void okFromAnEarlierProbeShortensEveryWait()
    {
        SimFixture fixture;
        Reply ok;
        ok.text = QByteArray("OK!");
        fixture.device.setProbeReply(ok);
        fixture.start();
        fixture.pressTesselDownload();
        QCOMPARE(fixture.form2().ProbeReply, QByteArray("OK!"));

        Reply silent;
        silent.silent = true;
        fixture.device.setProbeReply(silent);
        QElapsedTimer clock;
        clock.start();
        fixture.pressTesselDownload();
        QVERIFY2(clock.elapsed() < 400, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(fixture.boxes.texts(), (QStringList{"No Action", "No Action"}));
        QCOMPARE(Module1::BaudRate, QStringLiteral("115200"));
    }

    void portNumberThatNamesNoPort()
    {
        SimFixture fixture;
        fixture.start();
        Form2 &window = fixture.form2();
        window.Text1->setFocus();
        window.Text1->setText("");
        QTest::keyClicks(window.Text1, "2");
        fixture.pressTesselDownload();

        QCOMPARE(fixture.boxes.texts(), QStringList{"Comport Number Error"});
        QVERIFY(!window.MSComm1.PortOpen());
        QVERIFY(window.Command1->isEnabled());
        QVERIFY(Module1::BaudRate.isEmpty());
        QCOMPARE(window.Combo1->currentText(), QStringLiteral("9600"));
        QVERIFY(fixture.device.transcript().isEmpty());
    }

    void portHeldByAnotherProgramEndsThePressSilently()
    {
        SimFixture fixture;
        SerialControl otherProgram(*fixture.resolver);
        otherProgram.setPortOpen(true);
        fixture.start();
        fixture.pressTesselDownload();

        QVERIFY(fixture.boxes.texts().isEmpty());
        QVERIFY(fixture.form2().Command1->isEnabled());
        QVERIFY(!fixture.form2().MSComm1.PortOpen());

        otherProgram.setPortOpen(false);
        fixture.pressTesselDownload();
        QVERIFY(fixture.form1() && fixture.form1()->isVisible());
    }

    void failedLoadKeepsTheConnectionWindow()
    {
        SimFixture fixture;
        const QString device = fixture.device.portPath();
        fixture.resolver.reset();
        auto resolver = std::make_shared<ScriptedResolver>(
            QStringList{device, QStringLiteral("/dev/tarvik-gone"), device, device});
        fixture.program = std::make_unique<Program>(resolver);
        fixture.program->start();
        Form2 &window = fixture.form2();

        fixture.pressTesselDownload();
        QCOMPARE(fixture.boxes.texts(), QStringList{"Comport Number Error"});
        Form1 *downloader = fixture.form1();
        QVERIFY(downloader && !downloader->isVisible());
        QVERIFY(!downloader->MSComm1.PortOpen());
        QVERIFY(window.isVisible());
        QVERIFY(window.Command1->isEnabled());

        fixture.pressTesselDownload();
        QCOMPARE(fixture.form1(), downloader); // the same instance, loaded again
        QVERIFY(downloader->isVisible());
        QVERIFY(downloader->MSComm1.PortOpen());
        QVERIFY(!window.isVisible());
    }

    void downloaderWindowAfterTheHandOff()
    {
        SimFixture fixture;
        Form1 &window = fixture.openDownloaderWindow();

        QCOMPARE(window.windowTitle(), QStringLiteral("Tarvik Downloader"));
        QCOMPARE(window.size(), QSize(568, 264));
        QCOMPARE(window.Label3[0]->text(), QString());
        QCOMPARE(window.Label3[1]->text(), QString());
        QCOMPARE(window.Label3[0]->palette().color(QPalette::Window), QColor(255, 255, 192));
        QCOMPARE(window.Label2->palette().color(QPalette::Window), QColor(255, 192, 192));
        QCOMPARE(window.Label2->text(), QStringLiteral("Open File"));
        QCOMPARE(window.Label5->text(), QStringLiteral("MCU Version ??"));
        QCOMPARE(window.Label4->text(), QStringLiteral("Version 1.7"));
        QCOMPARE(window.Frame2->title(), QStringLiteral("Information"));
        QVERIFY(window.Command2->isEnabled());
        QVERIFY(window.Command7->isEnabled());
        QVERIFY(!window.Command3->isEnabled());
        QVERIFY(window.MSComm1.PortOpen());
        QCOMPARE(Module1::TickCount, qint16(0));
        QCOMPARE(controlsWithoutAccessibleName(&window), QStringList());

        // The device talks before any file is loaded (the port is still at
        // 9600 until a download or query sets the probed rate): it is all kept.
        fixture.device.send("C:");
        QTRY_COMPARE(window.RxBuffer, QByteArray("C:"));

        window.close();
        QVERIFY(!window.MSComm1.PortOpen());
        QVERIFY(noWindowLeft());
        QVERIFY(!fixture.form2().isVisible()); // the connection window does not come back
    }

    // The indicators are announced by what they show; the buttons and boxes
    // by what they do.
    void screenReaderReadsWhatTheLabelsShow()
    {
        SimFixture fixture;
        Form1 &window = fixture.openDownloaderWindow();
        QCOMPARE(accessibleText(window.Label2), QStringLiteral("Open File"));
        QCOMPARE(accessibleText(window.Label3[1], QAccessible::Description), QStringLiteral("Download result"));

        fixture.loadFirmware(SimFixture::exampleFirmware());
        QTest::mouseClick(window.Command3, Qt::LeftButton);
        QCOMPARE(window.Label3[1]->text(), QStringLiteral("Pass!")); // the download itself passed
        QCOMPARE(accessibleText(window.Label3[1]), QStringLiteral("Pass!"));
        QCOMPARE(accessibleText(window.Label3[0]), QStringLiteral("Pass!"));
        QCOMPARE(accessibleText(window.Label2), QStringLiteral("Push <Download Flash> for next one"));

        QTest::mouseClick(window.Command7, Qt::LeftButton);
        QCOMPARE(accessibleText(window.Label5), QStringLiteral("MCU Version 17"));
        QCOMPARE(accessibleText(window.Label5, QAccessible::Description), QStringLiteral("Microcontroller version"));

        // The names the buttons and boxes were given stay theirs (on Linux a
        // list box announces its current entry as its name).
        Form2 &connection = fixture.form2();
        const QList<QPair<QWidget *, QString>> named = {
            {connection.Command1, "Tessel Download"}, {connection.Text1, "COM port number"},
            {connection.Combo1, "Baud rate"},         {window.Command2, "Open File"},
            {window.Command3, "Download Flash"},      {window.Command7, "Check"},
        };
        for (const auto &[control, name] : named)
            QCOMPARE(control->accessibleName(), name);
        QCOMPARE(controlsWithoutAccessibleName(&connection), QStringList());
        QCOMPARE(controlsWithoutAccessibleName(&window), QStringList());
    }
};

QTEST_MAIN(ConnectionWindowTest)
#include "tst_connection_window.moc"
