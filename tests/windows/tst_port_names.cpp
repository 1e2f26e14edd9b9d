// The command line's names for Windows ports: COM names as Device Manager
// and the operators write them, and what the serial layer is given to open.

#include "cli/FlashRequest.h"
#include "cli/PortNames.h"

#include <QTest>

class PortNamesTest : public QObject
{
    Q_OBJECT

private slots:
    void names_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("opened"); // empty: not a port's name, the --port value is refused

        QTest::newRow("COM3") << "COM3"
                              << "\\\\.\\COM3";
        QTest::newRow("lower case") << "com3"
                                    << "\\\\.\\COM3";
        QTest::newRow("from 10 on, the prefix") << "COM17"
                                                << "\\\\.\\COM17";
        QTest::newRow("highest") << "COM256"
                                 << "\\\\.\\COM256";
        QTest::newRow("with the prefix") << "\\\\.\\com12"
                                         << "\\\\.\\COM12";
        QTest::newRow("with a colon") << "COM4:"
                                      << "\\\\.\\COM4";
        QTest::newRow("other device") << "\\\\.\\CNCA0"
                                      << "\\\\.\\CNCA0";
        QTest::newRow("no number") << "COM"
                                   << "";
        QTest::newRow("COM0") << "COM0"
                              << "";
        QTest::newRow("leading zero") << "COM03"
                                      << "";
        QTest::newRow("past 256") << "COM257"
                                  << "";
        QTest::newRow("trailing text") << "COM3x"
                                       << "";
        QTest::newRow("space") << "COM 3"
                               << "";
        QTest::newRow("Linux path") << "/dev/ttyUSB0"
                                    << "";
        QTest::newRow("prefix alone") << "\\\\.\\"
                                      << "";
    }

    void names()
    {
        QFETCH(QString, value);
        QFETCH(QString, opened);

        QList<PortSpec> ports;
        const QString error = readPortArgument(value, ports);
        if (opened.isEmpty()) {
            QVERIFY2(error.contains(QStringLiteral("a port name such as COM17")), qPrintable(error));
            QVERIFY(ports.isEmpty());
            return;
        }
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(ports.size(), 1);
        QCOMPARE(ports.first().label(), value); // shown as typed
        QCOMPARE(PortNames::openableName(ports.first().path), opened);
    }

    void helpSpeaksOfThisSystem()
    {
        const QString help = flashUsage();
        QVERIFY(help.contains(QStringLiteral("COM17")));
        QVERIFY(help.contains(QStringLiteral("Ctrl+C")));
        QVERIFY(!help.contains(QStringLiteral("/dev/")));
        QVERIFY(!help.contains(QStringLiteral("SIGHUP")));
    }
};

QTEST_GUILESS_MAIN(PortNamesTest)
#include "tst_port_names.moc"
