#include "cli/StationDisplay.h"

#include "cli/FlashDisplay.h"
#include "cli/Terminal.h"
#include "station/Station.h"
#include "station/StationNumbers.h"

#include <QStringList>
#include <QTime>

namespace {

constexpr int RedrawIntervalMs = 100;
constexpr int BarWidth = 20;

QString stateWords(const SlotView &view)
{
    switch (view.state) {
    case SlotLoop::State::Idle:
        return QStringLiteral("starting");
    case SlotLoop::State::WaitingForPort:
        return view.detail.isEmpty() ? QStringLiteral("waiting for the port")
                                     : QStringLiteral("waiting for the port: %1").arg(view.detail);
    case SlotLoop::State::WaitingForDevice:
        return QStringLiteral("waiting for a device");
    case SlotLoop::State::Flashing:
        if (view.step == DeviceLink::Step::SendingImage && view.total > 0) {
            const int filled = int(view.sent * BarWidth / view.total);
            return QStringLiteral("sending [%1%2] %3%")
                .arg(QString(filled, u'#'), QString(BarWidth - filled, u'.'))
                .arg(view.sent * 100 / view.total, 3);
        }
        if (view.step == DeviceLink::Step::AwaitingVerdict)
            return QStringLiteral("awaiting the verdict");
        if (view.step == DeviceLink::Step::VersionNoAnswer || view.step == DeviceLink::Step::VersionAnswered)
            return QStringLiteral("asking the version");
        return QStringLiteral("found at %1 baud").arg(view.detail);
    case SlotLoop::State::ShowingVerdict:
        return QStringLiteral("remove the device");
    case SlotLoop::State::Stopped:
        return QStringLiteral("stopped");
    }
    return {};
}

QString lastVerdict(const SlotView &view)
{
    if (!view.last)
        return {};
    QString text = verdictWords(verdictKindOf(*view.last), view.last->reply);
    if (!view.last->number.isEmpty())
        text += QStringLiteral(" #%1").arg(serialOfAttempt(*view.last));
    if (view.last->version)
        text += QStringLiteral(" v%1").arg(*view.last->version);
    if (!view.lastLogError.isEmpty())
        text += QStringLiteral(" (NOT LOGGED)");
    return text;
}

QString countsWords(const StationCounts &counts)
{
    return QStringLiteral("%1 pass / %2 fail").arg(counts.passed).arg(counts.failed())
           + (counts.portLost > 0 ? QStringLiteral(" / %1 lost").arg(counts.portLost) : QString());
}

} // namespace

StationDisplay::StationDisplay(const Station &station, bool live, std::FILE *out, QObject *parent)
    : QObject(parent)
    , m_station(station)
    , m_live(live)
    , m_out(out)
{
    for (const SlotView &view : station.slotViews())
        m_labelWidth = std::max<int>(m_labelWidth, int(FlashDisplay::shownPath(view.port.label).size()));

    if (m_live) {
        connect(&station, &Station::slotChanged, this, [this] { m_dirty = true; });
        connect(&station, &Station::countsChanged, this, [this] { m_dirty = true; });
        connect(&station, &Station::fileChangedOnDisk, this, [this] { m_dirty = true; });
        m_redraw.setInterval(RedrawIntervalMs);
        connect(&m_redraw, &QTimer::timeout, this, [this] {
            if (m_dirty)
                redraw();
        });
        m_redraw.start();
        redraw();
        return;
    }
    for (const QString &line : headerLines(station))
        plainEvent(line);
    connect(&station, &Station::deviceFound, this, [this](int index, const QString &rate) {
        plain(index, QStringLiteral("device found at %1 baud").arg(rate));
    });
    connect(&station, &Station::verdict, this, [this](int index) {
        const SlotView &view = m_station.slotViews().at(index);
        QString text = QStringLiteral("%1, %2 bytes sent, %3 s")
                           .arg(lastVerdict(view))
                           .arg(view.last->bytesSent)
                           .arg(double(view.last->durationMs) / 1000.0, 0, 'f', 1);
        if (!view.last->detail.isEmpty())
            text += QStringLiteral(" (%1)").arg(view.last->detail);
        if (view.lastFromChangedFile)
            text += QStringLiteral("; the firmware file on disk has changed since the start: still sending the "
                                   "image read then");
        if (!view.lastLogError.isEmpty())
            text += QStringLiteral("; its line could not be written to the production log: %1").arg(view.lastLogError);
        plain(index, text);
    });
    connect(&station, &Station::deviceGone, this, [this](int index, bool portGone) {
        plain(index, portGone ? QStringLiteral("device gone (its port went with it)") : QStringLiteral("device gone"));
    });
    connect(&station, &Station::portTrouble, this,
            [this](int index, const QString &why) { plain(index, QStringLiteral("port gone: %1").arg(why)); });
    connect(&station, &Station::portBack, this, [this](int index) { plain(index, QStringLiteral("port back")); });
    connect(&station, &Station::fileChangedOnDisk, this, [this] {
        plainEvent(QStringLiteral("the firmware file on disk has changed since the start: still sending the image "
                                  "read then; restart the station to send the new one"));
    });
}

void StationDisplay::stop()
{
    if (m_live) {
        m_redraw.stop();
        redraw();
    }
}

QStringList StationDisplay::headerLines(const Station &station)
{
    const StationFirmware &firmware = station.firmware();
    QStringList lines{QStringLiteral("firmware %1").arg(FlashDisplay::shownPath(firmware.path)),
                      QStringLiteral("sha256 %1").arg(QString::fromLatin1(firmware.sha256))};
    if (StationNumbers *numbers = station.numbers())
        lines << QStringLiteral("numbers %1").arg(numbers->description());
    if (station.fileChanged())
        lines << QStringLiteral("!! the file on disk has changed since the start: still sending the image read "
                                "then; restart to send the new one");
    return lines;
}

QString StationDisplay::slotLine(const Station &station, int index, int labelWidth)
{
    const SlotView &view = station.slotViews().at(index);
    QString text = QStringLiteral("slot %1  %2")
                       .arg(FlashDisplay::shownPath(view.port.label), -labelWidth)
                       .arg(stateWords(view), -36);
    const QString verdict = lastVerdict(view);
    text += QStringLiteral("  %1  %2").arg(verdict.isEmpty() ? QStringLiteral("-") : verdict, -24).arg(countsWords(view.counts));
    return text;
}

void StationDisplay::redraw()
{
    const int columns = terminalColumns(m_out);
    QStringList lines = headerLines(m_station);
    lines << QStringLiteral("station: %1").arg(m_station.counts().summary());
    for (int i = 0; i < m_station.slotViews().size(); ++i)
        lines << slotLine(m_station, i, m_labelWidth);
    QByteArray out;
    // Back to the first line; each line is cut to the terminal's width so
    // none wraps and the count of lines to go back stays right.
    if (m_drawnLines > 0)
        out += "\x1b[" + QByteArray::number(m_drawnLines) + "A";
    for (const QString &line : std::as_const(lines))
        out += "\r\x1b[2K" + line.left(columns - 1).toUtf8() + "\n";
    std::fwrite(out.constData(), 1, size_t(out.size()), m_out);
    std::fflush(m_out);
    m_drawnLines = int(lines.size());
    m_dirty = false;
}

void StationDisplay::plain(int index, const QString &text)
{
    const SlotView &view = m_station.slotViews().at(index);
    plainEvent(QStringLiteral("slot %1: %2").arg(FlashDisplay::shownPath(view.port.label), text));
}

void StationDisplay::plainEvent(const QString &text)
{
    std::fprintf(m_out, "%s %s\n", qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))),
                 qPrintable(text));
    std::fflush(m_out);
}

QString StationDisplay::summary(const Station &station)
{
    QString text;
    int labelWidth = 0;
    for (const SlotView &view : station.slotViews())
        labelWidth = std::max<int>(labelWidth, int(FlashDisplay::shownPath(view.port.label).size()));
    for (const SlotView &view : station.slotViews()) {
        text += QStringLiteral("slot %1  %2")
                    .arg(FlashDisplay::shownPath(view.port.label), -labelWidth)
                    .arg(view.counts.summary());
        if (!view.lastNumberUsed.isEmpty())
            text += QStringLiteral("; last number %1").arg(view.lastNumberUsed);
        text += u'\n';
    }
    text += QStringLiteral("station: %1\n").arg(station.counts().summary());
    if (StationNumbers *numbers = station.numbers())
        text += QStringLiteral("numbers: %1 (%2)\n").arg(numbers->nextInWords(), numbers->statePath());
    return text;
}
