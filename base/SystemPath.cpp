#include "base/SystemPath.h"

namespace {

constexpr char16_t EscapedByteBase = 0xDC00;

// The length of the valid UTF-8 sequence at `at`, or 0 when there is none.
qsizetype validSequenceAt(QByteArrayView bytes, qsizetype at)
{
    const auto byte = [&bytes](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    unsigned lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    unsigned codePoint = lead & (0xFF >> (length + 1));
    for (qsizetype i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (codePoint < lowest || codePoint > 0x10FFFF || surrogate)
        return 0;
    return length;
}

} // namespace

QString systemTextFromBytes(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    qsizetype at = 0;
    while (at < bytes.size()) {
        qsizetype run = at;
        while (run < bytes.size()) {
            const qsizetype length = validSequenceAt(bytes, run);
            if (length == 0)
                break;
            run += length;
        }
        text += QString::fromUtf8(bytes.sliced(at, run - at));
        if (run < bytes.size()) {
            text += QChar(char16_t(EscapedByteBase + static_cast<unsigned char>(bytes[run])));
            ++run;
        }
        at = run;
    }
    return text;
}

QByteArray systemBytesFromText(const QString &text)
{
    QByteArray bytes;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype run = at;
        while (run < text.size() && !(text[run].unicode() >= 0xDC80 && text[run].unicode() <= 0xDCFF))
            ++run;
        bytes += QStringView(text).sliced(at, run - at).toUtf8();
        if (run < text.size()) {
            bytes += char(text[run].unicode() - EscapedByteBase);
            ++run;
        }
        at = run;
    }
    return bytes;
}
