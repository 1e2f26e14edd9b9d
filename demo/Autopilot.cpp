#include "demo/Autopilot.h"

#include "ui/Module1.h"
#include "app/Program.h"
#include "connect/Form2.h"
#include "downloader/Form1.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <cstdio>

namespace {

QString colourName(const QLabel *label)
{
    const QColor colour = label->palette().color(QPalette::WindowText);
    if (colour == QColor(0, 255, 0))
        return QStringLiteral("green");
    if (colour == QColor(255, 0, 0))
        return QStringLiteral("red");
    return colour.name();
}

// Whether the window system made the window: a widget Qt shows without a
// native window (a display the window system cannot reach) is on no screen,
// and closing it closes nothing.
bool onScreen(const QWidget *window)
{
    return window->windowHandle() && window->windowHandle()->handle();
}

QString enabled(const QPushButton *button)
{
    return button->text() + (button->isEnabled() ? QStringLiteral(" enabled") : QStringLiteral(" disabled"));
}

} // namespace

Autopilot::Autopilot(Program &program, AutopilotDevice device, QString firmwarePath, QDir screenshots)
    : m_program(program)
    , m_device(std::move(device))
    , m_firmwarePath(std::move(firmwarePath))
    , m_screenshots(std::move(screenshots))
{}

void Autopilot::start()
{
    m_screenshots.mkpath(QStringLiteral("."));
    answerMessageBoxes();
    QTimer::singleShot(300, this, &Autopilot::run);
}

void Autopilot::answerMessageBoxes()
{
    // The road has no message box; any that shows is recorded and answered
    // so the demo never hangs on it.
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        m_messages << box->text();
        std::printf("   message box \"%s\": \"%s\"\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
        box->button(QMessageBox::Ok)->click();
    });
    poll->start(50);
}

void Autopilot::report(const QString &name, QWidget *window, const QString &seen, bool ok)
{
    const QString file = m_screenshots.filePath(name + QStringLiteral(".png"));
    window->grab().save(file);
    std::printf("%s %-10s %s\n           screenshot %s\n", ok ? "ok  " : "FAIL", qPrintable(name), qPrintable(seen),
                qPrintable(file));
    std::fflush(stdout);
    m_allOk = m_allOk && ok;
}

void Autopilot::run()
{
    Form2 &connection = m_program.connectionWindow();

    // 1. The port number the device is on.
    connection.Text1->setFocus();
    connection.Text1->selectAll();
    QTest::keyClicks(connection.Text1, QString::number(m_device.portNumber));
    report(QStringLiteral("connection"), &connection,
           QStringLiteral("\"Download Tool\": COM : \"%1\", BaudRate : \"%2\"%3")
               .arg(connection.Text1->text(), connection.Combo1->currentText(),
                    onScreen(&connection) ? QString() : QStringLiteral(", but no window on the screen")),
           Module1::PortNumber == m_device.portNumber && m_messages.isEmpty() && onScreen(&connection));
    if (!onScreen(&connection)) {
        QCoreApplication::exit(1);
        return;
    }

    // The windows are laid out in twips: the same pixels on every system (in
    // logical pixels, at any scale), as the windows' tests have them.
    const QRect button = connection.Command1->geometry();
    report(QStringLiteral("layout"), &connection,
           QStringLiteral("window %1x%2, \"Tessel Download\" at %3,%4 %5x%6")
               .arg(connection.width())
               .arg(connection.height())
               .arg(button.x())
               .arg(button.y())
               .arg(button.width())
               .arg(button.height()),
           connection.size() == QSize(392, 119) && button == QRect(192, 32, 169, 65));

    // 2. "Tessel Download": the probe steps through the rates to the device's.
    QTest::mouseClick(connection.Command1, Qt::LeftButton);
    Form1 *downloader = m_program.downloaderWindow();
    // The connection window goes as the downloader comes; a window system
    // may take a moment to let it go.
    const bool handedOff =
        QTest::qWaitFor([&] { return downloader && downloader->isVisible() && !connection.isVisible(); }, 3000);
    if (!handedOff) {
        report(QStringLiteral("probe"), &connection,
               QStringLiteral("no hand-off (downloader %1, connection %2); messages: %3")
                   .arg(!downloader               ? QStringLiteral("not made")
                        : downloader->isVisible() ? QStringLiteral("shown")
                                                  : QStringLiteral("hidden"),
                        connection.isVisible() ? QStringLiteral("shown") : QStringLiteral("hidden"),
                        m_messages.join(QStringLiteral(", "))),
               false);
        QCoreApplication::exit(1);
        return;
    }
    report(QStringLiteral("downloader"), downloader,
           QStringLiteral("\"Tarvik Downloader\" at %1 baud: prompt \"%2\", %3, %4, \"%5\"")
               .arg(Module1::BaudRate, downloader->Label2->text(), enabled(downloader->Command2),
                    enabled(downloader->Command3), downloader->Label5->text()),
           Module1::BaudRate == QString::number(m_device.ownRate) && !downloader->Command3->isEnabled());

    // 3. "Open File" with the example firmware, chosen in the file dialog.
    QTimer answerDialog;
    connect(&answerDialog, &QTimer::timeout, this, [this] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))) {
            name->setText(m_firmwarePath);
            QTest::keyClick(name, Qt::Key_Return);
        }
    });
    answerDialog.start(200);
    QTest::mouseClick(downloader->Command2, Qt::LeftButton);
    answerDialog.stop();
    report(QStringLiteral("file"), downloader,
           QStringLiteral("file check \"%1\" (%2), prompt \"%3\", %4, %5")
               .arg(downloader->Label3[0]->text(), colourName(downloader->Label3[0]), downloader->Label2->text(),
                    enabled(downloader->Command2), enabled(downloader->Command3)),
           downloader->Label3[0]->text() == QLatin1String("Pass!") && downloader->Command3->isEnabled());

    // 4. "Download Flash": the device takes the image and answers "OK!". A
    // picture is taken while the image is on the wire, with its progress.
    QPixmap sending;
    int sendingShare = -1;
    QTimer watchImage;
    connect(&watchImage, &QTimer::timeout, this, [&] {
        if (sending.isNull() && downloader->ImageProgress->isVisible() && downloader->ImageProgress->value() >= 400) {
            sendingShare = downloader->ImageProgress->value() / 10;
            sending = downloader->grab();
        }
    });
    watchImage.start(20);
    QTest::mouseClick(downloader->Command3, Qt::LeftButton);
    watchImage.stop();
    const QString sendingFile = m_screenshots.filePath(QStringLiteral("sending.png"));
    if (!sending.isNull())
        sending.save(sendingFile);
    std::printf("%s %-10s %s\n           screenshot %s\n", sending.isNull() ? "FAIL" : "ok  ", "sending",
                qPrintable(QStringLiteral("progress under \"Please Wait\" at %1 %").arg(sendingShare)),
                qPrintable(sendingFile));
    m_allOk = m_allOk && !sending.isNull();
    const int accepted = m_device.imagesAccepted ? m_device.imagesAccepted() : -1;
    report(QStringLiteral("download"), downloader,
           QStringLiteral("download \"%1\" (%2), prompt \"%3\", device accepted %4 image(s)")
               .arg(downloader->Label3[1]->text(), colourName(downloader->Label3[1]), downloader->Label2->text(),
                    accepted < 0 ? QStringLiteral("?") : QString::number(accepted)),
           downloader->Label3[1]->text() == QLatin1String("Pass!") && (accepted < 0 || accepted == 1));

    // 5. "Check": the microcontroller's version byte.
    QTest::mouseClick(downloader->Command7, Qt::LeftButton);
    report(QStringLiteral("version"), downloader, QStringLiteral("\"%1\"").arg(downloader->Label5->text()),
           downloader->Label5->text() == QStringLiteral("MCU Version %1").arg(m_device.version)
               && m_messages.isEmpty());

    std::printf("%s\n", m_allOk ? "The demo road showed everything it should." : "The demo road went wrong.");
    std::fflush(stdout);
    const int status = m_allOk ? 0 : 1;
    downloader->close();
    QCoreApplication::exit(status);
}
