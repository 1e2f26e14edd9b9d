// SerialSettings::parse on any settings string, and the wire time of the
// settings it accepts.

#include "fuzz/Check.h"

#include "serial/SerialSettings.h"

#include <cstddef>
#include <cstdint>

namespace {

QString parityLetter(SerialSettings::Parity parity)
{
    switch (parity) {
    case SerialSettings::Parity::None:
        return QStringLiteral("n");
    case SerialSettings::Parity::Even:
        return QStringLiteral("e");
    case SerialSettings::Parity::Odd:
        return QStringLiteral("o");
    case SerialSettings::Parity::Mark:
        return QStringLiteral("m");
    case SerialSettings::Parity::Space:
        return QStringLiteral("s");
    }
    return QStringLiteral("?");
}

QString stopBitsText(SerialSettings::StopBits stopBits)
{
    switch (stopBits) {
    case SerialSettings::StopBits::One:
        return QStringLiteral("1");
    case SerialSettings::StopBits::OneAndHalf:
        return QStringLiteral("1.5");
    case SerialSettings::StopBits::Two:
        return QStringLiteral("2");
    }
    return QStringLiteral("?");
}

qint64 ceilDiv(qint64 a, qint64 b)
{
    return (a + b - 1) / b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<SerialSettings> settings = SerialSettings::parse(text);
    if (!settings)
        return 0;

    // Four fields, no blanks or signs, a positive rate.
    FUZZ_CHECK(text.count(QLatin1Char(',')) == 3);
    FUZZ_CHECK(!text.contains(QLatin1Char(' ')) && !text.contains(QLatin1Char('+'))
               && !text.contains(QLatin1Char('-')));
    FUZZ_CHECK(settings->baudRate > 0);

    // Written out again in the usual form, the settings read the same.
    const QString usual = QStringLiteral("%1,%2,%3,%4")
                              .arg(settings->baudRate)
                              .arg(parityLetter(settings->parity))
                              .arg(int(settings->dataBits))
                              .arg(stopBitsText(settings->stopBits));
    const std::optional<SerialSettings> again = SerialSettings::parse(usual);
    FUZZ_CHECK(again);
    FUZZ_CHECK(again->baudRate == settings->baudRate && again->parity == settings->parity
               && again->dataBits == settings->dataBits && again->stopBits == settings->stopBits);

    // The wire time: none for no bytes, 7 to 12 bits a byte rounded up to
    // whole milliseconds, growing with the count, no overflow for images of
    // any size a file can give (UBSan watches the arithmetic).
    FUZZ_CHECK(settings->wireTimeMs(0) == 0);
    const qint64 baud = settings->baudRate;
    for (const qint64 bytes : {qint64(1), qint64(size), qint64(1) << 31}) {
        const qint64 ms = settings->wireTimeMs(bytes);
        FUZZ_CHECK(ms >= ceilDiv(bytes * 7 * 1000, baud));
        FUZZ_CHECK(ms <= ceilDiv(bytes * 12 * 1000, baud));
        FUZZ_CHECK(settings->wireTimeMs(bytes + 1) >= ms);
    }
    return 0;
}
