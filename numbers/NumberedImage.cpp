#include "numbers/NumberedImage.h"

#include <QVarLengthArray>

#include <algorithm>

namespace {

enum RecordType : int {
    Data = 0x00,
    EndOfFile = 0x01,
    ExtendedSegmentAddress = 0x02,
    StartSegmentAddress = 0x03,
    ExtendedLinearAddress = 0x04,
    StartLinearAddress = 0x05,
};

constexpr quint64 MemoryEnd = quint64(1) << 32;
constexpr quint64 Window = 0x10000; // the 64 KiB a record's 16-bit offset reaches

struct Record
{
    int type = Data;
    quint16 offset = 0;
    int length = 0;   // of its data
    quint32 word = 0; // the first two data bytes, high first: an address record's value
};

QString hexAddress(quint64 address)
{
    return QString::asprintf("0x%08llX", static_cast<unsigned long long>(address));
}

QString hexByte(int byte)
{
    return QString::asprintf("%02X", unsigned(byte));
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The data bytes each record type must carry, and what it is called when it
// does not.
struct TypeShape
{
    int dataBytes;
    const char *name;
};

std::optional<TypeShape> shapeOf(int type)
{
    switch (type) {
    case EndOfFile:
        return TypeShape{0, "an end-of-file record"};
    case ExtendedSegmentAddress:
        return TypeShape{2, "an extended segment address record"};
    case StartSegmentAddress:
        return TypeShape{4, "a start segment address record"};
    case ExtendedLinearAddress:
        return TypeShape{2, "an extended linear address record"};
    case StartLinearAddress:
        return TypeShape{4, "a start linear address record"};
    default:
        return std::nullopt;
    }
}

// The record on `line`, or in `fault` why the line is not one.
std::optional<Record> readRecord(QByteArrayView line, QString *fault)
{
    if (!line.startsWith(':')) {
        *fault = QStringLiteral("it does not start with ':'");
        return std::nullopt;
    }
    const QByteArrayView digits = line.sliced(1);
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (hexValue(digits[i]) < 0) {
            *fault = QStringLiteral("the character at column %1 is not a hexadecimal digit").arg(i + 2);
            return std::nullopt;
        }
    }
    if (digits.size() % 2 != 0) {
        *fault = QStringLiteral("it has an odd number of hexadecimal digits");
        return std::nullopt;
    }
    // count, two address bytes and type before the data, checksum after it
    if (digits.size() < 10) {
        *fault = QStringLiteral("it is too short for a record (a record has at least 10 hexadecimal digits)");
        return std::nullopt;
    }
    const auto byteAt = [&digits](qsizetype index) {
        return hexValue(digits[2 * index]) * 16 + hexValue(digits[2 * index + 1]);
    };
    const qsizetype size = digits.size() / 2;
    const qsizetype carried = size - 5;
    if (byteAt(0) != carried) {
        *fault = QStringLiteral("its byte count says %1 data bytes but it carries %2").arg(byteAt(0)).arg(carried);
        return std::nullopt;
    }
    int sum = 0;
    for (qsizetype i = 0; i + 1 < size; ++i)
        sum += byteAt(i);
    const int needed = (0x100 - (sum & 0xFF)) & 0xFF;
    if (byteAt(size - 1) != needed) {
        *fault = QStringLiteral("its checksum is %1 where its bytes need %2")
                     .arg(hexByte(byteAt(size - 1)), hexByte(needed));
        return std::nullopt;
    }
    Record record;
    record.type = byteAt(3);
    if (record.type > StartLinearAddress) {
        *fault = QStringLiteral("its record type %1 is not one of 00 to 05").arg(hexByte(record.type));
        return std::nullopt;
    }
    if (const std::optional<TypeShape> shape = shapeOf(record.type); shape && shape->dataBytes != carried) {
        *fault = QStringLiteral("%1 carries %2 data bytes, this one carries %3")
                     .arg(QLatin1String(shape->name))
                     .arg(shape->dataBytes)
                     .arg(carried);
        return std::nullopt;
    }
    record.offset = quint16(byteAt(1) << 8 | byteAt(2));
    record.length = int(carried);
    if (carried >= 2)
        record.word = quint32(byteAt(4) << 8 | byteAt(5));
    return record;
}

// [first, end) in memory.
struct Span
{
    quint64 first;
    quint64 end;
};

// Where a data record's bytes land. Readers differ on bytes past offset
// 0xFFFF (on into the next 64 KiB, or round to the start of the same one),
// so both places count: a firmware byte must not be overwritten under either
// reading.
QVarLengthArray<Span, 3> landingSpans(quint32 base, const Record &record)
{
    const quint64 start = quint64(base) + record.offset;
    const quint64 below = std::min<quint64>(quint64(record.length), Window - record.offset);
    QVarLengthArray<Span, 3> spans{{start, start + below}};
    const quint64 rest = quint64(record.length) - below;
    if (rest > 0) {
        const quint64 next = (quint64(base) + Window) % MemoryEnd;
        spans.append({next, next + rest});
        spans.append({base, base + rest});
    }
    return spans;
}

QByteArray recordLine(int type, quint16 offset, QByteArrayView data)
{
    QByteArray bytes;
    bytes.reserve(5 + data.size());
    bytes.append(char(data.size()));
    bytes.append(char(offset >> 8));
    bytes.append(char(offset & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    int sum = 0;
    for (const char c : std::as_const(bytes))
        sum += static_cast<unsigned char>(c);
    bytes.append(char((0x100 - (sum & 0xFF)) & 0xFF));
    return ':' + bytes.toHex().toUpper() + '\r';
}

QByteArray linearAddressRecord(quint32 upper)
{
    const char data[] = {char(upper >> 8), char(upper & 0xFF)};
    return recordLine(ExtendedLinearAddress, 0, QByteArrayView(data, 2));
}

} // namespace

std::optional<NumberedImage> NumberedImage::prepare(const QByteArray &image, const NumberForm &form, QString *refusal)
{
    const auto refuse = [&](const QString &reason) {
        if (refusal)
            *refusal = QStringLiteral("the device's number (%1 at %2) cannot go into this firmware: %3")
                           .arg(form.text(), hexAddress(form.address), reason);
        return std::nullopt;
    };

    const quint64 numberFirst = form.address;
    const quint64 numberEnd = numberFirst + quint64(std::max(form.width, 0));
    if (form.width < 1 || numberEnd > MemoryEnd)
        return refuse(QStringLiteral("%1 bytes from its address run past the end of the memory").arg(form.width));
    if (image.isEmpty())
        return refuse(QStringLiteral("the image is empty"));

    // Until an address record says otherwise, addresses are linear from 0.
    bool linear = true;
    quint32 base = 0;
    std::optional<quint32> linearBaseAtEnd;
    qsizetype endOfFileAt = -1;
    qint64 lineNumber = 0;
    for (qsizetype next = 0; next < image.size();) {
        const qsizetype lineAt = next;
        qsizetype lineEnd = image.indexOf('\r', lineAt);
        if (lineEnd < 0)
            lineEnd = image.size();
        next = lineEnd + 1;
        ++lineNumber;
        const QByteArrayView line = QByteArrayView(image).sliced(lineAt, lineEnd - lineAt);

        QString fault;
        const std::optional<Record> record = readRecord(line, &fault);
        if (lineNumber == 1) {
            if (line.isEmpty())
                return refuse(QStringLiteral("line 1, where the marker line belongs, is blank"));
            if (record)
                return refuse(QStringLiteral("line 1 is an Intel HEX record where the marker line belongs: "
                                             "the image has no marker line"));
            continue;
        }
        if (line.isEmpty())
            continue;
        if (!record)
            return refuse(QStringLiteral("line %1 is not an Intel HEX record: %2").arg(lineNumber).arg(fault));

        switch (record->type) {
        case Data:
            for (const Span &span : landingSpans(base, *record)) {
                const quint64 first = std::max(span.first, numberFirst);
                const quint64 end = std::min(span.end, numberEnd);
                if (first >= end)
                    continue;
                const QString where = end - first == 1
                                          ? hexAddress(first)
                                          : QStringLiteral("%1 to %2").arg(hexAddress(first), hexAddress(end - 1));
                return refuse(QStringLiteral("it would overwrite the firmware's own data at %1 (line %2)")
                                  .arg(where)
                                  .arg(lineNumber));
            }
            break;
        case EndOfFile:
            if (endOfFileAt < 0) {
                endOfFileAt = lineAt;
                if (linear)
                    linearBaseAtEnd = base;
            }
            break;
        case ExtendedSegmentAddress:
            linear = false;
            base = record->word << 4;
            break;
        case ExtendedLinearAddress:
            linear = true;
            base = record->word << 16;
            break;
        default:
            break; // a start address says where the program runs, not where bytes go
        }
    }
    if (endOfFileAt < 0)
        return refuse(QStringLiteral("the image has no end-of-file record (:00000001FF) to put it before"));

    NumberedImage numbered;
    numbered.m_before = image.first(endOfFileAt);
    numbered.m_after = image.sliced(endOfFileAt);
    numbered.m_form = form;
    const quint32 upper = form.address >> 16;
    numbered.m_firstLength = int(std::min<quint64>(quint64(form.width), Window - (form.address & 0xFFFF)));
    // Where a segment base is in force, even one that comes to the same
    // 64 KiB, the number takes a linear base of its own: no reader can then
    // place it anywhere but at its address.
    if (linearBaseAtEnd != upper << 16)
        numbered.m_baseRecord = linearAddressRecord(upper);
    if (numbered.m_firstLength < form.width)
        numbered.m_nextBaseRecord = linearAddressRecord(upper + 1);
    return numbered;
}

QByteArray NumberedImage::stamped(QByteArrayView numberBytes) const
{
    const QByteArray records = numberRecords(numberBytes);
    if (records.isEmpty())
        return {};
    QByteArray image;
    image.reserve(m_before.size() + records.size() + m_after.size());
    image.append(m_before);
    image.append(records);
    image.append(m_after);
    return image;
}

QByteArray NumberedImage::numberRecords(QByteArrayView numberBytes) const
{
    if (numberBytes.size() != m_form.width)
        return {};
    QByteArray records = m_baseRecord;
    records += recordLine(Data, quint16(m_form.address & 0xFFFF), numberBytes.first(m_firstLength));
    if (m_firstLength < numberBytes.size()) {
        records += m_nextBaseRecord;
        records += recordLine(Data, 0, numberBytes.sliced(m_firstLength));
    }
    return records;
}
