// The port-number box: what a typed text means.

#include "connect/PortEntry.h"

#include <QTest>

Q_DECLARE_METATYPE(PortEntry::Verdict)

class PortEntryTest : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        using V = PortEntry::Verdict;
        QTest::addColumn<QString>("text");
        QTest::addColumn<PortEntry::Verdict>("verdict");
        QTest::addColumn<int>("number");

        QTest::newRow("7") << "7" << V::Accepted << 7;
        QTest::newRow("12") << "12" << V::Accepted << 12;
        QTest::newRow("16, the highest") << "16" << V::Accepted << 16;
        QTest::newRow("1, the lowest") << "1" << V::Accepted << 1;
        QTest::newRow("half rounds to even below") << "2.5" << V::Accepted << 2;
        QTest::newRow("half rounds to even above") << "3.5" << V::Accepted << 4;
        QTest::newRow("blanks around") << " 5 " << V::Accepted << 5;
        QTest::newRow("exponent") << "1e1" << V::Accepted << 10;
        QTest::newRow("plus sign") << "+3" << V::Accepted << 3;
        QTest::newRow("trailing point") << "4." << V::Accepted << 4;
        QTest::newRow("leading zero") << "08" << V::Accepted << 8;
        QTest::newRow("fraction rounds down") << "1.4" << V::Accepted << 1;

        QTest::newRow("123") << "123" << V::OutOfRange << 0;
        QTest::newRow("0") << "0" << V::OutOfRange << 0;
        QTest::newRow("17") << "17" << V::OutOfRange << 0;
        QTest::newRow("-3") << "-3" << V::OutOfRange << 0;
        QTest::newRow("0.5") << "0.5" << V::OutOfRange << 0;
        QTest::newRow("16.4") << "16.4" << V::OutOfRange << 0;
        QTest::newRow("large exponent") << "9e99" << V::OutOfRange << 0;
        QTest::newRow("beyond a double") << "9e919" << V::OutOfRange << 0;
        QTest::newRow("below a double") << "1e-400" << V::OutOfRange << 0;

        QTest::newRow("empty") << "" << V::NotANumber << 0;
        QTest::newRow("letter") << "a" << V::NotANumber << 0;
        QTest::newRow("lone minus") << "-" << V::NotANumber << 0;
        QTest::newRow("lone point") << "." << V::NotANumber << 0;
        QTest::newRow("exponent without digits") << "1e" << V::NotANumber << 0;
        QTest::newRow("blanks only") << "   " << V::NotANumber << 0;
        QTest::newRow("digit and letter") << "1a" << V::NotANumber << 0;
        QTest::newRow("two signs") << "+-1" << V::NotANumber << 0;
        QTest::newRow("comma as separator") << "1,5" << V::NotANumber << 0;
        QTest::newRow("blank inside") << "1 2" << V::NotANumber << 0;
        QTest::newRow("line feed after") << "7\n" << V::NotANumber << 0;
        QTest::newRow("hexadecimal") << "0x5" << V::NotANumber << 0;
        QTest::newRow("infinity") << "inf" << V::NotANumber << 0;
    }

    void read()
    {
        QFETCH(QString, text);
        QFETCH(PortEntry::Verdict, verdict);
        QFETCH(int, number);
        const PortEntry entry = PortEntry::read(text);
        QCOMPARE(entry.verdict, verdict);
        if (verdict == PortEntry::Verdict::Accepted)
            QCOMPARE(entry.number, qint16(number));
    }
};

QTEST_GUILESS_MAIN(PortEntryTest)
#include "tst_port_entry.moc"
