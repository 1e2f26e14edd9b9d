#include "connect/Form2.h"

#include "ui/Module1.h"
#include "base/Guard.h"
#include "engine/TickWait.h"
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

const QStringList Form2::Rates = {QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("38400"),
                                  QStringLiteral("57600"), QStringLiteral("115200")};

namespace {
const QByteArray ProbeRequest = QByteArrayLiteral("!");
const QByteArray ProbeAnswer = QByteArrayLiteral("!");
} // namespace

Form2::Form2(const PortResolver &resolver, QWidget *parent)
    : QWidget(parent)
    , MSComm1(resolver)
    , m_resolver(resolver)
{
    buildLayout();
    TickWait::configureTimer(Timer1);
    connect(&Timer1, &QTimer::timeout, this, [this] { guard([this] { Timer1_Timer(); }); });
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
    m_unloaded = true;
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
    if (watched == Text1 && event->type() == QEvent::KeyRelease
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
    try {
        MSComm1.setCommPort(Module1::PortNumber);
        MSComm1.setPortOpen(true);
        qint16 pass = 0;
        Command1->setEnabled(false);
        // Any byte received ends the stepping: the device answered at the
        // rate of the pass before, or something else is on the line.
        while (MSComm1.InBufferCount() == 0) {
            Combo1->setCurrentIndex(pass);
            Module1::BaudRate = Combo1->currentText();
            MSComm1.setSettings(SerialSettings::forRate(Module1::BaudRate));
            TimeDelay(1);
            MSComm1.Output(ProbeRequest);
            TimeDelay(1);
            if (++pass == Rates.size())
                break;
        }
        ProbeReply = MSComm1.Input();
        MSComm1.setPortOpen(false);
        Command1->setEnabled(true);

        if (ProbeReply != ProbeAnswer) {
            Dialogs::showInformation(this, QStringLiteral("No Action"));
            return;
        }
        if (HandOff)
            HandOff();
    } catch (const Failure &failure) {
        // Leave the window ready for another try, whatever went wrong.
        if (MSComm1.PortOpen())
            MSComm1.setPortOpen(false);
        Command1->setEnabled(true);
        if (failure.number() == SerialError::InvalidPortNumber)
            Dialogs::showInformation(this, QStringLiteral("Comport Number Error"));
    }
}

void Form2::Timer1_Timer()
{
    TickWait::addTick(Module1::TickCount);
}

void Form2::TimeDelay(qint16 TimeSpan)
{
    TickWait::wait(Timer1, Module1::TickCount, ProbeReply, TimeSpan, m_unloaded);
}
