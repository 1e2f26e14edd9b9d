#include "connect/Form2.h"

#include "ui/Module1.h"
#include "base/Guard.h"
#include "connect/PortEntry.h"
#include "serial/PortResolver.h"
#include "ui/CommandButton.h"
#include "ui/Dialogs.h"
#include "ui/Look.h"
#include "ui/Twips.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolTip>


Form2::Form2(const PortResolver &resolver, QWidget *parent)
    : QWidget(parent)
    , m_link(resolver)
    , Timer1(m_link.timer())
    , MSComm1(m_link.serial())
    , TickCount(m_link.tickCount())
    , ProbeReply(m_link.received())
    , m_resolver(resolver)
{
    buildLayout();
    // Each rate is shown as it is tried, and is the rate the downloader uses
    // when the device answers at it.
    connect(&m_link, &DeviceLink::rateTried, this, [this](int index) {
        Combo1->setCurrentIndex(index);
        Module1::BaudRate = Combo1->currentText();
    });
    connect(Command1, &QPushButton::clicked, this, [this] { guard([this] { Command1_Click(); }); });
    Text1->installEventFilter(this);
}

void Form2::buildLayout()
{
    setWindowTitle(QStringLiteral("Download Tool"));
    setFixedSize(Twips::toPixels(5880), Twips::toPixels(1785));

    Frame1 = new QGroupBox(QStringLiteral("RS232 Communication Setting"), this);
    Frame1->setFont(Look::controlFont(9));
    Twips::place(Frame1, 120, 0, 5655, 1695);

    Command1 = new CommandButton(QStringLiteral("Tessel Download"), Frame1);
    Command1->setFont(Look::controlFont(9, true));
    Twips::place(Command1, 2880, 480, 2535, 975);

    Text1 = new QLineEdit(QStringLiteral("1"), Frame1);
    Text1->setFont(Look::controlFont(9));
    Text1->setMaxLength(4);
    Text1->setAlignment(Qt::AlignCenter);
    Twips::place(Text1, 1440, 600, 1095, 270);

    Label1 = new QLabel(QStringLiteral("COM : "), Frame1);
    Label1->setFont(Look::controlFont(9.75, true));
    Twips::place(Label1, 240, 600, 735, 255);

    Combo1 = new QComboBox(Frame1);
    Combo1->addItems(Rates);
    Combo1->setCurrentIndex(0);
    Twips::place(Combo1, 1440, 1080, 1095, 300);

    Label2 = new QLabel(QStringLiteral("BaudRate : "), Frame1);
    Label2->setFont(Look::controlFont(9, true));
    Twips::place(Label2, 240, 1080, 1215, 375);

    Text1->setAccessibleName(QStringLiteral("COM port number"));
    Combo1->setAccessibleName(QStringLiteral("Baud rate"));

    setTabOrder(Command1, Text1);
    setTabOrder(Text1, Combo1);
    // The lowest tab index that takes the focus: Enter or Space starts the probe at once.
    Command1->setFocus();
}

void Form2::Form_Load()
{
    Module1::PortNumber = PortEntry::read(Text1->text()).number;
}

void Form2::Form_Unload()
{
    m_link.requestStop();
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
}

void Form2::closeEvent(QCloseEvent *event)
{
    guard([this] { Form_Unload(); });
    event->accept();
}

bool Form2::eventFilter(QObject *watched, QEvent *event)
{
    // While a probe runs the box takes no input: the probe keeps the number
    // it opened, and the downloader opens that number too.
    if (watched == Text1 && event->type() == QEvent::KeyRelease && Text1->isEnabled()
        && !static_cast<QKeyEvent *>(event)->isAutoRepeat()) {
        guard([this] { Text1_KeyUp(); });
    }
    if (watched == Text1 && event->type() == QEvent::ToolTip) {
        // Worked out at each hover: adapters come and go while the window is open.
        const auto *help = static_cast<QHelpEvent *>(event);
        QToolTip::showText(help->globalPos(), portToolTip(Text1->text(), m_resolver), Text1);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

QString Form2::portToolTip(const QString &text, const PortResolver &resolver)
{
    const PortEntry entry = PortEntry::read(text);
    if (entry.verdict != PortEntry::Verdict::Accepted)
        return QStringLiteral("Type a port number from 1 to 16");
    const QString path = resolver.resolve(entry.number);
    if (path.isEmpty())
        return QStringLiteral("Port %1: no such serial port on this machine").arg(entry.number);
    return QStringLiteral("Port %1 opens %2").arg(entry.number).arg(path);
}

void Form2::Text1_KeyUp()
{
    const auto restore = [this](const QString &message) {
        Text1->setText(QString::number(Module1::PortNumber));
        Dialogs::showInformation(this, message);
    };
    try {
        const PortEntry entry = PortEntry::read(Text1->text());
        switch (entry.verdict) {
        case PortEntry::Verdict::Accepted:
            Module1::PortNumber = entry.number;
            return;
        case PortEntry::Verdict::OutOfRange:
            restore(QStringLiteral("Input range 1~16"));
            return;
        case PortEntry::Verdict::NotANumber:
            restore(QStringLiteral("Input key 0~9"));
            return;
        }
    } catch (const Failure &) {
        restore(QStringLiteral("Input key 0~9"));
    }
}

void Form2::Command1_Click()
{
    const qint16 probedPort = Module1::PortNumber;
    const auto takeInput = [this](bool enabled) {
        Command1->setEnabled(enabled);
        Text1->setEnabled(enabled);
        Combo1->setEnabled(enabled);
    };
    try {
        takeInput(false);
        const DeviceLink::ProbeResult result = m_link.probe(probedPort, Rates);
        takeInput(true);
        if (!result.answered()) {
            Dialogs::showInformation(this, QStringLiteral("No Action"));
            return;
        }
        Module1::PortNumber = probedPort;
        if (HandOff)
            HandOff();
    } catch (const Failure &failure) {
        // Leave the window ready for another try, whatever went wrong.
        if (MSComm1.PortOpen())
            MSComm1.setPortOpen(false);
        takeInput(true);
        if (failure.number() == SerialError::InvalidPortNumber)
            Dialogs::showInformation(this, QStringLiteral("Comport Number Error"));
        else
            Dialogs::showInformation(this, openFailureMessage(failure));
    }
}

QString Form2::openFailureMessage(const Failure &failure)
{
    switch (failure.number()) {
    case SerialError::PortInUse:
    case SerialError::NoPermission:
        return failure.description();
    default:
        return QStringLiteral("The port %1 failed while probing. Check the cable and the device, "
                              "then try again. (%2)")
            .arg(MSComm1.devicePath(), failure.description());
    }
}

void Form2::TimeDelay(qint16 TimeSpan)
{
    m_link.wait(TimeSpan);
}
