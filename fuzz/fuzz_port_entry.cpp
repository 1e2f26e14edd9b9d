// PortEntry::read on any text typed into the port-number box: the verdict and
// the number must agree with the C library's reading of the same numeral.

#include "fuzz/Check.h"

#include "connect/PortEntry.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString trimmedOfBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

// A numeral is made of digits, signs, a point and the exponent letter only.
bool hasOnlyNumeralCharacters(const QString &text)
{
    for (const QChar c : text) {
        if (!(c.unicode() < 128
              && std::string_view("0123456789+-.eE").find(char(c.unicode())) != std::string_view::npos))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const PortEntry entry = PortEntry::read(text);

    // Blanks around the text never change what it means.
    const PortEntry padded = PortEntry::read(QStringLiteral(" \t") + text + QStringLiteral("\t "));
    FUZZ_CHECK(padded.verdict == entry.verdict);
    FUZZ_CHECK(padded.number == entry.number);

    // A numeral is text of numeral characters that the C library reads to
    // its end; its value, however large or small, decides the verdict.
    const QString numeral = trimmedOfBlanks(text);
    const std::string ascii = numeral.toStdString();
    char *end = nullptr;
    const double value = std::strtod(ascii.c_str(), &end);
    const bool isNumeral =
        !numeral.isEmpty() && hasOnlyNumeralCharacters(numeral) && end == ascii.c_str() + ascii.size();

    FUZZ_CHECK(isNumeral == (entry.verdict != PortEntry::Verdict::NotANumber));
    if (entry.verdict == PortEntry::Verdict::NotANumber) {
        FUZZ_CHECK(entry.number == 0);
        return 0;
    }

    if (entry.verdict == PortEntry::Verdict::OutOfRange) {
        FUZZ_CHECK(entry.number == 0);
        FUZZ_CHECK(!(value >= 1 && value <= 16));
        return 0;
    }
    FUZZ_CHECK(entry.verdict == PortEntry::Verdict::Accepted);
    FUZZ_CHECK(entry.number >= 1 && entry.number <= 16);
    FUZZ_CHECK(value >= 1 && value <= 16);
    FUZZ_CHECK(std::fabs(value - entry.number) <= 0.5);
    return 0;
}
