// The downloader window with --log: a production log line for each download
// and each version query, and a log that cannot be opened told at start.

#include "support/SimFixture.h"

#include "downloader/Form1.h"
#include "log/ProductionLog.h"
#include "ui/Module1.h"

#include <QCryptographicHash>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

class WindowLogTest : public QObject
{
    Q_OBJECT

private slots:
    void aLineForEachDownloadAndQuery()
    {
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("production.csv"));
        SimFixture fixture;
        fixture.device.setOwnRate(19200);
        fixture.device.setVersion(9);
        fixture.program = std::make_unique<Program>(fixture.resolver);
        QVERIFY(fixture.program->openProductionLog(path));
        fixture.program->start();
        Module1::PortNumber = 1;
        Module1::BaudRate = QStringLiteral("19200");
        fixture.program->handOffToDownloader();
        Form1 &window = *fixture.form1();
        const QByteArray firmware = ":-:::::-\r\n:00000001FF\r\n";
        const QString firmwarePath = writeTempFile(QStringLiteral("logged.txt"), firmware);
        window.loadFirmwareFile(firmwarePath);

        QTest::mouseClick(window.Command3, Qt::LeftButton);
        QTest::mouseClick(window.Command7, Qt::LeftButton);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 4); // the header, two lines, and nothing after the last
        QCOMPARE(lines.at(0) + '\n', ProductionLog::Header);
        QVERIFY(lines.at(3).isEmpty());
        const QByteArray sha256 = QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex();
        const QByteArray start = "1," + fixture.device.portPath().toLocal8Bit() + ",19200," + firmwarePath.toLocal8Bit()
                                 + ',' + sha256 + ',';
        // From the port to the version; the time and the duration vary.
        const auto fixedPart = [](const QByteArray &line) { return line.split(',').mid(1, 9).join(',') + ','; };
        QCOMPARE(fixedPart(lines.at(1)), start + "21,pass,OK!,,");
        QCOMPARE(fixedPart(lines.at(2)), start + "0,version,,9,");
    }

    void aLogThatCannotBeOpenedIsToldAtStart()
    {
        SimFixture fixture;
        fixture.program = std::make_unique<Program>(fixture.resolver);
        QVERIFY(!fixture.program->openProductionLog(QStringLiteral("/nonexistent-directory/production.csv")));
        QCOMPARE(fixture.boxes.boxes().size(), 1);
        QCOMPARE(fixture.boxes.boxes().first().title, QStringLiteral("Information"));
        QVERIFY2(fixture.boxes.texts().first().contains(QStringLiteral("/nonexistent-directory/production.csv")),
                 qPrintable(fixture.boxes.texts().first()));
    }
};

QTEST_MAIN(WindowLogTest)
#include "tst_window_log.moc"
