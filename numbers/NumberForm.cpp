#include "numbers/NumberForm.h"

#include <QList>
#include <QStringList>

#include <algorithm>
#include <limits>

namespace {

int maximumWidth(NumberForm::Kind kind)
{
    switch (kind) {
    case NumberForm::Kind::LittleEndian:
    case NumberForm::Kind::BigEndian:
        return 8;
    case NumberForm::Kind::DecimalDigits:
        return 20; // 18446744073709551615 has twenty
    case NumberForm::Kind::HexDigits:
        return 16;
    }
    return 0;
}

QString kindWord(NumberForm::Kind kind)
{
    switch (kind) {
    case NumberForm::Kind::LittleEndian:
        return QStringLiteral("le");
    case NumberForm::Kind::BigEndian:
        return QStringLiteral("be");
    case NumberForm::Kind::DecimalDigits:
        return QStringLiteral("dec");
    case NumberForm::Kind::HexDigits:
        return QStringLiteral("hex");
    }
    return {};
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// Qt's conversions take blanks, a sign and a second "0x" inside the text;
// a value an engineer wrote is digits and nothing else.
bool allDigits(QStringView text, int base)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [base](QChar c) {
        return (c >= u'0' && c <= u'9') || (base == 16 && ((c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')));
    });
}

} // namespace

std::optional<NumberForm> NumberForm::parse(const QString &form, quint32 address, QString *error)
{
    const QStringList parts = form.trimmed().split(u':');
    const QString usage = QStringLiteral("the number's form \"%1\" is not one of le:BYTES, be:BYTES, dec:DIGITS, "
                                         "hex:DIGITS (for example le:4, be:6, dec:8, hex:12)")
                              .arg(form);
    if (parts.size() != 2) {
        setError(error, usage);
        return std::nullopt;
    }
    NumberForm result;
    const QString kind = parts[0].toLower();
    if (kind == u"le")
        result.kind = Kind::LittleEndian;
    else if (kind == u"be")
        result.kind = Kind::BigEndian;
    else if (kind == u"dec")
        result.kind = Kind::DecimalDigits;
    else if (kind == u"hex")
        result.kind = Kind::HexDigits;
    else {
        setError(error, usage);
        return std::nullopt;
    }
    bool ok = false;
    result.width = parts[1].toInt(&ok);
    if (!ok || result.width < 1 || result.width > maximumWidth(result.kind)) {
        const bool integer = result.kind == Kind::LittleEndian || result.kind == Kind::BigEndian;
        setError(error, QStringLiteral("the number's form \"%1\" needs %2 from 1 to %3")
                            .arg(form, integer ? QStringLiteral("a byte count") : QStringLiteral("a digit count"))
                            .arg(maximumWidth(result.kind)));
        return std::nullopt;
    }
    result.address = address;
    if (quint64(address) + quint64(result.width) - 1 > 0xFFFFFFFFu) {
        setError(error, QStringLiteral("a number of %1 bytes at 0x%2 runs past the end of the memory")
                            .arg(result.width)
                            .arg(QString::number(address, 16).toUpper().rightJustified(8, u'0')));
        return std::nullopt;
    }
    return result;
}

QString NumberForm::text() const
{
    return QStringLiteral("%1:%2").arg(kindWord(kind)).arg(width);
}

quint64 NumberForm::largest() const
{
    switch (kind) {
    case Kind::LittleEndian:
    case Kind::BigEndian:
        return width >= 8 ? std::numeric_limits<quint64>::max() : (quint64(1) << (8 * width)) - 1;
    case Kind::DecimalDigits: {
        if (width >= 20)
            return std::numeric_limits<quint64>::max();
        quint64 power = 1;
        for (int i = 0; i < width; ++i)
            power *= 10;
        return power - 1;
    }
    case Kind::HexDigits:
        return width >= 16 ? std::numeric_limits<quint64>::max() : (quint64(1) << (4 * width)) - 1;
    }
    return 0;
}

QByteArray NumberForm::bytes(quint64 value) const
{
    QByteArray result(width, '\0');
    switch (kind) {
    case Kind::LittleEndian:
        for (int i = 0; i < width; ++i)
            result[i] = char((value >> (8 * i)) & 0xFF);
        break;
    case Kind::BigEndian:
        for (int i = 0; i < width; ++i)
            result[width - 1 - i] = char((value >> (8 * i)) & 0xFF);
        break;
    case Kind::DecimalDigits:
        for (int i = width - 1; i >= 0; --i, value /= 10)
            result[i] = char('0' + value % 10);
        break;
    case Kind::HexDigits:
        for (int i = width - 1; i >= 0; --i, value >>= 4)
            result[i] = "0123456789ABCDEF"[value & 0xF];
        break;
    }
    return result;
}

QString NumberForm::valueText(quint64 value) const
{
    // A digit form is shown as the device holds it, so the label printed
    // from the log reads what the device reports.
    if (kind == Kind::HexDigits || kind == Kind::DecimalDigits)
        return QString::fromLatin1(bytes(value));
    return QString::number(value);
}

std::optional<quint64> NumberForm::parseValue(QStringView text, QString *error)
{
    const QStringView value = text.trimmed();
    bool ok = false;
    quint64 result = 0;
    if (value.startsWith(u"0x", Qt::CaseInsensitive)) {
        const QStringView digits = value.mid(2);
        ok = allDigits(digits, 16);
        if (ok)
            result = digits.toULongLong(&ok, 16);
    } else if (value.contains(u':') || value.contains(u'-')) {
        // Bytes as a vendor writes a MAC address: two hexadecimal digits
        // each, split by one kind of separator.
        const QChar separator = value.contains(u':') ? u':' : u'-';
        const QList<QStringView> parts = value.split(separator);
        ok = parts.size() <= 8;
        for (const QStringView part : parts) {
            bool byteOk = false;
            const uint byte = part.toUInt(&byteOk, 16);
            ok = ok && byteOk && part.size() == 2 && allDigits(part, 16);
            result = (result << 8) | byte;
        }
    } else {
        ok = allDigits(value, 10);
        if (ok)
            result = value.toULongLong(&ok, 10);
    }
    if (!ok) {
        setError(error, QStringLiteral("\"%1\" is not a number (decimal, 0x followed by hexadecimal digits, "
                                       "or bytes such as 00:1A:2B:3C:4D:5E)")
                            .arg(value));
        return std::nullopt;
    }
    return result;
}

std::optional<quint32> NumberForm::parseAddress(QStringView text, QString *error)
{
    QString valueError;
    const std::optional<quint64> value = parseValue(text, &valueError);
    if (!value || *value > 0xFFFFFFFFu) {
        setError(error,
                 QStringLiteral("the address \"%1\" is not an address from 0 to 0xFFFFFFFF").arg(text.trimmed()));
        return std::nullopt;
    }
    return quint32(*value);
}
