#include "station/StationNumbers.h"

#include <QFileInfo>
#include <QStringList>

namespace {

// "START[,STEP[,LAST]]" as a counter.
std::variant<NumberSource, QString> counterSource(const QString &text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() > 3)
        return QStringLiteral("the counter \"%1\" is not START[,STEP[,LAST]]").arg(text);
    NumberSource source;
    source.kind = NumberSource::Kind::Counter;
    QString error;
    const std::optional<quint64> start = NumberForm::parseValue(parts[0], &error);
    if (!start)
        return QStringLiteral("the counter's start: %1").arg(error);
    source.start = *start;
    if (parts.size() > 1) {
        const std::optional<quint64> step = NumberForm::parseValue(parts[1], &error);
        if (!step || *step == 0)
            return QStringLiteral("the counter's step \"%1\" is not a number of 1 or more").arg(parts[1].trimmed());
        source.step = *step;
    }
    if (parts.size() > 2) {
        const std::optional<quint64> last = NumberForm::parseValue(parts[2], &error);
        if (!last)
            return QStringLiteral("the counter's last value: %1").arg(error);
        if (*last < source.start)
            return QStringLiteral("the counter's last value %1 is below its start %2").arg(*last).arg(source.start);
        source.last = *last;
    }
    return source;
}

} // namespace

namespace {

struct CheckedPlan
{
    NumberForm form;
    NumberSource source;
    std::optional<NumberedImage> image;
};

std::variant<CheckedPlan, QString> checkedPlan(const NumberPlan &plan, const QByteArray &image)
{
    QString error;
    const std::optional<quint32> address = NumberForm::parseAddress(plan.address, &error);
    if (!address)
        return error;
    const std::optional<NumberForm> form = NumberForm::parse(plan.form, *address, &error);
    if (!form)
        return error;
    CheckedPlan checked;
    checked.form = *form;
    if (!plan.listPath.isEmpty() && !plan.counter.isEmpty())
        return QStringLiteral("the numbers come from a counter or from a list, not both");
    if (!plan.listPath.isEmpty()) {
        checked.source.kind = NumberSource::Kind::List;
        checked.source.listPath = QFileInfo(plan.listPath).absoluteFilePath();
    } else if (!plan.counter.isEmpty()) {
        std::variant<NumberSource, QString> counter = counterSource(plan.counter);
        if (const QString *why = std::get_if<QString>(&counter))
            return *why;
        checked.source = std::get<NumberSource>(counter);
        if (!form->fits(checked.source.start)) {
            return QStringLiteral("the counter's start %1 does not fit the number's form %2 (at most %3)")
                .arg(checked.source.start)
                .arg(form->text())
                .arg(form->largest());
        }
    } else {
        return QStringLiteral("the numbers need a source: a counter or a list");
    }
    checked.image = NumberedImage::prepare(image, *form, &error);
    if (!checked.image)
        return error;
    return checked;
}

} // namespace

QString StationNumbers::check(const NumberPlan &plan, const QByteArray &image)
{
    const std::variant<CheckedPlan, QString> checked = checkedPlan(plan, image);
    const QString *why = std::get_if<QString>(&checked);
    return why ? *why : QString();
}

std::variant<std::shared_ptr<StationNumbers>, QString>
StationNumbers::prepare(const NumberPlan &plan, const QByteArray &image, const QString &logPath)
{
    std::variant<CheckedPlan, QString> checked = checkedPlan(plan, image);
    if (const QString *why = std::get_if<QString>(&checked))
        return *why;
    CheckedPlan &ready = std::get<CheckedPlan>(checked);

    QString statePath = plan.statePath;
    if (statePath.isEmpty()) {
        if (logPath.isEmpty())
            return QStringLiteral("the numbers' state file is kept beside the production log: give a log, or "
                                  "name the state file");
        statePath = defaultNumberStatePath(logPath);
    }
    QString error;
    std::unique_ptr<NumberSupply> supply =
        NumberSupply::open(ready.source, ready.form, QFileInfo(statePath).absoluteFilePath(), &error);
    if (!supply)
        return error;
    return std::shared_ptr<StationNumbers>(new StationNumbers(std::move(*ready.image), std::move(supply)));
}

StationNumbers::StationNumbers(NumberedImage image, std::unique_ptr<NumberSupply> supply)
    : m_image(std::move(image))
    , m_supply(std::move(supply))
{}

std::optional<DeviceImages::ForDevice> StationNumbers::take(QString *why)
{
    const std::optional<DeviceNumber> number = m_supply->take(why);
    if (!number)
        return std::nullopt;
    ForDevice forDevice;
    forDevice.image = m_image.stamped(m_supply->form().bytes(number->value));
    forDevice.number = number->text;
    forDevice.taken = *number;
    return forDevice;
}

NumberFate StationNumbers::settle(const ForDevice &taken, const Attempt &attempt)
{
    const auto *number = std::any_cast<DeviceNumber>(&taken.taken);
    if (!number)
        return NumberFate::Skipped;
    if (attempt.outcome == AttemptOutcome::Passed)
        return NumberFate::UsedUp;
    // Once the image began to leave, the device may have written the
    // number's record before it failed; only a device that never got a byte
    // of it surely does not hold it.
    if (attempt.imageStarted)
        return NumberFate::Skipped;
    QString why;
    return m_supply->giveBack(*number, &why) ? NumberFate::GivenBack : NumberFate::Skipped;
}

QString StationNumbers::description() const
{
    return QStringLiteral("%1 at 0x%2, %3, state %4")
        .arg(form().text(), QString::number(form().address, 16).toUpper().rightJustified(8, u'0'), source().text(),
             statePath());
}

QString StationNumbers::nextInWords()
{
    QString why;
    const std::optional<DeviceNumber> next = m_supply->peek(&why);
    return next ? QStringLiteral("next %1").arg(next->text) : why;
}

QString serialOfAttempt(const Attempt &attempt)
{
    if (attempt.number.isEmpty())
        return {};
    const QString fate = numberFateWords(attempt.numberFate);
    return fate.isEmpty() ? attempt.number : QStringLiteral("%1 %2").arg(attempt.number, fate);
}
