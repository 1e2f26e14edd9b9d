#include "connect/PortEntry.h"

#include <QRegularExpression>

#include <cmath>

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

} // namespace

PortEntry PortEntry::read(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    const QString number = text.mid(begin, end - begin);

    // \z, not $: a $ would also match before a final line feed.
    static const QRegularExpression numeral(
        QStringLiteral("^[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?\\z"));
    if (!numeral.match(number).hasMatch())
        return {Verdict::NotANumber, 0};

    bool ok = false;
    const double value = number.toDouble(&ok);
    // A numeral beyond what a double holds, either way, is still a number
    // and out of range.
    if (!ok || !std::isfinite(value))
        return {Verdict::OutOfRange, 0};
    if (value < 1 || value > 16)
        return {Verdict::OutOfRange, 0};
    // Rounding to even is the default floating-point rounding mode.
    return {Verdict::Accepted, static_cast<qint16>(std::nearbyint(value))};
}
