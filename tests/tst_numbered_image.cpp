// A device's own number in the firmware image: its forms, the records that
// carry it, and the images that cannot take one. The stamped images are read
// back by an Intel HEX reader of this test's own.

#include "numbers/NumberForm.h"
#include "numbers/NumberedImage.h"

#include <QMap>
#include <QTest>

#include <limits>

namespace {

constexpr quint64 Max64 = std::numeric_limits<quint64>::max();
const QByteArray Marker = ":-:::::-";
const QByteArray EndOfFile = ":00000001FF";

// `bytes` (count, address, type, data) as a record line with its checksum.
QByteArray rawRecord(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (const char c : bytes)
        sum += quint8(c);
    return ':' + (bytes + char(quint8(-sum))).toHex().toUpper();
}

QByteArray record(int type, quint16 offset, const QByteArray &hexData)
{
    const QByteArray data = QByteArray::fromHex(hexData);
    const char head[] = {char(data.size()), char(offset >> 8), char(offset & 0xFF), char(type)};
    return rawRecord(QByteArray(head, sizeof head) + data);
}

// The image as the file reader gives it: every line followed by one CR.
QByteArray imageOf(const QByteArrayList &lines)
{
    QByteArray image;
    for (const QByteArray &line : lines)
        image += line + '\r';
    return image;
}

// Records at the start of memory, blank lines among them and after the end.
QByteArray lowImage()
{
    return imageOf({Marker, ":10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0", "",
                    ":10001000984197B57E01CF41FD0E235513C936DCBB", EndOfFile, ""});
}

// A base of 0x08000000 in force at the end, firmware bytes right up to
// 0x0800EFFF and again from 0x0800F008 (one record in lower case, as some
// tools write them), and a start address.
QByteArray linearImage()
{
    return imageOf({Marker, record(4, 0, "0800"), record(0, 0x0000, "0102030405060708"),
                    record(0, 0xEFF0, "00112233445566778899AABBCCDDEEFF").toLower(), record(0, 0xF008, "AABBCCDD"),
                    record(5, 0, "08000101"), EndOfFile});
}

// An earlier base of 0x08010000, then 0x08000000 in force at the end.
QByteArray twoBasesImage()
{
    return imageOf({Marker, record(4, 0, "0801"), record(0, 0x0000, "1122"), record(4, 0, "0800"),
                    record(0, 0x0100, "3344"), EndOfFile});
}

// A segment base of 0x10000 in force at the end.
QByteArray segmentImage()
{
    return imageOf({Marker, record(2, 0, "1000"), record(0, 0x0000, "5566"), EndOfFile});
}

// An image read as Intel HEX, independently of the code under test.
struct Reading
{
    QMap<quint64, quint8> memory;
    QString fault; // empty when every record read right and no byte was written twice
};

Reading readImage(const QByteArray &image)
{
    Reading reading;
    QByteArrayList lines = image.split('\r');
    quint64 base = 0;
    bool segment = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if (line.isEmpty())
            continue;
        const QByteArray digits = line.mid(1);
        const QByteArray bytes = QByteArray::fromHex(digits);
        quint8 sum = 0;
        for (const char c : bytes)
            sum += quint8(c);
        if (line[0] != ':' || bytes.toHex().compare(digits, Qt::CaseInsensitive) != 0 || bytes.size() < 5
            || quint8(bytes[0]) != bytes.size() - 5 || sum != 0) {
            reading.fault = QStringLiteral("line %1 is not a right record: %2").arg(i + 1).arg(line);
            return reading;
        }
        const int type = quint8(bytes[3]);
        const quint64 offset = quint64(quint8(bytes[1])) << 8 | quint8(bytes[2]);
        const QByteArray data = bytes.mid(4, bytes.size() - 5);
        const quint64 value = data.size() >= 2 ? (quint64(quint8(data[0])) << 8 | quint8(data[1])) : 0;
        if (type == 0x00) {
            for (qsizetype k = 0; k < data.size(); ++k) {
                const quint64 address = segment ? base + ((offset + k) & 0xFFFF) : (base + offset + k) & 0xFFFFFFFF;
                if (reading.memory.contains(address)) {
                    reading.fault = QStringLiteral("line %1 writes 0x%2 again").arg(i + 1).arg(address, 0, 16);
                    return reading;
                }
                reading.memory.insert(address, quint8(data[k]));
            }
        } else if (type == 0x02) {
            segment = true;
            base = value << 4;
        } else if (type == 0x04) {
            segment = false;
            base = value << 16;
        }
    }
    return reading;
}

} // namespace

class NumberedImageTest : public QObject
{
    Q_OBJECT

private slots:
    void stamped_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("form");
        QTest::addColumn<quint32>("address");
        QTest::addColumn<quint64>("value");
        QTest::addColumn<QByteArray>("inMemory");
        QTest::addColumn<QByteArray>("recordTypes"); // of the inserted records

        QTest::newRow("le:4 below 64 KiB, no address record")
            << lowImage() << "le:4" << 0x00000100u << quint64(0x12345678) << QByteArray::fromHex("78563412")
            << QByteArray("00");
        QTest::newRow("dec:8 between firmware bytes, its base in force")
            << linearImage() << "dec:8" << 0x0800F000u << quint64(12345) << QByteArray("00012345") << QByteArray("00");
        QTest::newRow("be:6 above 64 KiB, another base in force")
            << linearImage() << "be:6" << 0x08020000u << quint64(0xA1B2C3D4E5F6) << QByteArray::fromHex("A1B2C3D4E5F6")
            << QByteArray("04 00");
        QTest::newRow("be:1 under a base that an earlier record gave")
            << twoBasesImage() << "be:1" << 0x08010100u << quint64(0xA5) << QByteArray::fromHex("A5")
            << QByteArray("04 00");
        QTest::newRow("dec:20 where a segment base of the same 64 KiB is in force")
            << segmentImage() << "dec:20" << 0x00010100u << Max64 << QByteArray("18446744073709551615")
            << QByteArray("04 00");
        QTest::newRow("hex:12 across 64 KiB, its base in force")
            << linearImage() << "hex:12" << 0x0800FFFAu << quint64(0xABCDEF012345) << QByteArray("ABCDEF012345")
            << QByteArray("00 04 00");
        QTest::newRow("le:2 across 64 KiB, no address record") << lowImage() << "le:2" << 0x0000FFFFu << quint64(0xBEEF)
                                                               << QByteArray::fromHex("EFBE") << QByteArray("00 04 00");
        QTest::newRow("be:3 across 64 KiB, another base in force")
            << twoBasesImage() << "be:3" << 0x0803FFFFu << quint64(0x0A0B0C) << QByteArray::fromHex("0A0B0C")
            << QByteArray("04 00 04 00");
        QTest::newRow("le:2 before the first of two end-of-file records")
            << imageOf({Marker, record(0, 0x0000, "AA"), EndOfFile, record(0, 0x0010, "BB"), EndOfFile}) << "le:2"
            << 0x00000020u << quint64(0x0102) << QByteArray::fromHex("0201") << QByteArray("00");
        QTest::newRow("le:8 at the top of memory") << lowImage() << "le:8" << 0xFFFFFFF8u << quint64(0x0102030405060708)
                                                   << QByteArray::fromHex("0807060504030201") << QByteArray("04 00");
    }

    void stamped()
    {
        QFETCH(QByteArray, image);
        QFETCH(QString, form);
        QFETCH(quint32, address);
        QFETCH(quint64, value);
        QFETCH(QByteArray, inMemory);
        QFETCH(QByteArray, recordTypes);

        QString error;
        const std::optional<NumberForm> numberForm = NumberForm::parse(form, address, &error);
        QVERIFY2(numberForm, qPrintable(error));
        const std::optional<NumberedImage> numbered = NumberedImage::prepare(image, *numberForm, &error);
        QVERIFY2(numbered, qPrintable(error));
        const QByteArray numberBytes = numberForm->bytes(value);
        const QByteArray stamped = numbered->stamped(numberBytes);

        // The image's own bytes exactly as they were, the number's records
        // just ahead of the end-of-file record.
        const qsizetype endAt = image.indexOf('\r' + EndOfFile + '\r') + 1;
        QVERIFY(endAt > 0);
        QVERIFY(stamped.size() > image.size());
        const QByteArray records = stamped.sliced(endAt, stamped.size() - image.size());
        QCOMPARE(stamped, image.first(endAt) + records + image.sliced(endAt));
        QCOMPARE(numbered->numberRecords(numberBytes), records);
        QVERIFY(records.endsWith('\r'));
        QByteArrayList types;
        for (const QByteArray &line : records.chopped(1).split('\r')) {
            QCOMPARE(line, line.toUpper());
            types.append(line.mid(7, 2));
        }
        QCOMPARE(types.join(' '), recordTypes);

        // In memory: the firmware's bytes and the number's, none written
        // twice, every checksum right.
        const Reading before = readImage(image);
        const Reading after = readImage(stamped);
        QVERIFY2(before.fault.isEmpty(), qPrintable(before.fault));
        QVERIFY2(after.fault.isEmpty(), qPrintable(after.fault));
        QMap<quint64, quint8> expected = before.memory;
        for (qsizetype i = 0; i < inMemory.size(); ++i)
            expected.insert(quint64(address) + quint64(i), quint8(inMemory[i]));
        QCOMPARE(after.memory, expected);

        // Only the width that was checked against the firmware goes in.
        QVERIFY(numbered->stamped(numberBytes + '\0').isEmpty());
        QVERIFY(numbered->stamped(numberBytes.chopped(1)).isEmpty());
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("form");
        QTest::addColumn<quint32>("address");
        QTest::addColumn<QString>("reason"); // after "...cannot go into this firmware: "

        const auto withLine = [](const QByteArray &line) { return imageOf({Marker, line, EndOfFile}); };
        QTest::newRow("empty image") << QByteArray() << "le:4" << 0x00000100u << "the image is empty";
        QTest::newRow("blank first line") << imageOf({"", Marker, EndOfFile}) << "le:4" << 0x00000100u
                                          << "line 1, where the marker line belongs, is blank";
        QTest::newRow("no marker line")
            << imageOf({":10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0", EndOfFile}) << "le:4" << 0x00000100u
            << "line 1 is an Intel HEX record where the marker line belongs: the image has no marker line";
        QTest::newRow("not Intel HEX") << withLine("S00F000068656C6C6F") << "le:4" << 0x00000100u
                                       << "line 2 is not an Intel HEX record: it does not start with ':'";
        QTest::newRow("blank inside a record")
            << withLine(":00000001 FF") << "le:4" << 0x00000100u
            << "line 2 is not an Intel HEX record: the character at column 10 is not a hexadecimal digit";
        QTest::newRow("odd digit count") << withLine(":00000001F") << "le:4" << 0x00000100u
                                         << "line 2 is not an Intel HEX record: it has an odd number of hexadecimal "
                                            "digits";
        QTest::newRow("too short") << withLine(":000001FF") << "le:4" << 0x00000100u
                                   << "line 2 is not an Intel HEX record: it is too short for a record (a record has "
                                      "at least 10 hexadecimal digits)";
        QTest::newRow("byte count wrong")
            << withLine(rawRecord(QByteArray::fromHex("02000000AA"))) << "le:4" << 0x00000100u
            << "line 2 is not an Intel HEX record: its byte count says 2 data bytes but it carries 1";
        QTest::newRow("bad checksum")
            << imageOf({Marker, record(0, 0, "AA"), ":00000001FE"}) << "le:4" << 0x00000100u
            << "line 3 is not an Intel HEX record: its checksum is FE where its bytes need FF";
        QTest::newRow("record type 06")
            << withLine(rawRecord(QByteArray::fromHex("00000006"))) << "le:4" << 0x00000100u
            << "line 2 is not an Intel HEX record: its record type 06 is not one of 00 to 05";
        QTest::newRow("linear address of one byte")
            << withLine(rawRecord(QByteArray::fromHex("0100000408"))) << "le:4" << 0x00000100u
            << "line 2 is not an Intel HEX record: an extended linear address record carries 2 data bytes, this one "
               "carries 1";
        QTest::newRow("no end-of-file record") << imageOf({Marker, record(0, 0, "AA")}) << "le:4" << 0x00000100u
                                               << "the image has no end-of-file record (:00000001FF) to put it before";
        QTest::newRow("overlap at the number's first byte")
            << imageOf({Marker, record(4, 0, "0800"), record(0, 0xEFF1, "00112233445566778899AABBCCDDEEFF"), EndOfFile})
            << "le:4" << 0x0800F000u << "it would overwrite the firmware's own data at 0x0800F000 (line 3)";
        QTest::newRow("overlap at the number's last byte")
            << imageOf({Marker, record(4, 0, "0800"), record(0, 0xF003, "AABB"), EndOfFile}) << "le:4" << 0x0800F000u
            << "it would overwrite the firmware's own data at 0x0800F003 (line 3)";
        QTest::newRow("overlap through a segment address")
            << imageOf({Marker, record(4, 0, "0001"), record(0, 0x0108, "AABB"), record(2, 0, "8000"),
                        record(0, 0x0100, "00112233445566778899AABBCCDDEEFF"), EndOfFile})
            << "le:4" << 0x00080108u
            << "it would overwrite the firmware's own data at 0x00080108 to 0x0008010B (line 5)";
        QTest::newRow("overlap of a record past offset 0xFFFF, wrapped")
            << withLine(record(0, 0xFFF8, "00112233445566778899AABBCCDDEEFF")) << "le:2" << 0x00000002u
            << "it would overwrite the firmware's own data at 0x00000002 to 0x00000003 (line 2)";
    }

    void refused()
    {
        QFETCH(QByteArray, image);
        QFETCH(QString, form);
        QFETCH(quint32, address);
        QFETCH(QString, reason);

        const std::optional<NumberForm> numberForm = NumberForm::parse(form, address, nullptr);
        QVERIFY(numberForm);
        QString refusal;
        QVERIFY(!NumberedImage::prepare(image, *numberForm, &refusal));
        QCOMPARE(refusal, QStringLiteral("the device's number (%1 at 0x%2) cannot go into this firmware: %3")
                              .arg(form, QString::number(address, 16).toUpper().rightJustified(8, u'0'), reason));
    }

    void formBytes_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<quint64>("value");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint64>("largest");

        QTest::newRow("le:4") << "le:4" << quint64(0x12345678) << QByteArray::fromHex("78563412")
                              << quint64(0xFFFFFFFF);
        QTest::newRow("le:8") << "le:8" << quint64(0x0102030405060708) << QByteArray::fromHex("0807060504030201")
                              << Max64;
        QTest::newRow("be:1, largest") << "be:1" << quint64(0xFF) << QByteArray::fromHex("FF") << quint64(0xFF);
        QTest::newRow("be:3") << "be:3" << quint64(0x0A0B0C) << QByteArray::fromHex("0A0B0C") << quint64(0xFFFFFF);
        QTest::newRow("dec:6, zero-padded") << "dec:6" << quint64(1234) << QByteArray("001234") << quint64(999999);
        QTest::newRow("dec:20, largest") << "dec:20" << Max64 << QByteArray("18446744073709551615") << Max64;
        QTest::newRow("hex:6, upper case") << "hex:6" << quint64(0xBEEF) << QByteArray("00BEEF") << quint64(0xFFFFFF);
        QTest::newRow("hex:16") << "hex:16" << quint64(0x0123456789ABCDEF) << QByteArray("0123456789ABCDEF") << Max64;
    }

    void formBytes()
    {
        QFETCH(QString, form);
        QFETCH(quint64, value);
        QFETCH(QByteArray, bytes);
        QFETCH(quint64, largest);

        QString error;
        const std::optional<NumberForm> numberForm = NumberForm::parse(form, 0, &error);
        QVERIFY2(numberForm, qPrintable(error));
        QCOMPARE(numberForm->text(), form);
        QCOMPARE(numberForm->bytes(value), bytes);
        QCOMPARE(numberForm->largest(), largest);
    }

    void formParse_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<quint32>("address");
        QTest::addColumn<QString>("error"); // a part of it; empty where the form is taken

        QTest::newRow("upper case kind") << "BE:4" << 0u << "";
        QTest::newRow("last four bytes of memory") << "le:4" << 0xFFFFFFFCu << "";
        QTest::newRow("no width") << "le" << 0u << "is not one of";
        QTest::newRow("unknown kind") << "oct:4" << 0u << "is not one of";
        QTest::newRow("two widths") << "le:4:2" << 0u << "is not one of";
        QTest::newRow("width not a number") << "le:x" << 0u << "a byte count from 1 to 8";
        QTest::newRow("width 0") << "le:0" << 0u << "a byte count from 1 to 8";
        QTest::newRow("integer of 9 bytes") << "be:9" << 0u << "a byte count from 1 to 8";
        QTest::newRow("21 decimal digits") << "dec:21" << 0u << "a digit count from 1 to 20";
        QTest::newRow("17 hexadecimal digits") << "hex:17" << 0u << "a digit count from 1 to 16";
        QTest::newRow("past the end of memory")
            << "le:4" << 0xFFFFFFFDu << "a number of 4 bytes at 0xFFFFFFFD runs past the end of the memory";
    }

    void formParse()
    {
        QFETCH(QString, form);
        QFETCH(quint32, address);
        QFETCH(QString, error);

        QString actual;
        const std::optional<NumberForm> numberForm = NumberForm::parse(form, address, &actual);
        QCOMPARE(bool(numberForm), error.isEmpty());
        if (numberForm)
            QCOMPARE(numberForm->address, address);
        else
            QVERIFY2(actual.contains(error), qPrintable(actual));
    }

    void parseValue_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("taken");
        QTest::addColumn<quint64>("value");

        QTest::newRow("decimal") << "42" << true << quint64(42);
        QTest::newRow("decimal with blanks around") << " 42\t" << true << quint64(42);
        QTest::newRow("largest decimal") << "18446744073709551615" << true << Max64;
        QTest::newRow("0x, mixed case") << "0x1A2b" << true << quint64(0x1A2B);
        QTest::newRow("0X") << "0X10" << true << quint64(16);
        QTest::newRow("MAC with colons") << "00:1A:2B:3C:4D:5E" << true << quint64(0x001A2B3C4D5E);
        QTest::newRow("MAC with dashes, lower case") << "00-1a-2b-3c-4d-5e" << true << quint64(0x001A2B3C4D5E);
        QTest::newRow("eight bytes") << "FF:FF:FF:FF:FF:FF:FF:FE" << true << Max64 - 1;

        QTest::newRow("empty") << "" << false << quint64(0);
        QTest::newRow("0x alone") << "0x" << false << quint64(0);
        QTest::newRow("decimal too large") << "18446744073709551616" << false << quint64(0);
        QTest::newRow("hexadecimal too large") << "0x10000000000000000" << false << quint64(0);
        QTest::newRow("letters after digits") << "12a" << false << quint64(0);
        QTest::newRow("negative") << "-1" << false << quint64(0);
        QTest::newRow("plus sign") << "+1" << false << quint64(0);
        QTest::newRow("sign after 0x") << "0x+12" << false << quint64(0);
        QTest::newRow("blank after 0x") << "0x 12" << false << quint64(0);
        QTest::newRow("0x twice") << "0x0x12" << false << quint64(0);
        QTest::newRow("sign inside a MAC") << "00:+1:2B" << false << quint64(0);
        QTest::newRow("blank inside a MAC") << "00: 1:2B" << false << quint64(0);
        QTest::newRow("one digit in a MAC") << "0:1A:2B" << false << quint64(0);
        QTest::newRow("mixed separators") << "00:1A-2B" << false << quint64(0);
        QTest::newRow("nine bytes") << "00:11:22:33:44:55:66:77:88" << false << quint64(0);
    }

    void parseValue()
    {
        QFETCH(QString, text);
        QFETCH(bool, taken);
        QFETCH(quint64, value);

        QString error;
        const std::optional<quint64> parsed = NumberForm::parseValue(text, &error);
        QCOMPARE(bool(parsed), taken);
        if (parsed)
            QCOMPARE(*parsed, value);
        else
            QVERIFY2(error.contains(u"is not a number"), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(NumberedImageTest)
#include "tst_numbered_image.moc"
