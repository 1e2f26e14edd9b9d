// The production log: how a line is written, and that it stays whole.

#include "log/ProductionLog.h"
#include "support/CommandFixture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

AttemptRecord someRecord()
{
    AttemptRecord record;
    record.started = QDateTime(QDate(2026, 12, 10), QTime(9, 5, 1, 20), QTimeZone(3600));
    record.port = QStringLiteral("3");
    record.devicePath = QStringLiteral("/dev/ttyS2");
    record.rate = QStringLiteral("9600");
    record.firmwarePath = QStringLiteral("/fw/a.txt");
    record.firmwareSha256 = "ab";
    record.bytesSent = 20121;
    record.result = QStringLiteral("pass");
    record.reply = "OK!";
    record.durationMs = 5300;
    return record;
}

QByteArray readWhole(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void writeWhole(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    QVERIFY(file.open(mode));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

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
        QTest::newRow("formula reply neutralised")
            << "3"
            << "/fw/a.txt" << QByteArray("=1+2") << QByteArray("3,/dev/ttyS2,9600,/fw/a.txt,ab,20,pass,\"'=1+2\",");
        QTest::newRow("path with a line end and an escape")
            << "3"
            << "/fw/a\n\x1b[2J.txt" << QByteArray("OK!")
            << QByteArray("3,/dev/ttyS2,9600,/fw/a\\n\\x1b[2J.txt,ab,20,pass,OK!,");
        QTest::newRow("UTF-8 path as it is") << "3"
                                             << "/fw/prüfung.txt" << QByteArray("OK!")
                                             << QByteArray("3,/dev/ttyS2,9600,/fw/prüfung.txt,ab,20,pass,OK!,");
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
        QCOMPARE(ProductionLog::csvLine(record), "2026-12-10T09:05:01.020-03:30," + expected + "255,4321,\n");
    }

    // Whatever a device answers and whatever a path holds, the record is one
    // line, no cell opens a formula, and every field reads back as it was.
    void hostileFieldsStayOneSafeLine_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("formula") << QByteArray("=HYPERLINK(\"http://x\",\"y\")");
        QTest::newRow("plus") << QByteArray("+41 1 555");
        QTest::newRow("minus") << QByteArray("-2+3");
        QTest::newRow("at") << QByteArray("@SUM(A1:A9)");
        QTest::newRow("tab") << QByteArray("\t=1");
        QTest::newRow("carriage return") << QByteArray("\r=1");
        QTest::newRow("single quote first") << QByteArray("'=1");
        QTest::newRow("line ends inside") << QByteArray("a\r\nb\nc");
        QTest::newRow("escape sequence") << QByteArray("\x1b[2J\x07");
        QTest::newRow("literal backslash escapes") << QByteArray("C:\\x41\\n");
        QTest::newRow("quotes and commas") << QByteArray("\"a\",\"b\"");
        QTest::newRow("UTF-8") << QByteArray("prüfung");
    }

    void hostileFieldsStayOneSafeLine()
    {
        QFETCH(QByteArray, text);
        AttemptRecord record = someRecord();
        const QString asText = QString::fromUtf8(text);
        record.port = asText;
        record.devicePath = asText;
        record.firmwarePath = asText;
        record.reply = text;
        record.serial = asText;
        const QByteArray line = ProductionLog::csvLine(record);

        QCOMPARE(line.count('\n'), 1);
        QVERIFY(line.endsWith('\n'));
        QVERIFY(!line.contains('\r'));
        const QList<QByteArray> cells = csvCells(line.chopped(1));
        QCOMPARE(cells.size(), 12);
        QVERIFY2(noCellOpensAFormula(cells), line.constData());
        for (const int column : {1, 2, 4, 8, 11}) // port, device, file, reply, serial
            QCOMPARE(readBackCell(cells.at(column)), text);
    }

    // A log whose last line has no line end (a power cut in the middle of a
    // write, a line typed by hand, another station's accident while this
    // one had the log open) keeps every byte: the line is closed with a line
    // end before the next record, on opening or before the next line.
    void anUnfinishedLastLineIsClosedNotRemoved_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("fragment"); // the unfinished line's length, 0 for none
        QTest::addColumn<bool>("whileOpen");

        const QByteArray line = ProductionLog::csvLine(someRecord());
        const QByteArray earlier = ProductionLog::Header + line;
        for (const bool whileOpen : {false, true}) {
            const char *when = whileOpen ? "while open" : "on opening";
            QTest::addRow("whole lines, %s", when) << earlier << 0 << whileOpen;
            QTest::addRow("a cut line after whole lines, %s", when) << earlier + line.first(25) << 25 << whileOpen;
            QTest::addRow("a line cut after its comma, %s", when) << earlier + "2026," << 5 << whileOpen;
            QTest::addRow("a record typed without its line end, %s", when)
                << earlier + line.chopped(1) << int(line.size() - 1) << whileOpen;
        }
        QTest::newRow("only the header") << ProductionLog::Header << 0 << false;
        QTest::newRow("a long unfinished line")
            << ProductionLog::Header + QByteArray(10000, 'x') << 10000 << false; // more than a block read back
        QTest::newRow("empty") << QByteArray() << 0 << false;
    }

    void anUnfinishedLastLineIsClosedNotRemoved()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, fragment);
        QFETCH(bool, whileOpen);
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("log.csv"));
        writeWhole(path, whileOpen ? ProductionLog::Header : before);

        QString reason;
        qint64 fragmentOnOpening = -1;
        const std::unique_ptr<ProductionLog> log = ProductionLog::open(path, &reason, &fragmentOnOpening);
        QVERIFY2(log, qPrintable(reason));
        if (whileOpen) {
            QCOMPARE(fragmentOnOpening, qint64(0));
            writeWhole(path, before.sliced(ProductionLog::Header.size()), QIODevice::Append);
        } else {
            QCOMPARE(fragmentOnOpening, qint64(fragment));
        }
        const QByteArray kept = before.isEmpty() ? ProductionLog::Header : before;
        const QByteArray closed = fragment > 0 ? kept + '\n' : kept;
        if (!whileOpen)
            QCOMPARE(readWhole(path), closed); // closed as it is opened, before any line
        const AttemptRecord record = someRecord();
        QVERIFY(log->append(record));
        QVERIFY(log->append(record));
        QCOMPARE(readWhole(path), closed + ProductionLog::csvLine(record) + ProductionLog::csvLine(record));
    }

    // A file that is not empty and does not begin with the log's header line
    // is some other file named by mistake: it is refused, named, and left
    // byte for byte as it was.
    void aFileThatIsNoLogIsRefusedUntouched_data()
    {
        QTest::addColumn<QByteArray>("contents");
        const QByteArray line = ProductionLog::csvLine(someRecord());
        QTest::newRow("bytes without a line end") << QByteArray(99603, '\x01');
        QTest::newRow("another CSV file") << QByteArray("name,size\nfirmware.txt,20121\n");
        QTest::newRow("lines without the header") << line + line;
        QTest::newRow("a cut header") << ProductionLog::Header.first(13);
        QTest::newRow("the header without its line end") << ProductionLog::Header.chopped(1);
        QTest::newRow("another header's columns") << "time,port\n" + line;
        QTest::newRow("one byte") << QByteArray("\n");
    }

    void aFileThatIsNoLogIsRefusedUntouched()
    {
        QFETCH(QByteArray, contents);
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("firmware notes.txt"));
        writeWhole(path, contents);

        QString reason;
        qint64 fragment = -1;
        QVERIFY(!ProductionLog::open(path, &reason, &fragment));
        QVERIFY2(reason.contains(path) && reason.contains(QStringLiteral("is not a production log")),
                 qPrintable(reason));
        QCOMPARE(fragment, qint64(0));
        QCOMPARE(readWhole(path), contents);
    }

    // A line the file does not take whole (here a file size limit, as a full
    // disk does) is reported with the reason and leaves no part of itself;
    // the next line, once there is room, is whole and follows the last one.
    void aLineNotWrittenLeavesNothing()
    {
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("log.csv"));
        QString reason;
        const std::unique_ptr<ProductionLog> log = ProductionLog::open(path, &reason);
        QVERIFY2(log, qPrintable(reason));
        const AttemptRecord record = someRecord();
        QVERIFY(log->append(record));
        const QByteArray before = readWhole(path);

        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit limited = saved;
        limited.rlim_cur = rlim_t(before.size() + 10); // room for a piece of the line, not all of it
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool written = log->append(record, &reason);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, SIG_DFL);

        QVERIFY(!written);
        QCOMPARE(reason, QString::fromLocal8Bit(std::strerror(EFBIG)));
        QCOMPARE(readWhole(path), before);
        QVERIFY(log->append(record));
        QCOMPARE(readWhole(path), before + ProductionLog::csvLine(record));
    }

    // /dev/null, or a pipe to a collector: no size to note, no lock, no
    // flush to a disk; the lines go through whole.
    void notARegularFile()
    {
        QString reason;
        std::unique_ptr<ProductionLog> log = ProductionLog::open(QStringLiteral("/dev/null"), &reason);
        QVERIFY2(log, qPrintable(reason));
        QVERIFY2(log->append(someRecord(), &reason), qPrintable(reason));

        QTemporaryDir directory;
        const QString fifo = directory.filePath(QStringLiteral("collector"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
        log = ProductionLog::open(fifo, &reason);
        QVERIFY2(log, qPrintable(reason));
        QVERIFY2(log->append(someRecord(), &reason), qPrintable(reason));
        char buffer[4096];
        const ssize_t got = ::read(reader, buffer, sizeof buffer);
        ::close(reader);
        QCOMPARE(QByteArray(buffer, int(qMax<ssize_t>(got, 0))),
                 ProductionLog::Header + ProductionLog::csvLine(someRecord()));
    }

    // A log begun before the serial column goes on under its own header,
    // its lines as narrow as before; a station that numbers devices refuses
    // it rather than write a column its header does not name.
    void aLogWithoutTheSerialColumn()
    {
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("line-a.csv"));
        AttemptRecord record = someRecord();
        record.serial = QStringLiteral("1042");
        const QByteArray old = ProductionLog::HeaderWithoutSerial + ProductionLog::csvLine(record, false);
        writeWhole(path, old);

        QString reason;
        QVERIFY(!ProductionLog::open(path, &reason, nullptr, true));
        QVERIFY2(reason.contains(path) && reason.contains(QStringLiteral("serial column")), qPrintable(reason));
        QCOMPARE(readWhole(path), old);

        std::unique_ptr<ProductionLog> log = ProductionLog::open(path, &reason);
        QVERIFY2(log, qPrintable(reason));
        QVERIFY(!log->hasSerial());
        QVERIFY(log->append(record));
        QCOMPARE(readWhole(path), old + ProductionLog::csvLine(record, false));

        // A new log has the column, and a number with its fate is one field.
        const QString fresh = directory.filePath(QStringLiteral("line-b.csv"));
        log = ProductionLog::open(fresh, &reason, nullptr, true);
        QVERIFY2(log, qPrintable(reason));
        record.serial = QStringLiteral("00:1A:2B:3C:4D:5E skipped");
        QVERIFY(log->append(record));
        QCOMPARE(readWhole(fresh), ProductionLog::Header + ProductionLog::csvLine(record));
        QVERIFY(ProductionLog::csvLine(record).endsWith(",00:1A:2B:3C:4D:5E skipped\n"));
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
