#include "cli/FlashDisplay.h"

#include "base/PrintableBytes.h"
#include "cli/Terminal.h"

#include <QStringList>

namespace {

constexpr int RedrawIntervalMs = 100;
constexpr int BarWidth = 24;
constexpr qint64 ImageRate = 115200;
constexpr qint64 BitsPerByte = 10;

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 1);
}

} // namespace

FlashDisplay::FlashDisplay(const QList<PortSpec> &ports, bool live, std::FILE *out, QObject *parent)
    : QObject(parent)
    , m_ports(ports)
    , m_lines(ports.size())
    , m_live(live)
    , m_out(out)
{
    for (const PortSpec &port : ports)
        m_labelWidth = std::max<int>(m_labelWidth, int(shownPath(port.label()).size()));
    for (Line &line : m_lines)
        line.state = QStringLiteral("waiting");
    if (m_live) {
        m_redraw.setInterval(RedrawIntervalMs);
        connect(&m_redraw, &QTimer::timeout, this, [this] {
            if (m_dirty)
                redraw();
        });
        m_redraw.start();
        redraw();
    }
}

void FlashDisplay::rateTried(int index, const QString &rate)
{
    m_lines[index].state = QStringLiteral("probing at %1 baud").arg(rate);
    changed(index);
}

void FlashDisplay::stepReached(int index, DeviceLink::Step step, const QString &devicePath, const QString &rate)
{
    Line &line = m_lines[index];
    line.devicePath = devicePath;
    line.rate = rate;
    switch (step) {
    case DeviceLink::Step::SendingCommands:
        line.state = QStringLiteral("sending the commands");
        plain(index, QStringLiteral("answered at %1 baud, sending the commands").arg(rate));
        break;
    case DeviceLink::Step::SendingImage:
        line.state = QStringLiteral("sending the image");
        line.sent = 0;
        plain(index, line.state);
        break;
    case DeviceLink::Step::AwaitingVerdict:
        line.state = QStringLiteral("image sent, awaiting the verdict");
        line.sent = -1;
        plain(index, line.state);
        break;
    case DeviceLink::Step::VersionNoAnswer:
    case DeviceLink::Step::VersionAnswered:
        break;
    }
    changed(index);
}

void FlashDisplay::imageProgress(int index, qint64 sent, qint64 total)
{
    Line &line = m_lines[index];
    line.sent = sent;
    line.total = total;
    changed(index);
}

void FlashDisplay::finished(int index, const PortResult &result)
{
    Line &line = m_lines[index];
    line.done = true;
    line.sent = -1;
    line.devicePath = result.devicePath;
    line.rate = result.rate;
    line.state = QStringLiteral("%1 (%2 s)").arg(outcomeWord(result.outcome), seconds(result.durationMs));
    if (result.version)
        line.state += QStringLiteral(", version %1").arg(*result.version);
    plain(index, line.state);
    changed(index);
}

void FlashDisplay::stop()
{
    if (m_live) {
        m_redraw.stop();
        redraw();
    }
}

QString FlashDisplay::render(const Line &line, int index) const
{
    QString text = QStringLiteral("port %1  ").arg(shownPath(m_ports.at(index).label()), -m_labelWidth);
    if (!line.devicePath.isEmpty() && line.devicePath != m_ports.at(index).path)
        text += shownPath(line.devicePath) + QStringLiteral("  ");
    if (!line.rate.isEmpty())
        text += QStringLiteral("%1 baud  ").arg(line.rate);
    if (line.sent >= 0 && line.total > 0) {
        const int filled = int(line.sent * BarWidth / line.total);
        const qint64 secondsLeft = ((line.total - line.sent) * BitsPerByte + ImageRate - 1) / ImageRate;
        text += QStringLiteral("[%1%2] %3%  %4 s left")
                    .arg(QString(filled, u'#'), QString(BarWidth - filled, u'.'))
                    .arg(line.sent * 100 / line.total, 3)
                    .arg(secondsLeft);
    } else {
        text += line.state;
    }
    return text;
}

void FlashDisplay::changed(int)
{
    m_dirty = true;
}

void FlashDisplay::redraw()
{
    const int columns = terminalColumns(m_out);
    QByteArray out;
    // Back to the first port's line; each line is cut to the terminal's width
    // so none wraps and the count of lines to go back stays right.
    if (m_drawn)
        out += "\x1b[" + QByteArray::number(m_lines.size()) + "A";
    for (int i = 0; i < m_lines.size(); ++i)
        out += "\r\x1b[2K" + render(m_lines.at(i), i).left(columns - 1).toUtf8() + "\n";
    std::fwrite(out.constData(), 1, size_t(out.size()), m_out);
    std::fflush(m_out);
    m_drawn = true;
    m_dirty = false;
}

void FlashDisplay::plain(int index, const QString &text)
{
    if (m_live)
        return;
    const Line &line = m_lines.at(index);
    QString where = shownPath(m_ports.at(index).label());
    if (!line.devicePath.isEmpty() && line.devicePath != m_ports.at(index).path)
        where += QStringLiteral(" (%1)").arg(shownPath(line.devicePath));
    std::fprintf(m_out, "port %s: %s\n", qPrintable(where), qPrintable(text));
    std::fflush(m_out);
}

QString FlashDisplay::summary(const QList<PortResult> &results)
{
    const QStringList header = {QStringLiteral("port"),    QStringLiteral("device"), QStringLiteral("rate"),
                                QStringLiteral("result"),  QStringLiteral("status"), QStringLiteral("reply"),
                                QStringLiteral("version"), QStringLiteral("seconds")};
    QList<QStringList> rows{header};
    QStringList notes;
    for (const PortResult &result : results) {
        const bool showReply = result.reply != "OK!";
        QString version = QStringLiteral("-");
        if (result.version)
            version = QString::number(*result.version);
        else if (result.versionInterrupted)
            version = QStringLiteral("interrupted");
        else if (result.versionAsked && result.outcome == PortOutcome::Passed)
            version = QStringLiteral("no answer");
        // A port whose line is missing from the production log is marked
        // in its row, whatever else it has to say.
        QString resultWord = outcomeWord(result.outcome);
        if (!result.logError.isEmpty())
            resultWord += u'*';
        const QString label = shownPath(result.port.label());
        rows.append({label, result.devicePath.isEmpty() ? QStringLiteral("-") : shownPath(result.devicePath),
                     result.rate.isEmpty() ? QStringLiteral("-") : result.rate, resultWord,
                     QString::number(exitStatusOf(result)),
                     showReply && !result.reply.isEmpty() ? QString::fromLatin1(printableBytes(result.reply))
                                                          : QStringLiteral("-"),
                     version, seconds(result.durationMs)});
        if (!result.detail.isEmpty())
            notes.append(QStringLiteral("port %1: %2").arg(label, result.detail));
        if (!result.logError.isEmpty()) {
            notes.append(QStringLiteral("port %1: * not in the production log, the line could not be written: %2")
                             .arg(label, result.logError));
        }
    }
    QList<int> widths(header.size(), 0);
    for (const QStringList &row : rows) {
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max<int>(widths[column], int(row.at(column).size()));
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int column = 0; column < row.size(); ++column)
            line += row.at(column).leftJustified(widths.at(column) + 2);
        text += line.trimmed() + u'\n';
    }
    for (const QString &note : notes)
        text += note + u'\n';
    return text;
}

QString FlashDisplay::shownPath(const QString &path)
{
    QString text;
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            text += QString::fromLatin1(printableBytes(QByteArray(1, char(c.unicode()))));
        else if (c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF) // a byte of a name that is no UTF-8
            text += QStringLiteral("\\x%1").arg(c.unicode() - 0xDC00, 2, 16, QLatin1Char('0'));
        else
            text += c;
    }
    return text;
}
