#include "sim/FixtureSchedule.h"

#include <QSet>

#include <cmath>

namespace {

const QList<int> deviceRates = {9600, 19200, 38400, 57600, 115200};
// Longer than any fixture is meant to hold a device or stand empty; it also
// keeps the milliseconds far from overflowing.
constexpr qint64 longestSeconds = 86400;
constexpr int longestLatencyMs = 60000;
constexpr int mostRepeats = 1000000;
const QByteArray verdictPrefix = QByteArrayLiteral("verdict+");
const QByteArray textPrefix = QByteArrayLiteral("text:");

std::optional<int> wholeNumber(QByteArrayView text, int lowest, int highest)
{
    if (text.isEmpty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < lowest || value > highest)
        return std::nullopt;
    return value;
}

// Digits with an optional fraction ("2", "0.5"); nothing else, so "1e3",
// "-1" and "nan" are refused rather than read as something unexpected.
std::optional<std::chrono::milliseconds> seconds(QByteArrayView text)
{
    const qsizetype point = text.indexOf('.');
    const QByteArrayView whole = point < 0 ? text : text.first(point);
    const QByteArrayView fraction = point < 0 ? QByteArrayView() : text.sliced(point + 1);
    if (whole.isEmpty() || (point >= 0 && fraction.isEmpty()))
        return std::nullopt;
    for (const QByteArrayView part : {whole, fraction}) {
        for (const char c : part) {
            if (c < '0' || c > '9')
                return std::nullopt;
        }
    }
    bool ok = false;
    const double value = text.toByteArray().toDouble(&ok);
    if (!ok || value > double(longestSeconds))
        return std::nullopt;
    return std::chrono::milliseconds(std::llround(value * 1000));
}

QString secondsText(std::chrono::milliseconds ms)
{
    return QString::number(double(ms.count()) / 1000, 'g', 12);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<QByteArray> unescaped(QByteArrayView text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.append(text[i]);
            continue;
        }
        if (i + 1 >= text.size())
            return std::nullopt;
        const char kind = text[++i];
        if (kind == 'r') {
            bytes.append('\r');
        } else if (kind == 'n') {
            bytes.append('\n');
        } else if (kind == '\\') {
            bytes.append('\\');
        } else if (kind == 'x' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            bytes.append(char(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2])));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

// Every byte the text form could misread (blanks, '#', control bytes, bytes
// above 127) as \xNN.
QString escaped(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if (byte == '\\')
            text += QStringLiteral("\\\\");
        else if (value > 0x20 && value < 0x7f && byte != '#')
            text += QLatin1Char(byte);
        else
            text += QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0'));
    }
    return text;
}

// Reads one visit's words; the reason in words when they are not one.
std::optional<FixtureVisit> readVisit(const QList<QByteArray> &words, QString &reason)
{
    FixtureVisit visit;
    QSet<QByteArray> seen;
    for (const QByteArray &word : words) {
        const qsizetype equals = word.indexOf('=');
        const QByteArray key = equals < 0 ? word : word.first(equals);
        const QByteArray value = equals < 0 ? QByteArray() : word.sliced(equals + 1);
        const QString name = QString::fromUtf8(key);
        const QString shown = QString::fromUtf8(value);
        if (seen.contains(key)) {
            reason = QStringLiteral("'%1' given twice").arg(name);
            return std::nullopt;
        }
        seen.insert(key);

        if (key == "usb" || key == "pull") {
            if (equals >= 0) {
                reason = QStringLiteral("'%1' is a bare word and takes no value").arg(name);
                return std::nullopt;
            }
            (key == "usb" ? visit.usb : visit.pull) = true;
            continue;
        }
        if (equals < 0) {
            reason = QStringLiteral("unknown word '%1'").arg(name);
            return std::nullopt;
        }
        if (key == "rate") {
            const std::optional<int> rate = wholeNumber(value, 1, 115200);
            if (!rate || !deviceRates.contains(*rate)) {
                reason = QStringLiteral("rate must be one of 9600, 19200, 38400, 57600, 115200, not '%1'").arg(shown);
                return std::nullopt;
            }
            visit.rate = *rate;
        } else if (key == "version") {
            const std::optional<int> version = wholeNumber(value, 0, 255);
            if (!version) {
                reason = QStringLiteral("version must be a number from 0 to 255, not '%1'").arg(shown);
                return std::nullopt;
            }
            visit.version = std::uint8_t(*version);
        } else if (key == "latency") {
            const std::optional<int> latency = wholeNumber(value, 0, longestLatencyMs);
            if (!latency) {
                reason = QStringLiteral("latency must be milliseconds from 0 to %1, not '%2'")
                             .arg(longestLatencyMs)
                             .arg(shown);
                return std::nullopt;
            }
            visit.latencyMs = *latency;
        } else if (key == "reply") {
            if (value == "check") {
                visit.reply = FixtureVisit::Reply::Check;
            } else if (value == "refuse") {
                visit.reply = FixtureVisit::Reply::Refuse;
            } else if (value == "silent") {
                visit.reply = FixtureVisit::Reply::Silent;
            } else if (value.startsWith(textPrefix)) {
                const std::optional<QByteArray> text = unescaped(QByteArrayView(value).sliced(textPrefix.size()));
                if (!text || text->isEmpty()) {
                    reason = QStringLiteral("reply=text: needs a text, with \\xNN, \\r, \\n or \\\\ for "
                                            "other bytes, not '%1'")
                                 .arg(shown);
                    return std::nullopt;
                }
                visit.reply = FixtureVisit::Reply::Text;
                visit.replyText = *text;
            } else {
                reason = QStringLiteral("reply must be check, refuse, silent or text:..., not '%1'").arg(shown);
                return std::nullopt;
            }
        } else if (key == "after") {
            if (value == "keep") {
                visit.after = FixtureVisit::After::Keep;
            } else if (value == "reset") {
                visit.after = FixtureVisit::After::Reset;
            } else {
                reason = QStringLiteral("after must be keep or reset, not '%1'").arg(shown);
                return std::nullopt;
            }
        } else if (key == "stay") {
            const bool fromVerdict = value.startsWith(verdictPrefix);
            const std::optional<std::chrono::milliseconds> stay =
                seconds(fromVerdict ? QByteArrayView(value).sliced(verdictPrefix.size()) : QByteArrayView(value));
            if (!stay || (!fromVerdict && stay->count() <= 0)) {
                reason = QStringLiteral("stay must be seconds (more than 0) or verdict+seconds, not '%1'").arg(shown);
                return std::nullopt;
            }
            visit.stayFromVerdict = fromVerdict;
            visit.stay = *stay;
        } else if (key == "patience") {
            const std::optional<std::chrono::milliseconds> patience = seconds(value);
            if (!patience || patience->count() <= 0) {
                reason = QStringLiteral("patience must be seconds (more than 0), not '%1'").arg(shown);
                return std::nullopt;
            }
            visit.patience = *patience;
        } else if (key == "gap") {
            const std::optional<std::chrono::milliseconds> gap = seconds(value);
            if (!gap) {
                reason = QStringLiteral("gap must be seconds, not '%1'").arg(shown);
                return std::nullopt;
            }
            visit.gap = *gap;
        } else {
            reason = QStringLiteral("unknown key '%1'").arg(name);
            return std::nullopt;
        }
    }
    return visit;
}

} // namespace

QString FixtureVisit::text() const
{
    QString replyWord;
    switch (reply) {
    case Reply::Check:
        replyWord = QStringLiteral("check");
        break;
    case Reply::Refuse:
        replyWord = QStringLiteral("refuse");
        break;
    case Reply::Silent:
        replyWord = QStringLiteral("silent");
        break;
    case Reply::Text:
        replyWord = QStringLiteral("text:") + escaped(replyText);
        break;
    }
    QString words = QStringLiteral("rate=%1 version=%2 latency=%3 reply=%4 after=%5 stay=%6%7 patience=%8 gap=%9")
                        .arg(rate)
                        .arg(int(version))
                        .arg(latencyMs)
                        .arg(replyWord, after == After::Keep ? QStringLiteral("keep") : QStringLiteral("reset"),
                             stayFromVerdict ? QStringLiteral("verdict+") : QString(), secondsText(stay),
                             secondsText(patience), secondsText(gap));
    if (usb)
        words += QStringLiteral(" usb");
    if (pull)
        words += QStringLiteral(" pull");
    return words;
}

std::optional<FixtureSchedule> FixtureSchedule::parse(QByteArrayView text, QString *error)
{
    FixtureSchedule schedule;
    int repeatLine = 0;
    const auto fail = [error](int line, const QString &reason) -> std::optional<FixtureSchedule> {
        if (error)
            *error = line > 0 ? QStringLiteral("line %1: %2").arg(line).arg(reason) : reason;
        return std::nullopt;
    };

    int lineNumber = 0;
    for (QByteArrayView line : QByteArray(text.data(), text.size()).split('\n')) {
        ++lineNumber;
        const qsizetype comment = line.indexOf('#');
        if (comment >= 0)
            line = line.first(comment);
        const QList<QByteArray> words = line.toByteArray().simplified().split(' ');
        if (words.size() == 1 && words.first().isEmpty())
            continue;

        if (words.first().startsWith("repeat=")) {
            if (words.size() > 1)
                return fail(lineNumber, QStringLiteral("repeat=N stands on a line of its own"));
            if (repeatLine > 0)
                return fail(lineNumber, QStringLiteral("repeat given twice (first on line %1)").arg(repeatLine));
            const std::optional<int> repeat = wholeNumber(words.first().sliced(7), 1, mostRepeats);
            if (!repeat)
                return fail(lineNumber, QStringLiteral("repeat must be a whole number from 1 to %1, not '%2'")
                                            .arg(mostRepeats)
                                            .arg(QString::fromUtf8(words.first().sliced(7))));
            schedule.repeat = *repeat;
            repeatLine = lineNumber;
            continue;
        }

        QString reason;
        std::optional<FixtureVisit> visit = readVisit(words, reason);
        if (!visit)
            return fail(lineNumber, reason);
        visit->line = lineNumber;
        schedule.visits.append(*visit);
    }
    if (schedule.visits.isEmpty())
        return fail(0, QStringLiteral("the schedule has no visit"));
    return schedule;
}
