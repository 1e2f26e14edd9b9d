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
#include <QFile>
#include <QProcess>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

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

    void portHeldByAnotherProgramIsNamed()
    {
        SimFixture fixture;
        QProcess otherProgram;
        otherProgram.start(QCoreApplication::applicationFilePath(), {"--hold", fixture.device.portPath()});
        QVERIFY(otherProgram.waitForReadyRead(10000));
        QCOMPARE(otherProgram.readLine().trimmed(), QByteArray("held"));
        fixture.start();
        fixture.pressTesselDownload();

        const QStringList boxes = fixture.boxes.texts();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].contains(fixture.device.portPath()) && boxes[0].contains("in use by another program"),
                 qPrintable(boxes[0]));
        QVERIFY(fixture.form2().Command1->isEnabled());
        QVERIFY(!fixture.form2().MSComm1.PortOpen());

        otherProgram.closeWriteChannel();
        QVERIFY(otherProgram.waitForFinished(10000));
        fixture.pressTesselDownload();
        QVERIFY(fixture.form1() && fixture.form1()->isVisible());
    }

    void portWithoutPermissionSaysWhichGroup()
    {
        // Root may open any device, so the operator's side runs as an
        // unprivileged user in a child.
        QProcess child;
        QStringList command{QCoreApplication::applicationFilePath(), "--no-permission-child"};
        if (::geteuid() == 0)
            command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
        child.start(command.takeFirst(), command);
        QVERIFY(child.waitForFinished(30000));
        const QString output = QString::fromLocal8Bit(child.readAllStandardOutput() + child.readAllStandardError());
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, qPrintable(output));
        QVERIFY2(output.contains("box: You may not open the port /dev/pts/") && output.contains("\"dialout\""),
                 qPrintable(output));
        QVERIFY2(output.contains("ready again: 1"), qPrintable(output));
    }

    void typingDuringTheProbeChangesNothing()
    {
        SimFixture fixture;
        SimulatedDevice otherDevice;
        fixture.resolver->assign(2, otherDevice.portPath());
        fixture.device.setOwnRate(38400);
        fixture.start();
        Form2 &window = fixture.form2();

        bool boxTookInput = true;
        QTimer::singleShot(700, &window, [&] {
            boxTookInput = window.Text1->isEnabled() || window.Combo1->isEnabled();
            QTest::keyClick(window.Text1, Qt::Key_Backspace);
            QTest::keyClicks(window.Text1, "2");
        });
        fixture.pressTesselDownload();

        QVERIFY(!boxTookInput);
        Form1 *downloader = fixture.form1();
        QVERIFY2(downloader && downloader->isVisible(),
                 qPrintable(QStringLiteral("rate %1, boxes: %2").arg(Module1::BaudRate, fixture.boxes.texts().join('|'))));
        QCOMPARE(downloader->MSComm1.CommPort(), qint16(1));
        QCOMPARE(downloader->MSComm1.devicePath(), fixture.device.portPath());
        QCOMPARE(Module1::BaudRate, QStringLiteral("38400"));
        QCOMPARE(window.Text1->text(), QStringLiteral("1"));
        QVERIFY(otherDevice.transcript().isEmpty());
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
        QCOMPARE(window.TickCount, qint16(0));
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

namespace {

// Another program holding the port the way serial programs do, until its
// standard input closes.
int holdPort(const QString &path)
{
    FixedPortResolver resolver;
    resolver.assign(1, path);
    SerialControl port(resolver);
    port.setPortOpen(true);
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

// The operator without the right to open the device: the simulated device's
// node loses its permissions before the press.
int pressWithoutPermission(int argc, char *argv[])
{
    QApplication application(argc, argv);
    SimFixture fixture;
    if (::chmod(QFile::encodeName(fixture.device.portPath()).constData(), 0) != 0)
        return 2;
    fixture.start();
    fixture.pressTesselDownload();
    for (const QString &text : fixture.boxes.texts())
        std::printf("box: %s\n", qPrintable(text));
    std::printf("ready again: %d\n", fixture.form2().Command1->isEnabled());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 2 && qstrcmp(argv[1], "--hold") == 0)
        return holdPort(QString::fromLocal8Bit(argv[2]));
    if (argc > 1 && qstrcmp(argv[1], "--no-permission-child") == 0)
        return pressWithoutPermission(argc, argv);
    QApplication application(argc, argv);
    ConnectionWindowTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_connection_window.moc"
