// The command line's reading of its arguments and port ranges: every way of
// writing a port, and every mistake an operator or a script makes.

#include "cli/FlashRequest.h"

#include <QTest>

namespace {

QString portsText(const QList<PortSpec> &ports)
{
    QStringList labels;
    for (const PortSpec &port : ports)
        labels.append(port.label());
    return labels.join(u',');
}

} // namespace

class FlashArgumentsTest : public QObject
{
    Q_OBJECT

private slots:
    void reads_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("ports"); // as read, in order
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("check");
        QTest::addColumn<QString>("log");

        const QString fw = QStringLiteral("fw.txt");
        QTest::newRow("one number") << QStringList{"--port", "3", "--file", fw} << "3" << fw << false << "";
        QTest::newRow("short options") << QStringList{"-p", "16", "-f", fw} << "16" << fw << false << "";
        QTest::newRow("attached values") << QStringList{"--port=1", "--file=fw.txt", "--log=a.csv"} << "1" << fw
                                         << false << "a.csv";
        QTest::newRow("range") << QStringList{"--port", "1-4", "--file", fw} << "1,2,3,4" << fw << false << "";
        QTest::newRow("range of one") << QStringList{"--port", "7-7", "--file", fw} << "7" << fw << false << "";
        QTest::newRow("whole range") << QStringList{"--port", "1-16", "--file", fw}
                                     << "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16" << fw << false << "";
        QTest::newRow("several, mixed") << QStringList{"--port", "5",      "--port", "/dev/ttyUSB0", "--port",
                                                       "1-2",    "--file", fw,       "--check"}
                                        << "5,/dev/ttyUSB0,1,2" << fw << true << "";
        QTest::newRow("path with a dash") << QStringList{"--file", fw, "--port", "/dev/serial/by-id/usb-1-2"}
                                          << "/dev/serial/by-id/usb-1-2" << fw << false << "";
        QTest::newRow("leading zero") << QStringList{"--port", "03", "--file", fw} << "3" << fw << false << "";
    }

    void reads()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, ports);
        QFETCH(QString, file);
        QFETCH(bool, check);
        QFETCH(QString, log);
        const ParsedCommandLine parsed = parseFlashArguments(arguments);
        QVERIFY2(parsed.kind == ParsedCommandLine::Kind::Flash, qPrintable(parsed.error));
        QCOMPARE(portsText(parsed.request.ports), ports);
        QCOMPARE(parsed.request.firmwarePath, file);
        QCOMPARE(parsed.request.check, check);
        QCOMPARE(parsed.request.logPath, log);
    }

    void refuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error"); // a part of the message

        const QString fw = QStringLiteral("fw.txt");
        QTest::newRow("nothing") << QStringList{} << "no port";
        QTest::newRow("no file") << QStringList{"--port", "1"} << "no firmware file";
        QTest::newRow("port 0") << QStringList{"--port", "0", "--file", fw} << "'0' is not a port";
        QTest::newRow("port 17") << QStringList{"--port", "17", "--file", fw} << "'17' is not a port";
        QTest::newRow("negative") << QStringList{"--port", "-3", "--file", fw} << "'-3' is not a port";
        QTest::newRow("sign") << QStringList{"--port", "+3", "--file", fw} << "'+3' is not a port";
        QTest::newRow("blank") << QStringList{"--port", " 3", "--file", fw} << "' 3' is not a port";
        QTest::newRow("hex") << QStringList{"--port", "0x3", "--file", fw} << "'0x3' is not a port";
        QTest::newRow("relative name") << QStringList{"--port", "ttyUSB0", "--file", fw} << "is not a port";
        QTest::newRow("range past 16") << QStringList{"--port", "8-17", "--file", fw} << "'8-17' is not a port";
        QTest::newRow("open range") << QStringList{"--port", "3-", "--file", fw} << "'3-' is not a port";
        QTest::newRow("two dashes") << QStringList{"--port", "1-2-3", "--file", fw} << "'1-2-3' is not a port";
        QTest::newRow("backwards") << QStringList{"--port", "8-1", "--file", fw} << "runs backwards";
        QTest::newRow("twice") << QStringList{"--port", "2", "--port", "2", "--file", fw}
                               << "port 2 is given more than once";
        QTest::newRow("overlapping ranges")
            << QStringList{"--port", "1-4", "--port", "4-6", "--file", fw} << "port 4 is given more than once";
        QTest::newRow("path twice") << QStringList{"--port", "/dev/a", "--port", "/dev/a", "--file", fw}
                                    << "port /dev/a is given more than once";
        QTest::newRow("port without value") << QStringList{"--file", fw, "--port"} << "--port needs a value";
        QTest::newRow("empty value") << QStringList{"--port=", "--file", fw} << "--port needs a value";
        QTest::newRow("two files") << QStringList{"--port", "1", "--file", fw, "--file", fw}
                                   << "--file is given more than once";
        QTest::newRow("unknown option") << QStringList{"--port", "1", "--file", fw, "--force"}
                                        << "unknown option '--force'";
        QTest::newRow("stray argument") << QStringList{"--port", "1", "--file", fw, "extra"}
                                        << "unexpected argument 'extra'";
        QTest::newRow("control character shown")
            << QStringList{"--port", "1\n2", "--file", fw} << "'1\\x0a2' is not a port";
        QTest::newRow("value on a switch")
            << QStringList{"--port", "1", "--file", fw, "--check=yes"} << "--check takes no value";
    }

    void refuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        const ParsedCommandLine parsed = parseFlashArguments(arguments);
        QCOMPARE(parsed.kind, ParsedCommandLine::Kind::Error);
        QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
    }

    void helpAndVersionWinOverMissingArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<ParsedCommandLine::Kind>("kind");
        QTest::newRow("--help") << QStringList{"--help"} << ParsedCommandLine::Kind::Help;
        QTest::newRow("-h with a port") << QStringList{"--port", "1", "-h"} << ParsedCommandLine::Kind::Help;
        QTest::newRow("--version") << QStringList{"--version"} << ParsedCommandLine::Kind::Version;
        QTest::newRow("-V") << QStringList{"-V"} << ParsedCommandLine::Kind::Version;
    }

    void helpAndVersionWinOverMissingArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(ParsedCommandLine::Kind, kind);
        QCOMPARE(parseFlashArguments(arguments).kind, kind);
    }
};

QTEST_GUILESS_MAIN(FlashArgumentsTest)
#include "tst_flash_arguments.moc"
