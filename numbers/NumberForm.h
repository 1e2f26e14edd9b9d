#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

// Where a device's own number goes in its memory and as what bytes: an
// unsigned integer of 1 to 8 bytes, little- or big-endian, or a fixed count
// of ASCII digits, decimal or hexadecimal (upper case), zero-padded.
struct NumberForm
{
    enum class Kind { LittleEndian, BigEndian, DecimalDigits, HexDigits };

    Kind kind = Kind::LittleEndian;
    int width = 4;       // bytes for an integer, digits for ASCII: the bytes it takes in memory
    quint32 address = 0; // of its first byte

    // "le:4", "be:6", "dec:8", "hex:12", at `address`. Refuses a width its
    // kind cannot have (an integer of 1 to 8 bytes, 1 to 20 decimal or 1 to
    // 16 hexadecimal digits) and a number that would run past the end of the
    // 32-bit address space.
    static std::optional<NumberForm> parse(const QString &form, quint32 address, QString *error);
    // The form as parse() takes it.
    QString text() const;

    // The largest value the form can hold.
    quint64 largest() const;
    bool fits(quint64 value) const { return value <= largest(); }
    // The bytes `value` is written as; `value` must fit.
    QByteArray bytes(quint64 value) const;
    // How a counter's value is shown and logged: for a digit form the digits
    // the device gets ("004200"), for an integer its decimal digits.
    QString valueText(quint64 value) const;

    // A value as an engineer writes it in a list or a counter: decimal,
    // hexadecimal after "0x", or hexadecimal bytes split by ':' or '-' (a
    // MAC address, "00:1A:2B:3C:4D:5E"). Blanks around it are ignored.
    static std::optional<quint64> parseValue(QStringView text, QString *error);
    // An address: decimal or hexadecimal after "0x", up to 0xFFFFFFFF.
    static std::optional<quint32> parseAddress(QStringView text, QString *error);
};

// The number of one device, as taken for it.
struct DeviceNumber
{
    quint64 value = 0;
    QString text;        // as shown and logged: a list's line as written, or the form's valueText
    qint64 listLine = 0; // the line of the list it came from (1 for the first); 0 for a counter
};
