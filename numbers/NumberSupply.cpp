#include "numbers/NumberSupply.h"

#include "base/SystemPath.h"
#include "numbers/StateFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <limits>
#include <map>
#include <set>

// The state file, for a counter:
//
//   # Tarvik Downloader device numbers. Stations keep this file under a lock; edit it only while none runs.
//   source=counter
//   next=1042
//   returned=1037 1039
//
// and for a list:
//
//   # Tarvik Downloader device numbers. ...
//   source=list
//   list-sha256=<SHA-256 of the list file's bytes, lower-case hexadecimal>
//   next-line=17
//   returned=3 9
//
// `next` is the counter's next value in decimal, or "none" once the counter
// has passed the largest 64-bit number. A list is counted in the lines of its
// file as an editor numbers them (1 for the first), blank and '#' lines
// included: `next-line` is the line from which the next value is looked for.
// `returned` holds what was given back (a counter's values, a list's lines),
// smallest first, each taken before any new number; a state without it has
// none. Blank lines and lines starting with '#' are comments.
struct NumberSupply::State
{
    NumberSource::Kind kind = NumberSource::Kind::Counter;
    QByteArray listSha256;
    std::optional<quint64> next; // a counter's next value, or a list's next line
    std::set<quint64> returned;  // a counter's values, or a list's lines
};

namespace {

constexpr char Header[] =
    "# Tarvik Downloader device numbers. Stations keep this file under a lock; edit it only while none runs.\n";

const char *kindWord(NumberSource::Kind kind)
{
    return kind == NumberSource::Kind::Counter ? "counter" : "list";
}

// Only plain decimal digits: the file is written that way, and anything else
// is a hand's edit that is not guessed at.
std::optional<quint64> decimal(const QByteArray &text)
{
    if (text.isEmpty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    bool ok = false;
    const quint64 value = text.toULongLong(&ok, 10);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

QString shown(const QByteArray &line)
{
    const QString text = QString::fromUtf8(line);
    return text.size() > 60 ? text.left(57) + QStringLiteral("...") : text;
}

// The list's first value on `line` or after it; the list is in the order of its lines.
QList<DeviceNumber>::const_iterator valueFrom(const QList<DeviceNumber> &list, quint64 line)
{
    return std::lower_bound(list.begin(), list.end(), line,
                            [](const DeviceNumber &number, quint64 at) { return quint64(number.listLine) < at; });
}

// The value on `line`, or none when the line holds no value.
const DeviceNumber *valueOn(const QList<DeviceNumber> &list, quint64 line)
{
    const auto found = valueFrom(list, line);
    return found != list.end() && quint64(found->listLine) == line ? &*found : nullptr;
}

QString absolute(const QString &path)
{
    return QDir::isAbsolutePath(path) ? path : QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

} // namespace

QString NumberSource::text() const
{
    if (kind == Kind::List)
        return QStringLiteral("list %1").arg(absolute(listPath));
    QString text = QStringLiteral("counter %1 step %2").arg(start).arg(step);
    if (last)
        text += QStringLiteral(" last %1").arg(*last);
    return text;
}

NumberSupply::NumberSupply(NumberSource source, NumberForm form, QString statePath)
    : m_source(std::move(source))
    , m_form(form)
    , m_statePath(std::move(statePath))
{}

NumberSupply::~NumberSupply() = default;

std::unique_ptr<NumberSupply> NumberSupply::open(const NumberSource &source, const NumberForm &form,
                                                 const QString &statePath, QString *refusal)
{
    QString scratch;
    if (!refusal)
        refusal = &scratch;
    std::unique_ptr<NumberSupply> supply(new NumberSupply(source, form, statePath));
    if (!(source.kind == NumberSource::Kind::Counter ? supply->checkCounter(refusal) : supply->readList(refusal)))
        return nullptr;

    StateFile file(statePath);
    QString reason;
    if (!file.lock(&reason)) {
        *refusal = QStringLiteral("the number state cannot be locked: %1").arg(reason);
        return nullptr;
    }
    bool missing = false;
    const std::optional<QByteArray> bytes = file.read(&missing, &reason);
    if (!bytes && !missing) {
        *refusal = QStringLiteral("the number state cannot be read: %1").arg(reason);
        return nullptr;
    }
    // A counter starts at its start only in a new state file: once the file
    // exists, its next value wins, so a station started again with another
    // start can never go back over numbers already handed out.
    const std::optional<State> state = bytes ? supply->parseState(*bytes, refusal) : supply->freshState();
    if (!state)
        return nullptr;
    State after;
    if (!supply->choose(*state, &after)) {
        *refusal = supply->usedUp(*state);
        return nullptr;
    }
    if (missing && !file.replace(supply->stateText(*state), &reason)) {
        *refusal = QStringLiteral("the number state cannot be made: %1").arg(reason);
        return nullptr;
    }
    return supply;
}

bool NumberSupply::checkCounter(QString *refusal) const
{
    const auto notFitting = [this](quint64 value, const char *what) {
        return QStringLiteral("the counter's %1 %2 does not fit the number's form %3 (at most %4)")
            .arg(QLatin1String(what))
            .arg(value)
            .arg(m_form.text())
            .arg(m_form.largest());
    };
    if (m_source.step < 1)
        *refusal = QStringLiteral("the counter's step must be 1 or more");
    else if (!m_form.fits(m_source.start))
        *refusal = notFitting(m_source.start, "start");
    else if (m_source.last && *m_source.last < m_source.start)
        *refusal =
            QStringLiteral("the counter's last value %1 is below its start %2").arg(*m_source.last).arg(m_source.start);
    else if (m_source.last && !m_form.fits(*m_source.last))
        *refusal = notFitting(*m_source.last, "last value");
    else
        return true;
    return false;
}

bool NumberSupply::readList(QString *refusal)
{
    const QString path = m_source.listPath;
    SystemPath name(path);
    QFile file(name.qtName());
    if (!file.open(QIODevice::ReadOnly)) {
        *refusal = QStringLiteral("the list %1 cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *refusal = QStringLiteral("the list %1 cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    m_listSha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();

    QList<QByteArray> lines = bytes.split('\n');
    if (bytes.endsWith('\n'))
        lines.removeLast(); // the end of the last line, not a line of its own
    m_listLines = lines.size();
    QHash<quint64, qint64> lineOf;
    for (qint64 i = 0; i < lines.size(); ++i) {
        const qint64 line = i + 1;
        const QString text = QString::fromUtf8(lines[i]).trimmed();
        if (text.isEmpty() || text.startsWith(u'#'))
            continue;
        QString error;
        const std::optional<quint64> value = NumberForm::parseValue(text, &error);
        if (!value) {
            *refusal = QStringLiteral("the list %1, line %2: %3").arg(path).arg(line).arg(error);
            return false;
        }
        if (!m_form.fits(*value)) {
            *refusal = QStringLiteral("the list %1, line %2: %3 does not fit the number's form %4 (at most %5)")
                           .arg(path)
                           .arg(line)
                           .arg(text, m_form.text())
                           .arg(m_form.largest());
            return false;
        }
        // One value on two lines would go to two devices.
        if (const auto first = lineOf.constFind(*value); first != lineOf.constEnd()) {
            *refusal = QStringLiteral("the list %1 has the number %2 on line %3 and again on line %4; a number may "
                                      "go to one device only")
                           .arg(path, text)
                           .arg(*first)
                           .arg(line);
            return false;
        }
        lineOf.insert(*value, line);
        m_list.append(DeviceNumber{*value, text, line});
    }
    if (m_list.isEmpty()) {
        *refusal = QStringLiteral("the list %1 holds no numbers").arg(path);
        return false;
    }
    return true;
}

NumberSupply::State NumberSupply::freshState() const
{
    State state;
    state.kind = m_source.kind;
    if (m_source.kind == NumberSource::Kind::Counter) {
        state.next = m_source.start;
    } else {
        state.listSha256 = m_listSha256;
        state.next = 1;
    }
    return state;
}

std::optional<NumberSupply::State> NumberSupply::parseState(const QByteArray &bytes, QString *refusal) const
{
    // Whatever is wrong is named with its line, and nothing is guessed: a
    // guessed next number could be one already handed out.
    const auto garbled = [&](qint64 line, const QString &what) {
        const QString where = line > 0 ? QStringLiteral("the number state %1, line %2").arg(m_statePath).arg(line)
                                       : QStringLiteral("the number state %1").arg(m_statePath);
        *refusal =
            QStringLiteral("%1: %2; no number is guessed: put it right by hand while no station runs").arg(where, what);
        return std::nullopt;
    };

    struct Setting
    {
        QByteArray value;
        qint64 line = 0;
    };
    static const QList<QByteArray> keys = {"source", "next", "list-sha256", "next-line", "returned"};
    std::map<QByteArray, Setting> settings;
    const QList<QByteArray> lines = bytes.split('\n');
    for (qint64 i = 0; i < lines.size(); ++i) {
        const QByteArray text = lines[i].trimmed();
        if (text.isEmpty() || text.startsWith('#'))
            continue;
        const qsizetype equals = text.indexOf('=');
        const QByteArray key = text.left(equals).trimmed();
        if (equals < 0 || !keys.contains(key))
            return garbled(i + 1, QStringLiteral("\"%1\" is not one of its settings").arg(shown(text)));
        if (const auto earlier = settings.find(key); earlier != settings.end())
            return garbled(i + 1, QStringLiteral("%1= is set again (first on line %2)")
                                      .arg(QString::fromLatin1(key))
                                      .arg(earlier->second.line));
        settings[key] = Setting{text.mid(equals + 1).trimmed(), i + 1};
    }
    const auto setting = [&settings](const char *key) {
        const auto found = settings.find(key);
        return found == settings.end() ? Setting{} : found->second;
    };

    const Setting source = setting("source");
    if (source.line == 0)
        return garbled(0, QStringLiteral("it has no source= line"));
    State state;
    if (source.value == "counter")
        state.kind = NumberSource::Kind::Counter;
    else if (source.value == "list")
        state.kind = NumberSource::Kind::List;
    else
        return garbled(source.line,
                       QStringLiteral("the source is \"%1\", not counter or list").arg(shown(source.value)));
    if (state.kind != m_source.kind) {
        *refusal = QStringLiteral("the number state %1 keeps the numbers of a %2, not of a %3; give this %3 a state "
                                  "file of its own")
                       .arg(m_statePath, QLatin1String(kindWord(state.kind)), QLatin1String(kindWord(m_source.kind)));
        return std::nullopt;
    }
    const bool counter = state.kind == NumberSource::Kind::Counter;
    static const QList<const char *> counterOnly = {"next"};
    static const QList<const char *> listOnly = {"list-sha256", "next-line"};
    for (const char *key : counter ? listOnly : counterOnly) {
        if (const Setting stray = setting(key); stray.line > 0)
            return garbled(
                stray.line,
                QStringLiteral("a %1 has no %2=").arg(QLatin1String(kindWord(state.kind)), QLatin1String(key)));
    }

    if (!counter) {
        const Setting sha = setting("list-sha256");
        if (sha.line == 0)
            return garbled(0, QStringLiteral("it has no list-sha256= line"));
        const QByteArray digest = sha.value.toLower();
        if (digest.size() != 64 || !std::all_of(digest.begin(), digest.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
            }))
            return garbled(sha.line, QStringLiteral("\"%1\" is not a SHA-256 in hexadecimal").arg(shown(sha.value)));
        // The lines it counts would no longer be the lines handed out.
        if (digest != m_listSha256) {
            *refusal = QStringLiteral("the list %1 changed since numbers were first drawn from it (its SHA-256 is not "
                                      "the one the number state %2 keeps); give it a new state file, and keep in the "
                                      "list only numbers never handed out")
                           .arg(m_source.listPath, m_statePath);
            return std::nullopt;
        }
        state.listSha256 = digest;
    }

    const Setting next = setting(counter ? "next" : "next-line");
    const QString nextKey = counter ? QStringLiteral("next") : QStringLiteral("next-line");
    if (next.line == 0)
        return garbled(0, QStringLiteral("it has no %1= line").arg(nextKey));
    if (!(counter && next.value == "none")) {
        state.next = decimal(next.value);
        if (!state.next)
            return garbled(next.line, QStringLiteral("%1=%2 is not a number").arg(nextKey, shown(next.value)));
        if (!counter && (*state.next < 1 || *state.next > quint64(m_listLines) + 1))
            return garbled(next.line,
                           QStringLiteral("the list %1 has no line %2").arg(m_source.listPath).arg(*state.next));
    }

    // A number given back must be one handed out before, and given back
    // once: anything else would go to a second device.
    const Setting returned = setting("returned");
    for (const QByteArray &word : returned.value.simplified().split(' ')) {
        if (word.isEmpty())
            continue;
        const std::optional<quint64> number = decimal(word);
        if (!number)
            return garbled(returned.line, QStringLiteral("\"%1\" is not a number").arg(shown(word)));
        if (state.next && *number >= *state.next)
            return garbled(
                returned.line,
                QStringLiteral("%1 is given back but was never handed out (%2 is next)").arg(*number).arg(*state.next));
        if (!counter && !valueOn(m_list, *number))
            return garbled(
                returned.line,
                QStringLiteral("line %1 of the list %2 holds no number").arg(*number).arg(m_source.listPath));
        if (!state.returned.insert(*number).second)
            return garbled(returned.line, QStringLiteral("%1 is given back twice").arg(*number));
    }
    return state;
}

QByteArray NumberSupply::stateText(const State &state) const
{
    QByteArray text = Header;
    if (state.kind == NumberSource::Kind::Counter) {
        text += "source=counter\nnext=" + (state.next ? QByteArray::number(*state.next) : QByteArray("none")) + '\n';
    } else {
        text +=
            "source=list\nlist-sha256=" + state.listSha256 + "\nnext-line=" + QByteArray::number(*state.next) + '\n';
    }
    QList<QByteArray> returned;
    for (const quint64 number : state.returned)
        returned.append(QByteArray::number(number));
    text += "returned=" + returned.join(' ') + '\n';
    return text;
}

std::optional<NumberSupply::State> NumberSupply::lockedState(StateFile &file, QString *why) const
{
    QString reason;
    if (!file.lock(&reason)) {
        *why = QStringLiteral("the number state cannot be locked: %1").arg(reason);
        return std::nullopt;
    }
    bool missing = false;
    const std::optional<QByteArray> bytes = file.read(&missing, &reason);
    if (!bytes) {
        // Starting the numbers again could repeat one handed out.
        *why = missing ? QStringLiteral("the number state %1 is gone; no station starts its numbers again by itself: "
                                        "put the file back while no station runs")
                             .arg(m_statePath)
                       : QStringLiteral("the number state cannot be read: %1").arg(reason);
        return std::nullopt;
    }
    return parseState(*bytes, why);
}

std::optional<DeviceNumber> NumberSupply::choose(const State &state, State *after) const
{
    *after = state;
    if (m_source.kind == NumberSource::Kind::List) {
        if (!state.returned.empty()) {
            const quint64 line = *state.returned.begin();
            after->returned.erase(after->returned.begin());
            return *valueOn(m_list, line); // a line that holds a value, as the state was checked
        }
        const auto found = valueFrom(m_list, *state.next);
        if (found == m_list.end())
            return std::nullopt;
        after->next = quint64(found->listLine) + 1;
        return *found;
    }

    // Numbers given back above the counter's last value or beyond the form
    // (both may have been lowered since) stay recorded but are not handed out.
    const auto usable = [this](quint64 value) {
        return m_form.fits(value) && (!m_source.last || value <= *m_source.last);
    };
    if (!state.returned.empty() && usable(*state.returned.begin())) {
        const quint64 value = *state.returned.begin();
        after->returned.erase(after->returned.begin());
        return DeviceNumber{value, m_form.valueText(value), 0};
    }
    if (!state.next || !usable(*state.next))
        return std::nullopt;
    const quint64 value = *state.next;
    // Past the largest 64-bit number the counter has none left; it never wraps.
    if (value > std::numeric_limits<quint64>::max() - m_source.step)
        after->next.reset();
    else
        after->next = value + m_source.step;
    return DeviceNumber{value, m_form.valueText(value), 0};
}

QString NumberSupply::usedUp(const State &state) const
{
    if (m_source.kind == NumberSource::Kind::List)
        return QStringLiteral("the numbers are used up: every number of the list %1 has been drawn (number state %2)")
            .arg(m_source.listPath, m_statePath);
    QString beyond;
    if (state.next && m_form.fits(*state.next))
        beyond = QStringLiteral("past its last value");
    else if (state.next)
        beyond = QStringLiteral("past what the number's form %1 holds").arg(m_form.text());
    else
        beyond = QStringLiteral("past the largest number");
    return QStringLiteral("the numbers are used up: the counter (%1) is %2 (number state %3)")
        .arg(m_source.text(), beyond, m_statePath);
}

// Under the lock of `file`: the number the state gives next, and in `after`
// the state once it is taken; nothing, and why, when the state cannot be
// read or the numbers are used up.
std::optional<DeviceNumber> NumberSupply::nextNumber(StateFile &file, State *after, QString *why) const
{
    const std::optional<State> state = lockedState(file, why);
    if (!state)
        return std::nullopt;
    std::optional<DeviceNumber> number = choose(*state, after);
    if (!number)
        *why = usedUp(*state);
    return number;
}

std::optional<DeviceNumber> NumberSupply::take(QString *why)
{
    QString scratch;
    if (!why)
        why = &scratch;
    const std::lock_guard<std::mutex> guard(m_mutex);
    StateFile file(m_statePath);
    State after;
    const std::optional<DeviceNumber> number = nextNumber(file, &after, why);
    if (!number)
        return std::nullopt;
    // Recorded on the disk before anyone sees it.
    QString reason;
    if (!file.replace(stateText(after), &reason)) {
        *why = QStringLiteral("the number state cannot be written (%1); no number was handed out").arg(reason);
        return std::nullopt;
    }
    return number;
}

bool NumberSupply::giveBack(const DeviceNumber &number, QString *why)
{
    QString scratch;
    if (!why)
        why = &scratch;
    const std::lock_guard<std::mutex> guard(m_mutex);
    StateFile file(m_statePath);
    std::optional<State> state = lockedState(file, why);
    if (!state)
        return false;
    // Only a number handed out from here and not yet given back: any other
    // would be handed out twice.
    const bool counter = m_source.kind == NumberSource::Kind::Counter;
    const quint64 key = counter ? number.value : quint64(number.listLine);
    bool handedOut = false;
    if (counter) {
        handedOut = number.listLine == 0 && (!state->next || number.value < *state->next);
    } else {
        const DeviceNumber *value = number.listLine > 0 ? valueOn(m_list, quint64(number.listLine)) : nullptr;
        handedOut = value && value->value == number.value && quint64(number.listLine) < *state->next;
    }
    if (!handedOut) {
        *why = QStringLiteral("%1 was never handed out from the number state %2, so it cannot be given back")
                   .arg(number.text, m_statePath);
        return false;
    }
    if (!state->returned.insert(key).second) {
        *why = QStringLiteral("%1 has already been given back to the number state %2").arg(number.text, m_statePath);
        return false;
    }
    QString reason;
    if (!file.replace(stateText(*state), &reason)) {
        *why = QStringLiteral("the number state cannot be written (%1); %2 is not given back and will be skipped")
                   .arg(reason, number.text);
        return false;
    }
    return true;
}

std::optional<DeviceNumber> NumberSupply::peek(QString *why)
{
    QString scratch;
    if (!why)
        why = &scratch;
    const std::lock_guard<std::mutex> guard(m_mutex);
    StateFile file(m_statePath);
    State after;
    return nextNumber(file, &after, why);
}

QString defaultNumberStatePath(const QString &logPath)
{
    const qsizetype nameStart = std::max(logPath.lastIndexOf(u'/'), logPath.lastIndexOf(u'\\')) + 1;
    const qsizetype dot = logPath.lastIndexOf(u'.');
    // A name that starts with a dot is all name.
    const QString path = (dot > nameStart ? logPath.left(dot) : logPath) + QStringLiteral(".numbers");
    // A log named like a state file must not be replaced by one.
    return path == logPath ? logPath + QStringLiteral(".numbers") : path;
}
