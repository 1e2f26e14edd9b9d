#include "stationwindow/SlotTile.h"

#include "serial/PortResolver.h"
#include "ui/Look.h"

#include <QLabel>
#include <QProgressBar>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

// Pages of the tile's middle: the room the progress bar and the large
// verdict share, so the tile keeps its height whatever it shows.
enum Page { Blank = 0, Progress = 1, Verdict = 2 };

const QColor PassBack(0, 200, 0);
const QColor FailBack(210, 0, 0);
const QColor PortBack(255, 190, 0);
const QColor QuietBack(200, 200, 200);

QLabel *makeLabel(QWidget *parent, const QFont &font, const QString &purpose)
{
    auto *label = new QLabel(parent);
    label->setFont(font);
    label->setAccessibleDescription(purpose);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

QString verdictOf(const SlotView &view)
{
    if (!view.last)
        return {};
    const QString words = verdictWords(verdictKindOf(*view.last), view.last->reply);
    // The operator labels the device from here.
    if (view.last->numberFate == NumberFate::UsedUp)
        return QStringLiteral("%1 · %2").arg(words, view.last->number);
    return words;
}

// A number the device was given and does not keep.
QString numberOf(const SlotView &view)
{
    if (!view.last || view.last->number.isEmpty() || view.last->numberFate == NumberFate::UsedUp)
        return {};
    return QStringLiteral("number %1 %2").arg(view.last->number, numberFateWords(view.last->numberFate));
}

QString versionOf(const SlotView &view, bool check)
{
    // The version is asked only of a device that passed.
    if (!check || !view.last || !view.last->versionAsked || view.last->outcome != AttemptOutcome::Passed)
        return {};
    return view.last->version ? QStringLiteral("version %1").arg(*view.last->version)
                              : QStringLiteral("version not answered");
}

QString countsOf(const StationCounts &counts)
{
    QString text = QStringLiteral("%1 passed · %2 failed").arg(counts.passed).arg(counts.failed());
    if (counts.portLost > 0)
        text += QStringLiteral(" · %1 port lost").arg(counts.portLost);
    if (counts.portTrouble > 0)
        text += QStringLiteral(" · %1 port trouble").arg(counts.portTrouble);
    if (counts.noNumber > 0)
        text += QStringLiteral(" · %1 without a number").arg(counts.noNumber);
    return text;
}

} // namespace

SlotTile::SlotTile(QWidget *parent)
    : QFrame(parent)
{
    setFrameShape(QFrame::Box);
    setLineWidth(1);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumWidth(220);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 5, 8, 5);
    layout->setSpacing(2);

    auto *top = new QHBoxLayout;
    m_port = makeLabel(this, Look::controlFont(11, true), QStringLiteral("Slot's port"));
    m_port->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_path = makeLabel(this, Look::controlFont(8.5), QStringLiteral("Device path"));
    m_path->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_path->setMinimumWidth(0);
    m_path->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    top->addWidget(m_port, 1);
    top->addWidget(m_path, 1);
    layout->addLayout(top);

    m_state = makeLabel(this, Look::controlFont(10.5), QStringLiteral("Slot's state"));
    m_state->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(m_state);

    m_middle = new QStackedWidget(this);
    m_middle->setFixedHeight(44);
    m_middle->addWidget(new QWidget(m_middle));
    m_progress = new QProgressBar(m_middle);
    // Per mille: an image of any size fits the bar's int range.
    m_progress->setRange(0, 1000);
    m_progress->setFormat(QStringLiteral("sending %p %"));
    m_progress->setAccessibleName(QStringLiteral("Image sent"));
    m_middle->addWidget(m_progress);
    m_verdict = makeLabel(m_middle, Look::controlFont(20, true), QStringLiteral("Verdict"));
    m_verdict->setAlignment(Qt::AlignCenter);
    m_verdict->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_middle->addWidget(m_verdict);
    layout->addWidget(m_middle);

    auto *bottom = new QHBoxLayout;
    m_last = makeLabel(this, Look::controlFont(9), QStringLiteral("Last verdict and version"));
    m_last->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_counts = makeLabel(this, Look::controlFont(9), QStringLiteral("Slot's counts"));
    m_counts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    bottom->addWidget(m_last, 1);
    bottom->addWidget(m_counts);
    layout->addLayout(bottom);
}

QString SlotTile::portWords(const StationPort &port)
{
    return port.number > 0 ? QStringLiteral("Port %1").arg(port.number) : port.label;
}

QString SlotTile::stateWords(const SlotView &view)
{
    switch (view.state) {
    case SlotLoop::State::Idle:
        return QStringLiteral("starting");
    case SlotLoop::State::WaitingForPort:
        return view.detail.isEmpty() ? QStringLiteral("waiting for the port") : view.detail;
    case SlotLoop::State::WaitingForDevice:
        return QStringLiteral("waiting for a device");
    case SlotLoop::State::Flashing:
        if (!view.step || *view.step == DeviceLink::Step::SendingCommands)
            return QStringLiteral("found at %1 baud").arg(view.detail);
        if (*view.step == DeviceLink::Step::SendingImage)
            return QStringLiteral("sending");
        if (*view.step == DeviceLink::Step::AwaitingVerdict)
            return QStringLiteral("awaiting the verdict");
        return QStringLiteral("asking the version");
    case SlotLoop::State::ShowingVerdict:
        return QStringLiteral("remove the device");
    case SlotLoop::State::Stopped:
        return QStringLiteral("stopped");
    }
    return {};
}

QString SlotTile::devicePathOf(const SlotView &view)
{
    if (!view.port.openablePath.isEmpty())
        return view.port.openablePath;
    // A number is looked up again each time the slot starts waiting: an
    // adapter plugged in meanwhile is shown where it is.
    if (m_resolvedIn != view.state
        && (view.state == SlotLoop::State::WaitingForDevice || view.state == SlotLoop::State::WaitingForPort)) {
        m_resolvedPath = DevicePortResolver().resolve(view.port.number);
        m_resolvedIn = view.state;
    }
    if (!view.devicePath.isEmpty() && view.state != SlotLoop::State::WaitingForPort)
        return view.devicePath;
    return m_resolvedPath;
}

void SlotTile::display(const SlotView &view, bool check)
{
    const QString port = portWords(view.port);
    const QString path = devicePathOf(view);
    const QString state = stateWords(view);
    if (m_portName != port || m_pathName != path) {
        m_portName = port;
        m_pathName = path == view.port.label ? QString() : path;
        fitNames();
    }
    m_state->setText(state);

    const bool sending = view.state == SlotLoop::State::Flashing && view.step == DeviceLink::Step::SendingImage;
    if (sending) {
        m_progress->setValue(view.total > 0 ? int(view.sent * 1000 / view.total) : 0);
        m_middle->setCurrentIndex(Progress);
    } else if (view.state == SlotLoop::State::ShowingVerdict && view.last) {
        showVerdict(view);
        m_middle->setCurrentIndex(Verdict);
    } else {
        m_middle->setCurrentIndex(Blank);
    }

    // The verdict of the device in the slot stands large; once it is taken
    // away the verdict stays in small print until the next one.
    QStringList lastParts;
    const QString verdict = verdictOf(view);
    const QString version = versionOf(view, check);
    if (!verdict.isEmpty() && m_middle->currentIndex() != Verdict)
        lastParts << QStringLiteral("last: %1").arg(verdict);
    if (!version.isEmpty())
        lastParts << version;
    if (const QString number = numberOf(view); !number.isEmpty())
        lastParts << number;
    if (view.last && !view.lastLogError.isEmpty())
        lastParts << QStringLiteral("NOT LOGGED");
    if (view.last && view.lastFromChangedFile)
        lastParts << QStringLiteral("old file");
    m_last->setText(lastParts.join(QStringLiteral(", ")));
    QString lastTip;
    if (view.last && !view.lastLogError.isEmpty())
        lastTip += QStringLiteral("Its line is not in the production log: %1. ").arg(view.lastLogError);
    if (view.last && view.lastFromChangedFile)
        lastTip += QStringLiteral("Flashed with the image read at the start; the file on disk has changed since.");
    m_last->setToolTip(lastTip.trimmed());
    m_counts->setText(countsOf(view.counts));

    // A screen reader hears the tile as one sentence.
    const QString name = QStringLiteral("Slot %1").arg(port);
    if (accessibleName() != name)
        setAccessibleName(name);
    QString description =
        path.isEmpty() || path == port ? QStringLiteral("%1.").arg(state) : QStringLiteral("%1, %2.").arg(path, state);
    // In steps of ten: a screen reader is not made to read the tile again
    // at every tick of the bar.
    if (sending)
        description += QStringLiteral(" %1 % sent.").arg(view.total > 0 ? view.sent * 10 / view.total * 10 : 0);
    if (!verdict.isEmpty())
        description +=
            QStringLiteral(" %1: %2.")
                .arg(m_middle->currentIndex() == Verdict ? QStringLiteral("Verdict") : QStringLiteral("Last verdict"),
                     verdict);
    if (!version.isEmpty())
        description += QStringLiteral(" %1.").arg(version.at(0).toUpper() + version.mid(1));
    if (!lastTip.isEmpty())
        description += u' ' + lastTip.trimmed();
    description +=
        QStringLiteral(" %1.").arg(countsOf(view.counts).replace(QStringLiteral(" · "), QStringLiteral(", ")));
    if (accessibleDescription() != description)
        setAccessibleDescription(description);
}

// A long name (a /dev/serial/by-path/... link) is cut at its start: its end
// tells the sockets apart. The whole of it is in the tool tip.
void SlotTile::fitNames()
{
    const int room = contentsRect().width() - 16;
    const int pathRoom = m_pathName.isEmpty() ? 0 : room / 2;
    const int portRoom = std::max(room - pathRoom - 6, room / 2);
    m_port->setText(m_port->fontMetrics().elidedText(m_portName, Qt::ElideLeft, portRoom));
    m_port->setToolTip(m_portName);
    m_path->setText(m_path->fontMetrics().elidedText(m_pathName, Qt::ElideLeft, pathRoom));
    m_path->setToolTip(m_pathName);
    m_path->setVisible(!m_pathName.isEmpty());
}

void SlotTile::showVerdict(const SlotView &view)
{
    const VerdictKind kind = verdictKindOf(*view.last);
    m_verdict->setText(verdictOf(view));
    m_verdict->setToolTip(m_verdict->text());
    switch (kind) {
    case VerdictKind::Pass:
        Look::setBackColour(m_verdict, PassBack);
        Look::setTextColour(m_verdict, Qt::black);
        break;
    case VerdictKind::NoAnswer:
    case VerdictKind::Refused:
        Look::setBackColour(m_verdict, FailBack);
        Look::setTextColour(m_verdict, Qt::white);
        break;
    case VerdictKind::PortLost:
    case VerdictKind::PortTrouble:
    case VerdictKind::NoNumber:
        Look::setBackColour(m_verdict, PortBack);
        Look::setTextColour(m_verdict, Qt::black);
        break;
    case VerdictKind::Interrupted:
        Look::setBackColour(m_verdict, QuietBack);
        Look::setTextColour(m_verdict, Qt::black);
        break;
    }
}

QString SlotTile::stateText() const
{
    return m_state->text();
}

QString SlotTile::verdictText() const
{
    return m_middle->currentIndex() == Verdict ? m_verdict->text() : QString();
}

QColor SlotTile::verdictColour() const
{
    return m_verdict->palette().color(QPalette::Window);
}

QString SlotTile::lastText() const
{
    return m_last->text();
}

bool SlotTile::progressShown() const
{
    return m_middle->currentIndex() == Progress && m_progress->isVisible();
}

int SlotTile::progressPercent() const
{
    return m_progress->value() / 10;
}

void SlotTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    fitNames();
}

void SlotTile::focusInEvent(QFocusEvent *event)
{
    setLineWidth(3);
    QFrame::focusInEvent(event);
}

void SlotTile::focusOutEvent(QFocusEvent *event)
{
    setLineWidth(1);
    QFrame::focusOutEvent(event);
}
