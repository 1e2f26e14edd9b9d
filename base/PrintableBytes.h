#pragma once

#include <QByteArray>

// Shows bytes readably: printable ASCII as is, CR, LF and backslash escaped,
// everything else as \xNN. A reply in a table, a log line or a trace stays
// one line, and a control byte the device sent can be seen.
inline QByteArray printableBytes(const QByteArray &bytes)
{
    QByteArray text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r')
            text += "\\r";
        else if (byte == '\n')
            text += "\\n";
        else if (byte == '\\')
            text += "\\\\";
        else if (byte >= 0x20 && byte < 0x7f)
            text += c;
        else
            text += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
    }
    return text;
}
