// The production log: how a line is written, and that it stays whole.

#include "log/ProductionLog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

class ProductionLogTest : public QObject
{
    Q_OBJECT

private slots:
    void line_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("expected"); // from the port to the reply

        QTest::newRow("plain") << "3"
                               << "/fw/a.txt" << QByteArray("OK!")
                               << QByteArray("3,/dev/ttyS2,9600,/fw/a.txt,ab,20,pass,OK!,");
        QTest::newRow("comma and quote quoted")
            << "/dev/x"
            << "/fw/a,\"b\".txt" << QByteArray("ER")
            << QByteArray("/dev/x,/dev/ttyS2,9600,\"/fw/a,\"\"b\"\".txt\",ab,20,pass,ER,");
        QTest::newRow("control bytes visible")
            << "3"
            << "/fw/a.txt" << QByteArray("OK!\r\n\x01\\", 7)
            << QByteArray("3,/dev/ttyS2,9600,/fw/a.txt,ab,20,pass,OK!\\r\\n\\x01\\\\,");
        QTest::newRow("reply with a comma")
            << "3"
            << "/fw/a.txt" << QByteArray("C:1,2") << QByteArray("3,/dev/ttyS2,9600,/fw/a.txt,ab,20,pass,\"C:1,2\",");
    }

    void line()
    {
        QFETCH(QString, port);
        QFETCH(QString, file);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, expected);
        AttemptRecord record;
        record.started = QDateTime(QDate(2026, 12, 10), QTime(9, 5, 1, 20), QTimeZone(-3 * 3600 - 1800));
        record.port = port;
        record.devicePath = QStringLiteral("/dev/ttyS2");
        record.rate = QStringLiteral("9600");
        record.firmwarePath = file;
        record.firmwareSha256 = "ab";
        record.bytesSent = 20;
        record.result = QStringLiteral("pass");
        record.reply = reply;
        record.version = 255;
        record.durationMs = 4321;
        QCOMPARE(ProductionLog::csvLine(record), "2026-12-10T09:05:01.020-03:30," + expected + "255,4321\n");
    }

    void headerOnlyWhenNew()
    {
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("log.csv"));
        AttemptRecord record;
        record.started = QDateTime::currentDateTime();
        for (int run = 0; run < 2; ++run) {
            QString reason;
            std::unique_ptr<ProductionLog> log = ProductionLog::open(path, &reason);
            QVERIFY2(log, qPrintable(reason));
            QVERIFY(log->append(record));
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.startsWith(ProductionLog::Header));
        QCOMPARE(text.count(ProductionLog::Header), 1);
        QCOMPARE(text.count('\n'), 3);
    }

    void refusesWhatCannotBeOpened()
    {
        QString reason;
        QVERIFY(!ProductionLog::open(QStringLiteral("/nonexistent-directory/log.csv"), &reason));
        QVERIFY2(reason.contains(QStringLiteral("/nonexistent-directory/log.csv")), qPrintable(reason));
    }
};

QTEST_GUILESS_MAIN(ProductionLogTest)
#include "tst_production_log.moc"
