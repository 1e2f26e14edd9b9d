#include "downloader/Form1.h"

#include "engine/Attempt.h"

#include "ui/Module1.h"
#include "base/Failure.h"
#include "base/Guard.h"
#include "engine/Evaluation.h"
#include "engine/FirmwareFile.h"
#include "ui/CommandButton.h"
#include "ui/Dialogs.h"
#include "ui/Look.h"
#include "ui/Twips.h"

#include <QCloseEvent>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace {

const QString ReadyPrompt = QStringLiteral("Push <Download Flash> for next one");
const QString PassCaption = QStringLiteral("Pass!");
const QString FailCaption = QStringLiteral("Fail");
const QString VersionUnknown = QStringLiteral("MCU Version ??");

QPushButton *makeButton(const QString &caption, QWidget *parent, const QFont &font)
{
    auto *button = new CommandButton(caption, parent);
    button->setFont(font);
    return button;
}

// A label has no accessible name of its own: a screen reader then announces
// its caption, and every new caption ("Pass!", "Communication Fail") as it is
// set. What the label is for goes in the description.
QLabel *makeLabel(const QString &caption, QWidget *parent, const QFont &font, const QColor &back,
                  Qt::Alignment alignment, const QString &purpose)
{
    auto *label = new QLabel(caption, parent);
    label->setFont(font);
    label->setAlignment(alignment);
    label->setWordWrap(true);
    Look::setBackColour(label, back);
    label->setAccessibleDescription(purpose);
    return label;
}

} // namespace

Form1::Form1(const PortResolver &resolver, QWidget *parent)
    : QWidget(parent)
    , m_link(resolver)
    , Timer1(m_link.timer())
    , MSComm1(m_link.serial())
    , TickCount(m_link.tickCount())
    , RxBuffer(m_link.received())
{
    buildLayout();
    // The port stays open while the window is, and everything the device
    // sends is kept for the next evaluation.
    m_link.setCollecting(true);
    connect(&m_link, &DeviceLink::stepReached, this, [this](DeviceLink::Step step) {
        switch (step) {
        case DeviceLink::Step::SendingImage:
            Pending = QStringLiteral("?");
            ImageProgress->show();
            ImageProgress->setValue(0);
            break;
        case DeviceLink::Step::AwaitingVerdict:
            ImageProgress->hide();
            break;
        case DeviceLink::Step::VersionNoAnswer:
            Dialogs::showInformation(this, QStringLiteral("No Action"));
            break;
        case DeviceLink::Step::VersionAnswered:
            Label5->setText(QString());
            break;
        case DeviceLink::Step::SendingCommands:
            break;
        }
    });
    connect(&m_link, &DeviceLink::imageProgress, this, [this](qint64 sent, qint64 total) {
        m_bytesSent = sent;
        // Per mille: an image of any size fits the bar's int range.
        ImageProgress->setValue(total > 0 ? static_cast<int>(sent * 1000 / total) : 1000);
    });
    connect(Command2, &QPushButton::clicked, this, [this] { guard([this] { Command2_Click(); }); });
    connect(Command3, &QPushButton::clicked, this, [this] { guard([this] { Command3_Click(); }); });
    connect(Command7, &QPushButton::clicked, this, [this] { guard([this] { Command7_Click(); }); });
}

void Form1::buildLayout()
{
    setWindowTitle(QStringLiteral("Tarvik Downloader"));
    setFixedSize(Twips::toPixels(8520), Twips::toPixels(3960));
    const Qt::Alignment centred = Qt::AlignCenter;
    const Qt::Alignment left = Qt::AlignLeft | Qt::AlignVCenter;

    Frame2 = new QGroupBox(QStringLiteral("Information"), this);
    Frame2->setFont(Look::controlFont(9));
    Twips::place(Frame2, 120, 2640, 8295, 1215);

    Label2 = makeLabel(QStringLiteral("Open File"), Frame2, Look::controlFont(18), Look::LightPink, centred,
                       QStringLiteral("Prompt"));
    Twips::place(Label2, 240, 480, 7815, 615);

    // In the frame's room below the prompt, as wide as the prompt.
    ImageProgress = new QProgressBar(Frame2);
    ImageProgress->setRange(0, 1000);
    ImageProgress->setTextVisible(false);
    ImageProgress->setAccessibleName(QStringLiteral("Image sent"));
    Twips::place(ImageProgress, 240, 1110, 7815, 75);
    ImageProgress->hide();

    Label3[0] = makeLabel(QString(), this, Look::controlFont(24), Look::LightYellow, centred,
                          QStringLiteral("File check result"));
    Twips::place(Label3[0], 3240, 360, 1935, 615);
    Label3[1] = makeLabel(QString(), this, Look::controlFont(24), Look::LightYellow, centred,
                          QStringLiteral("Download result"));
    Twips::place(Label3[1], 3240, 1680, 1935, 615);

    Command2 = makeButton(QStringLiteral("Open File"), this, Look::controlFont(20.25));
    Twips::place(Command2, 240, 120, 2535, 975);
    Command3 = makeButton(QStringLiteral("Download Flash"), this, Look::controlFont(20.25));
    Twips::place(Command3, 240, 1440, 2535, 975);
    Command3->setEnabled(false);

    Label4 = makeLabel(QStringLiteral("Version 1.7"), this, Look::controlFont(14.25), Look::LightPink, left,
                       QStringLiteral("Program version"));
    Twips::place(Label4, 5640, 240, 2775, 735);

    Frame3 = new QGroupBox(this);
    Twips::place(Frame3, 5640, 1440, 2775, 975);
    Label5 = makeLabel(VersionUnknown, Frame3, Look::controlFont(12, true), Look::LightPink, left,
                       QStringLiteral("Microcontroller version"));
    Twips::place(Label5, 120, 240, 1695, 615);
    Command7 = makeButton(QStringLiteral("Check"), Frame3, Look::controlFont(9.75, true));
    Twips::place(Command7, 1800, 240, 855, 615);

    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Command7);
    Command2->setFocus(); // the lowest tab index: Enter or Space opens a file at once
}

void Form1::Form_Load()
{
    m_link.clearStop();
    TickCount = 0;
    Label3[0]->setText(QString());
    Label3[1]->setText(QString());
    Label2->setText(QStringLiteral("Open File"));
    RxBuffer.clear();
    MSComm1.setCommPort(Module1::PortNumber);
    MSComm1.setPortOpen(true);
}

void Form1::Form_Unload()
{
    m_link.requestStop();
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
}

void Form1::closeEvent(QCloseEvent *event)
{
    guard([this] { Form_Unload(); });
    event->accept();
}

void Form1::TimeDelay(qint16 TimeSpan)
{
    m_link.wait(TimeSpan);
}

void Form1::showResult(QLabel *indicator, bool passed)
{
    Look::setTextColour(indicator, passed ? Look::Green : Look::Red);
    indicator->setText(passed ? PassCaption : FailCaption);
}

void Form1::Command2_Click()
{
    // A cancelled dialog gives no path, which reads as no file: nothing changes.
    loadFirmwareFile(Dialogs::chooseFileToOpen(this, QStringLiteral("*.txt (*.txt)")));
}

void Form1::loadFirmwareFile(const QString &path)
{
    FileText.clear();
    const std::optional<QByteArray> bytes = path.isEmpty() ? std::nullopt : FirmwareFile::readBytes(path);
    if (!bytes)
        return; // no file, or an unreadable one, ends the click silently
    const FirmwareFile::Image image = FirmwareFile::parse(*bytes);
    FileText = image.text;
    m_firmwarePath = QFileInfo(path).absoluteFilePath();
    // The hash is for the production log only; a 10 MB file takes tens of
    // milliseconds to hash, which a window without a log does not pay.
    m_firmwareSha256 = AttemptLogged ? QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256).toHex()
                                     : QByteArray();
    showResult(Label3[0], image.passed);
    // One window loads one image: after a pass it is sent to device after device.
    if (image.passed)
        Command2->setEnabled(false);
    process();
}

void Form1::Command3_Click()
{
    Label3[1]->setText(QString());
    Label2->setText(QStringLiteral("Please Wait"));
    Command3->setEnabled(false);
    Command7->setEnabled(false);
    const QDateTime started = QDateTime::currentDateTime();
    QElapsedTimer clock;
    clock.start();
    m_bytesSent = 0;
    const auto logged = [&](const QString &result, const QByteArray &reply) {
        if (!AttemptLogged)
            return;
        AttemptRecord record = attemptRecord(started);
        record.bytesSent = m_bytesSent;
        record.result = result;
        record.reply = reply;
        record.durationMs = clock.elapsed();
        AttemptLogged(record);
    };
    QByteArray reply;
    // A download that touched the device is in the log however it ends: a
    // window closed in the middle of the image, or a port that failed under
    // it, leaves a device half flashed, and the bytes sent tell how far.
    try {
        // Pending turns "?" and the progress shows as the image starts.
        reply = m_link.download(Module1::BaudRate, FileText);
    } catch (const ExchangeInterrupted &) {
        logged(QStringLiteral("interrupted"), {});
        throw;
    } catch (const Failure &failure) {
        logged(outcomeWord(outcomeOfFailure(failure.number())), {});
        throw;
    }
    process();
    logged(Label3[1]->text() == PassCaption ? QStringLiteral("pass") : QStringLiteral("fail"), reply);
}

AttemptRecord Form1::attemptRecord(const QDateTime &started) const
{
    AttemptRecord record;
    record.started = started;
    record.port = QString::number(Module1::PortNumber);
    record.devicePath = MSComm1.devicePath();
    record.rate = Module1::BaudRate;
    record.firmwarePath = m_firmwarePath;
    record.firmwareSha256 = m_firmwareSha256;
    return record;
}

void Form1::process()
{
    ImageProgress->hide();
    const auto fail = [this] {
        Label2->setText(QStringLiteral("Communication Fail"));
        showResult(Label3[1], false);
        RxBuffer.clear();
        Pending.clear();
        Command3->setEnabled(true);
    };
    const auto ready = [this] {
        Label2->setText(ReadyPrompt);
        Command3->setEnabled(true);
    };

    switch (evaluate(Label3[0]->text(), RxBuffer, Pending)) {
    case Outcome::NoUsableFile:
        Label2->setText(QStringLiteral("Open File"));
        Command3->setEnabled(false);
        break;
    case Outcome::DownloadPassed:
        RxBuffer.clear();
        Pending.clear();
        Label2->setText(ReadyPrompt);
        showResult(Label3[1], true);
        Command3->setEnabled(true);
        Command7->setEnabled(true);
        break;
    case Outcome::DownloadFailed:
        fail();
        break;
    case Outcome::Ready:
        ready();
        break;
    }
}

void Form1::Command7_Click()
{
    // No download and no file load may start inside the query's waits.
    const bool downloadWasEnabled = Command3->isEnabled();
    const bool openWasEnabled = Command2->isEnabled();
    Command7->setEnabled(false);
    Command3->setEnabled(false);
    Command2->setEnabled(false);

    Label5->setText(VersionUnknown);
    const QDateTime started = QDateTime::currentDateTime();
    QElapsedTimer clock;
    clock.start();
    const auto logged = [&](const QString &result, std::optional<quint8> version) {
        if (!AttemptLogged)
            return;
        AttemptRecord record = attemptRecord(started);
        record.result = result;
        record.version = version;
        record.durationMs = clock.elapsed();
        AttemptLogged(record);
    };
    std::optional<quint8> version;
    try {
        // "No Action" shows, or the caption blanks for a tick, inside the query.
        version = m_link.queryVersion(Module1::BaudRate);
    } catch (const ExchangeInterrupted &) {
        logged(QStringLiteral("interrupted"), std::nullopt);
        throw;
    } catch (const Failure &failure) {
        logged(outcomeWord(outcomeOfFailure(failure.number())), std::nullopt);
        throw;
    }
    if (version)
        Label5->setText(QStringLiteral("MCU Version %1").arg(*version));
    logged(version ? QStringLiteral("version") : QStringLiteral("no-version"), version);

    Command7->setEnabled(true);
    Command3->setEnabled(downloadWasEnabled);
    Command2->setEnabled(openWasEnabled);
}
