#include "stationwindow/StationWindow.h"

#include "station/StationNumbers.h"

#include "base/Guard.h"
#include "engine/FirmwareFile.h"
#include "engine/LinkOwner.h"
#include "log/ProductionLog.h"
#include "station/StationNumbers.h"
#include "stationwindow/SlotTile.h"
#include "ui/Dialogs.h"
#include "ui/Look.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCryptographicHash>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// Four tiles across fit a 1366-pixel screen; sixteen slots fit it without
// scrolling, and more scroll.
constexpr int TileColumns = 4;
// The hex digits of the SHA-256 shown in the header; the whole of it on hover.
constexpr int ShortDigest = 12;

const QColor WarningBack(190, 0, 0);

// A failure that reaches a slot's event boundary (a read from a port that
// has just died) ends what that slot was doing and nothing else; one on the
// window's own thread has no slot to end and takes the usual last resort.
void slotDefaultHandling(int number, const QString &description)
{
    if (LinkOwner::routeUnhandled(number, description))
        return;
    Guard::setDefaultHandling(nullptr);
    Guard::reportUnhandled(number, description);
}

QLabel *makeCaption(const QString &text, QWidget *buddy, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(Look::controlFont(10));
    label->setBuddy(buddy);
    return label;
}

} // namespace

StationWindow::StationWindow(StationWindowSetup setup, QWidget *parent)
    : QWidget(parent)
    , m_setup(std::move(setup))
{
    Guard::setDefaultHandling(slotDefaultHandling);
    setWindowTitle(QStringLiteral("Tarvik Station"));
    setAccessibleName(QStringLiteral("Tarvik Station"));
    buildHeader();

    m_firmware->setText(m_setup.firmwarePath);
    m_ports->setText(m_setup.ports);
    m_logPath->setText(m_setup.logPath);
    m_check->setChecked(m_setup.check);
    showPlan();
    if (!m_setup.firmwarePath.isEmpty())
        inspectFirmware(m_setup.firmwarePath);
    showCounts();
    setRunning(false);

    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                          : QRect(0, 0, 1366, 768);
    resize(std::min(1340, screen.width()), std::min(720, screen.height()));
    if (m_setup.startAtOnce)
        QTimer::singleShot(0, this, [this] { guard([this] { startStation(); }); });
}

StationWindow::~StationWindow()
{
    // Taking the window down moves the focus out of the boxes, which would
    // call back into this window after its own part is gone.
    const QList<QObject *> children = findChildren<QObject *>();
    for (QObject *child : children)
        child->disconnect(this);
    stopStation();
    m_station.reset();
    m_log.reset();
    Guard::setDefaultHandling(nullptr);
}

void StationWindow::buildHeader()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 8);
    layout->setSpacing(6);

    // The firmware: the file, its first-line check and its digest.
    auto *fileRow = new QHBoxLayout;
    m_firmware = new QLineEdit(this);
    m_firmware->setObjectName(QStringLiteral("firmwareFile"));
    m_firmware->setAccessibleName(QStringLiteral("Firmware file"));
    // The labels' font: Wine draws no text in a box left on Qt's default
    // dialog font.
    m_firmware->setFont(Look::controlFont(10));
    m_chooseFirmware = new QPushButton(QStringLiteral("Choose &file…"), this);
    m_chooseFirmware->setObjectName(QStringLiteral("chooseFirmware"));
    m_firmwareCheck = new QLabel(this);
    m_firmwareCheck->setFont(Look::controlFont(14, true));
    m_firmwareCheck->setMinimumWidth(70);
    m_firmwareCheck->setAlignment(Qt::AlignCenter);
    Look::setBackColour(m_firmwareCheck, Look::LightYellow);
    m_firmwareCheck->setAccessibleDescription(QStringLiteral("File check result"));
    m_digest = new QLabel(this);
    m_digest->setFont(Look::controlFont(10));
    m_digest->setAccessibleDescription(QStringLiteral("Firmware SHA-256"));
    m_digest->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fileRow->addWidget(makeCaption(QStringLiteral("Firmware:"), m_firmware, this));
    fileRow->addWidget(m_firmware, 1);
    fileRow->addWidget(m_chooseFirmware);
    fileRow->addWidget(m_firmwareCheck);
    fileRow->addWidget(m_digest);
    layout->addLayout(fileRow);

    // The ports, the log and the version check.
    auto *portRow = new QHBoxLayout;
    m_ports = new QLineEdit(this);
    m_ports->setObjectName(QStringLiteral("ports"));
    m_ports->setAccessibleName(QStringLiteral("Ports"));
    m_ports->setFont(Look::controlFont(10));
    m_ports->setPlaceholderText(QStringLiteral("1-4, or 1,3, or device paths"));
    m_ports->setToolTip(QStringLiteral("Port numbers 1 to 16, ranges such as 1-4, or device names, separated by "
                                       "commas or spaces: one slot each"));
    m_logPath = new QLineEdit(this);
    m_logPath->setObjectName(QStringLiteral("logFile"));
    m_logPath->setAccessibleName(QStringLiteral("Production log file"));
    m_logPath->setFont(Look::controlFont(10));
    m_logPath->setPlaceholderText(QStringLiteral("none"));
    m_chooseLog = new QPushButton(QStringLiteral("Choose &log…"), this);
    m_chooseLog->setObjectName(QStringLiteral("chooseLog"));
    m_check = new QCheckBox(QStringLiteral("Check the &version"), this);
    m_check->setObjectName(QStringLiteral("checkVersion"));
    m_check->setToolTip(QStringLiteral("Ask each passed device for its version"));
    portRow->addWidget(makeCaption(QStringLiteral("&Ports:"), m_ports, this));
    portRow->addWidget(m_ports, 2);
    portRow->addSpacing(12);
    portRow->addWidget(makeCaption(QStringLiteral("Log:"), m_logPath, this));
    portRow->addWidget(m_logPath, 3);
    portRow->addWidget(m_chooseLog);
    portRow->addSpacing(12);
    portRow->addWidget(m_check);
    layout->addLayout(portRow);

    // The device numbers and the profile, when there are any: shown, never
    // edited here.
    m_plan = new QLabel(this);
    m_plan->setObjectName(QStringLiteral("plan"));
    m_plan->setFont(Look::controlFont(10));
    m_plan->setWordWrap(true);
    m_plan->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_plan->setAccessibleDescription(QStringLiteral("Profile and device numbers"));
    layout->addWidget(m_plan);

    // Start and Stop, the sound, and the station's counts.
    auto *runRow = new QHBoxLayout;
    m_start = new QPushButton(QStringLiteral("&Start"), this);
    m_start->setObjectName(QStringLiteral("start"));
    m_start->setToolTip(QStringLiteral("Start every slot (F5)"));
    m_start->setFont(Look::controlFont(12, true));
    m_start->setMinimumWidth(110);
    m_stop = new QPushButton(QStringLiteral("S&top"), this);
    m_stop->setObjectName(QStringLiteral("stop"));
    m_stop->setToolTip(QStringLiteral("Stop every slot (Shift+F5)"));
    m_stop->setFont(Look::controlFont(12, true));
    m_stop->setMinimumWidth(110);
    m_mute = new QCheckBox(QStringLiteral("&Mute sounds"), this);
    m_mute->setObjectName(QStringLiteral("mute"));
    m_mute->setToolTip(QStringLiteral("A beep for a pass, three for a fail"));
    m_counts = new QLabel(this);
    m_counts->setObjectName(QStringLiteral("counts"));
    m_counts->setFont(Look::controlFont(14, true));
    m_counts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_counts->setAccessibleDescription(QStringLiteral("Station's counts"));
    runRow->addWidget(m_start);
    runRow->addWidget(m_stop);
    runRow->addSpacing(12);
    runRow->addWidget(m_mute);
    runRow->addWidget(m_counts, 1);
    layout->addLayout(runRow);

    m_fileWarning = new QLabel(this);
    m_fileWarning->setObjectName(QStringLiteral("fileWarning"));
    m_fileWarning->setFont(Look::controlFont(11, true));
    m_fileWarning->setWordWrap(true);
    m_fileWarning->setContentsMargins(6, 3, 6, 3);
    Look::setBackColour(m_fileWarning, WarningBack);
    Look::setTextColour(m_fileWarning, Qt::white);
    m_fileWarning->setAccessibleDescription(QStringLiteral("Firmware file warning"));
    m_fileWarning->hide();
    layout->addWidget(m_fileWarning);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setFont(Look::controlFont(10, true));
    m_message->setWordWrap(true);
    m_message->setAccessibleDescription(QStringLiteral("Station message"));
    m_message->hide();
    layout->addWidget(m_message);

    m_scroll = new QScrollArea(this);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setAccessibleName(QStringLiteral("Slots"));
    m_grid = new QWidget(m_scroll);
    m_gridLayout = new QGridLayout(m_grid);
    m_gridLayout->setContentsMargins(0, 0, 0, 0);
    m_gridLayout->setSpacing(6);
    m_scroll->setWidget(m_grid);
    layout->addWidget(m_scroll, 1);

    connect(m_chooseFirmware, &QPushButton::clicked, this, [this] { guard([this] { chooseFirmware(); }); });
    connect(m_firmware, &QLineEdit::editingFinished, this,
            [this] { guard([this] { inspectFirmware(m_firmware->text()); }); });
    connect(m_chooseLog, &QPushButton::clicked, this, [this] { guard([this] { chooseLog(); }); });
    connect(m_start, &QPushButton::clicked, this, [this] { guard([this] { startStation(); }); });
    connect(m_stop, &QPushButton::clicked, this, [this] { guard([this] { stopStation(); }); });
    connect(m_mute, &QCheckBox::toggled, this, [this](bool muted) { m_sound.setMuted(muted); });
    auto *startKey = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(startKey, &QShortcut::activated, this, [this] {
        if (m_start->isEnabled())
            m_start->click();
    });
    auto *stopKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5), this);
    connect(stopKey, &QShortcut::activated, this, [this] {
        if (m_stop->isEnabled())
            m_stop->click();
    });
}

bool StationWindow::running() const
{
    return m_station && m_station->running();
}

QString StationWindow::message() const
{
    return m_message->isHidden() ? QString() : m_message->text();
}

bool StationWindow::startStation()
{
    if (running() || m_stopping)
        return false;
    showMessage(QString(), false);
    if (m_firmware->text().trimmed().isEmpty()) {
        showMessage(QStringLiteral("Choose the firmware file first."), true);
        return false;
    }
    if (m_ports->text().trimmed().isEmpty()) {
        showMessage(QStringLiteral("Type the ports first: numbers such as 1-4 or 1,3, or device names."), true);
        return false;
    }
    std::variant<QList<StationPort>, QString> ports = m_setup.readPorts(m_ports->text());
    if (const QString *why = std::get_if<QString>(&ports)) {
        showMessage(QStringLiteral("Cannot start: %1").arg(*why), true);
        return false;
    }
    StationPlan plan;
    plan.firmwarePath = m_firmware->text().trimmed();
    plan.firmwareSha256 = m_setup.firmwareSha256;
    plan.logPath = m_logPath->text().trimmed();
    plan.check = m_check->isChecked();
    plan.numbers = m_setup.numbers;
    std::variant<StationInputs, QString> read = m_setup.readInputs(plan);
    if (const QString *why = std::get_if<QString>(&read)) {
        inspectFirmware(m_firmware->text().trimmed());
        showMessage(QStringLiteral("Cannot start: %1").arg(*why), true);
        return false;
    }
    StationInputs &inputs = std::get<StationInputs>(read);

    // The last run's station (stopped) goes, then its log: the station writes
    // to the log until it is gone.
    m_station.reset();
    m_log = std::move(inputs.log);
    m_fileWarning->hide();
    const QList<StationPort> &slotPorts = std::get<QList<StationPort>>(ports);
    m_station = std::make_unique<Station>(slotPorts, inputs.firmware, m_check->isChecked(), m_log.get());
    m_station->setNumbers(inputs.numbers);
    Station *station = m_station.get();
    connect(station, &Station::slotChanged, this, [this, station](int index) {
        if (index < m_tiles.size())
            m_tiles.at(index)->display(station->slotViews().at(index), station->checksVersion());
    });
    connect(station, &Station::verdict, this, &StationWindow::onVerdict);
    connect(station, &Station::countsChanged, this, &StationWindow::showCounts);
    connect(station, &Station::fileChangedOnDisk, this, &StationWindow::onFileChanged);
    connect(station, &Station::stopped, this, [this] { setRunning(false); });

    m_firmwareCheck->setText(QStringLiteral("Pass!"));
    Look::setTextColour(m_firmwareCheck, Look::Green);
    showDigest(inputs.firmware.sha256);
    layOutTiles(int(slotPorts.size()));
    for (int index = 0; index < m_tiles.size(); ++index)
        m_tiles.at(index)->display(station->slotViews().at(index), station->checksVersion());
    showCounts();
    showPlan();
    if (!inputs.notice.isEmpty())
        showMessage(inputs.notice, false);
    station->start();
    setRunning(true);
    return true;
}

void StationWindow::stopStation()
{
    if (!m_station || m_stopping)
        return;
    // Stopping waits for every slot to close its port, with the events going:
    // a second Stop or a close meanwhile must not stop it again.
    m_stopping = true;
    m_station->stop();
    m_stopping = false;
    setRunning(false);
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    stopStation();
    event->accept();
}

void StationWindow::chooseFirmware()
{
    const QString path = Dialogs::chooseFileToOpen(this, QStringLiteral("Firmware (*.txt *.hex);;All files (*)"));
    if (path.isEmpty())
        return;
    m_firmware->setText(path);
    inspectFirmware(path);
}

void StationWindow::chooseLog()
{
    // The log is appended to: a file that exists is the one to go on with.
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Production log"), m_logPath->text(),
                                                      QStringLiteral("CSV files (*.csv);;All files (*)"), nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        m_logPath->setText(path);
}

void StationWindow::inspectFirmware(const QString &path)
{
    if (path.trimmed().isEmpty()) {
        m_firmwareCheck->clear();
        showDigest({});
        return;
    }
    QString reason;
    const std::optional<QByteArray> bytes = FirmwareFile::readBytes(path.trimmed(), &reason);
    const bool passed = bytes && FirmwareFile::parse(*bytes).passed;
    m_firmwareCheck->setText(passed ? QStringLiteral("Pass!") : QStringLiteral("Fail"));
    Look::setTextColour(m_firmwareCheck, passed ? Look::Green : Look::Red);
    m_firmwareCheck->setToolTip(bytes ? (passed ? QStringLiteral("The first line is a firmware marker line")
                                                : QStringLiteral("The first line is not a firmware marker line"))
                                      : reason);
    showDigest(bytes ? QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256).toHex() : QByteArray());
}

void StationWindow::showDigest(const QByteArray &sha256)
{
    if (sha256.isEmpty()) {
        m_digest->setText(QStringLiteral("SHA-256 -"));
        m_digest->setToolTip(QString());
        m_digest->setAccessibleName(QString());
        return;
    }
    const QString full = QString::fromLatin1(sha256);
    m_digest->setText(QStringLiteral("SHA-256 %1…").arg(full.left(ShortDigest)));
    m_digest->setToolTip(QStringLiteral("SHA-256 %1").arg(full));
    m_digest->setAccessibleName(QStringLiteral("SHA-256 %1").arg(full));
}

void StationWindow::showMessage(const QString &text, bool trouble)
{
    m_message->setText(text);
    Look::setTextColour(m_message, trouble ? Look::Red.darker(130) : palette().color(QPalette::WindowText));
    m_message->setVisible(!text.isEmpty());
}

void StationWindow::showPlan()
{
    QStringList lines;
    if (!m_setup.profilePath.isEmpty())
        lines << QStringLiteral("Profile: %1 (its firmware must have SHA-256 %2)")
                     .arg(QDir::toNativeSeparators(m_setup.profilePath), QString::fromLatin1(m_setup.firmwareSha256));
    if (m_setup.numbers) {
        const NumberPlan &numbers = *m_setup.numbers;
        const QString source = numbers.counter.isEmpty()
                                   ? QStringLiteral("list %1").arg(QDir::toNativeSeparators(numbers.listPath))
                                   : QStringLiteral("counter %1").arg(numbers.counter);
        lines << QStringLiteral("Device numbers: %1 at %2, from the %3").arg(numbers.form, numbers.address, source);
    }
    if (m_station && m_station->numbers())
        lines << QStringLiteral("Numbers: %1").arg(m_station->numbers()->nextInWords());
    m_plan->setText(lines.join(u'\n'));
    m_plan->setVisible(!lines.isEmpty());
}

void StationWindow::setRunning(bool running)
{
    const bool startHadFocus = m_start->hasFocus();
    const bool stopHadFocus = m_stop->hasFocus();
    // The boxes stay legible (and readable by a screen reader) while they
    // cannot be changed; the buttons that would change them are off.
    // A profile's station is the profile's: only Start and Stop are the
    // operator's.
    const bool fixed = running || !m_setup.profilePath.isEmpty();
    for (QLineEdit *box : {m_firmware, m_ports, m_logPath})
        box->setReadOnly(fixed);
    for (QWidget *picker : {static_cast<QWidget *>(m_chooseFirmware), static_cast<QWidget *>(m_chooseLog),
                            static_cast<QWidget *>(m_check)}) {
        picker->setEnabled(!fixed);
    }
    m_start->setEnabled(!running);
    m_stop->setEnabled(running);
    // The keyboard stays on the button that can be pressed next.
    if (running && startHadFocus)
        m_stop->setFocus();
    else if (!running && stopHadFocus)
        m_start->setFocus();
}

void StationWindow::layOutTiles(int count)
{
    for (SlotTile *tile : std::as_const(m_tiles))
        delete tile;
    m_tiles.clear();
    while (QLayoutItem *item = m_gridLayout->takeAt(0))
        delete item;
    const int columns = std::clamp(count, 1, TileColumns);
    QWidget *previous = m_mute;
    for (int index = 0; index < count; ++index) {
        auto *tile = new SlotTile(m_grid);
        tile->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        m_gridLayout->addWidget(tile, index / columns, index % columns);
        setTabOrder(previous, tile);
        previous = tile;
        m_tiles.append(tile);
    }
    // Few tiles keep their height at the top; the room below stays empty.
    m_gridLayout->setRowStretch((count + columns - 1) / columns, 1);
    for (int column = 0; column < columns; ++column)
        m_gridLayout->setColumnStretch(column, 1);
}

void StationWindow::showCounts()
{
    const StationCounts counts = m_station ? m_station->counts() : StationCounts();
    const double yield = counts.yieldPercent();
    QString text = QStringLiteral("Passed %1    Failed %2    Yield %3")
                       .arg(counts.passed)
                       .arg(counts.failed())
                       .arg(yield < 0 ? QStringLiteral("-") : QStringLiteral("%1 %").arg(yield, 0, 'f', 1));
    if (counts.portLost > 0)
        text += QStringLiteral("    Port lost %1").arg(counts.portLost);
    if (counts.logLinesLost > 0)
        text += QStringLiteral("    NOT LOGGED %1").arg(counts.logLinesLost);
    m_counts->setText(text);
    m_counts->setToolTip(counts.summary());
}

void StationWindow::onVerdict(int index)
{
    const SlotView &view = m_station->slotViews().at(index);
    if (!view.last)
        return;
    const VerdictKind kind = verdictKindOf(*view.last);
    // A stop is the operator's own doing, not a device's verdict.
    if (kind != VerdictKind::Interrupted)
        m_sound.play(kind == VerdictKind::Pass);
    if (!view.lastLogError.isEmpty()) {
        showMessage(QStringLiteral("Slot %1: %2, but its line could not be written to the production log: %3")
                        .arg(SlotTile::portWords(view.port), verdictWords(kind, view.last->reply), view.lastLogError),
                    true);
    }
}

void StationWindow::onFileChanged()
{
    m_fileWarning->setText(QStringLiteral("WARNING: the firmware file on disk has changed since the start. The "
                                          "station still sends the image it read then (%1). Stop and Start again "
                                          "to send the new file.")
                               .arg(m_digest->text()));
    m_fileWarning->show();
}
