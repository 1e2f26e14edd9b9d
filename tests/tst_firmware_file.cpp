// Reading a firmware file and checking its marker line, as pure functions
// and through "Open File" on the downloader window.

#include "support/SimFixture.h"

#include "engine/FirmwareFile.h"
#include "downloader/Form1.h"

#include "base/SystemPath.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class FirmwareFileTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("passed");

        QTest::newRow("empty file") << QByteArray() << QByteArray() << false;
        QTest::newRow("marker and two lines, CR LF")
            << QByteArray(":-:::::-\r\nA1\r\nB2\r\n") << QByteArray(":-:::::-\rA1\rB2\r") << true;
        QTest::newRow("marker and two lines, CR")
            << QByteArray(":-:::::-\rA1\rB2\r") << QByteArray(":-:::::-\rA1\rB2\r") << true;
        QTest::newRow("last line without terminator")
            << QByteArray(":-:::::-\r\nA1\r\nB2") << QByteArray(":-:::::-\rA1\rB2\r") << true;
        QTest::newRow("empty line kept") << QByteArray(":-:::::-\r\rX") << QByteArray(":-:::::-\r\rX\r") << true;
        QTest::newRow("three characters") << QByteArray(":-:\r") << QByteArray(":-:\r") << false;
        QTest::newRow("four characters") << QByteArray(":-::\r") << QByteArray(":-::\r") << false;
        QTest::newRow("five characters") << QByteArray(":-:::\r") << QByteArray(":-:::\r") << false;
        QTest::newRow("six characters") << QByteArray(":-:::-\r") << QByteArray(":-:::-\r") << true;
        QTest::newRow("seven characters") << QByteArray(":-::::-\r") << QByteArray(":-::::-\r") << true;
        QTest::newRow("longer line, right ends")
            << QByteArray(":-:: firmware 2.1 :::-\r\n") << QByteArray(":-:: firmware 2.1 :::-\r") << true;
        QTest::newRow("leading blank") << QByteArray(" :-:::::-\r\n") << QByteArray(" :-:::::-\r") << false;
        QTest::newRow("trailing blank") << QByteArray(":-:::::- \r\n") << QByteArray(":-:::::- \r") << false;
        QTest::newRow("marker and two lines, LF")
            << QByteArray(":-:::::-\nA1\nB2\n") << QByteArray(":-:::::-\rA1\rB2\r") << true;
        QTest::newRow("empty line kept, LF") << QByteArray(":-:::::-\n\nX\n") << QByteArray(":-:::::-\r\rX\r") << true;
        QTest::newRow("marker from echo, records with CR LF and CR")
            << QByteArray(":-:::::-\n:00000001FF\r\nA1\rB2") << QByteArray(":-:::::-\r:00000001FF\rA1\rB2\r") << true;
        QTest::newRow("LF CR is two line ends") << QByteArray(":-:::::-\n\rX") << QByteArray(":-:::::-\r\rX\r") << true;
        QTest::newRow("LF after CR LF is an empty line")
            << QByteArray(":-:::::-\r\n\nB") << QByteArray(":-:::::-\r\rB\r") << true;
        QTest::newRow("LF ends the checked line")
            << QByteArray(":-::\nA1\n:::-") << QByteArray(":-::\rA1\r:::-\r") << false;
        QTest::newRow("marker on the second line")
            << QByteArray("hello\r\n:-:::::-\r\n") << QByteArray("hello\r:-:::::-\r") << false;
        QTest::newRow("bytes above 127 and NUL kept")
            << QByteArray(":-:::::-\r\n\x00\xff\x80z\r\n", 16) << QByteArray(":-:::::-\r\x00\xff\x80z\r", 14) << true;
    }

    void parse()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, text);
        QFETCH(bool, passed);
        const FirmwareFile::Image image = FirmwareFile::parse(file);
        QCOMPARE(image.text, text);
        QCOMPARE(image.passed, passed);
    }

    void unreadableFileGivesNothing()
    {
        QVERIFY(!FirmwareFile::readBytes(QStringLiteral("/nonexistent/firmware.txt")));
        QVERIFY(!FirmwareFile::readBytes(QDir::tempPath())); // a directory
    }

    // Only a regular file of at most 64 MiB is firmware: a device or a FIFO
    // would be read for ever (or wait for a writer), and nothing past the
    // limit is read. Each is refused at once, with its reason.
    void onlyARegularFileOfSensibleSizeIsRead_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("read");
        QTest::newRow("endless device") << "/dev/zero" << "not a regular file" << false;
        QTest::newRow("FIFO") << "fifo" << "not a regular file" << false;
        QTest::newRow("folder") << "folder" << "it is a folder" << false;
        QTest::newRow("one byte over the limit") << "over" << "larger than 64 MiB" << false;
        QTest::newRow("exactly the limit") << "limit" << "" << true;
        QTest::newRow("name that is no UTF-8") << "not utf-8" << "" << true;
    }

    void onlyARegularFileOfSensibleSizeIsRead()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QFETCH(bool, read);
        QTemporaryDir folder;
        QString path = kind;
        QByteArray unlinkAfter;
        if (kind == "fifo") {
            path = folder.filePath(kind);
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == "folder") {
            path = folder.path();
        } else if (kind == "over" || kind == "limit") {
            path = folder.filePath(kind);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            // Sparse: no disk is spent on the zeros.
            QVERIFY(file.resize(FirmwareFile::MaxFileBytes + (kind == "over" ? 1 : 0)));
        } else if (kind == "not utf-8") {
            unlinkAfter = QFile::encodeName(folder.path()) + "/fw-\xff.txt";
            const QByteArray source = QFile::encodeName(writeTempFile("plain.txt", ":-:::::-\r\n"));
            QCOMPARE(::symlink(source.constData(), unlinkAfter.constData()), 0);
            path = systemTextFromBytes(unlinkAfter);
        }
        QString why;
        const std::optional<QByteArray> bytes = FirmwareFile::readBytes(path, &why);
        if (!unlinkAfter.isEmpty())
            ::unlink(unlinkAfter.constData());
        QCOMPARE(bytes.has_value(), read);
        if (!read)
            QVERIFY2(why.contains(reason), qPrintable(why));
        if (kind == "limit")
            QCOMPARE(bytes->size(), FirmwareFile::MaxFileBytes);
    }

    void loadingIsLinear()
    {
        // 10 MB of records must load in well under a second.
        QByteArray big = SimFixture::exampleFirmware();
        while (big.size() < 10 * 1024 * 1024)
            big += big.mid(10);
        QElapsedTimer clock;
        clock.start();
        const FirmwareFile::Image image = FirmwareFile::parse(big);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(image.passed);
        QCOMPARE(image.text.count('\r'), big.count('\r'));
    }

    void openFileShowsTheCheck()
    {
        SimFixture fixture;
        Form1 &window = fixture.loadDownloaderWindow();

        // A failed file: red "Fail", "Open File" stays, the prompt asks for a file.
        window.loadFirmwareFile(writeTempFile("bad.txt", "hello\r\n:-:::::-\r\n"));
        QCOMPARE(window.Label3[0]->text(), QStringLiteral("Fail"));
        QCOMPARE(window.Label3[0]->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QVERIFY(window.Command2->isEnabled());
        QVERIFY(!window.Command3->isEnabled());
        QCOMPARE(window.Label2->text(), QStringLiteral("Open File"));
        QCOMPARE(window.Label3[1]->text(), QString()); // the download indicator is left alone

        // An unreadable file changes nothing, nor does a device that never
        // ends.
        for (const QString &unreadable : {QStringLiteral("/nonexistent/firmware.txt"), QStringLiteral("/dev/zero")}) {
            window.loadFirmwareFile(unreadable);
            QCOMPARE(window.Label3[0]->text(), QStringLiteral("Fail"));
            QVERIFY(window.FileText.isEmpty());
        }

        // A good file after the failed one: only its text is kept.
        window.loadFirmwareFile(writeTempFile("good.txt", ":-:::::-\r\n:00000001FF\r\n"));
        QCOMPARE(window.FileText, QByteArray(":-:::::-\r:00000001FF\r"));
        QCOMPARE(window.Label3[0]->text(), QStringLiteral("Pass!"));
        QCOMPARE(window.Label3[0]->palette().color(QPalette::WindowText), QColor(0, 255, 0));
        QVERIFY(!window.Command2->isEnabled());
        QVERIFY(window.Command3->isEnabled());
        QCOMPARE(window.Label2->text(), QStringLiteral("Push <Download Flash> for next one"));
    }

    void openFileDialog()
    {
        SimFixture fixture;
        Form1 &window = fixture.loadDownloaderWindow();
        const QString path = writeTempFile("dialog.txt", ":-:::::-\r\nX\r\n");

        // First the operator cancels, then picks the file.
        QStringList filters;
        // Answers the dialog, again on every poll until it has closed: the
        // dialog may still be reading the folder when first asked.
        const auto answer = [&filters](const QString &choice) {
            auto poll = std::make_unique<QTimer>();
            poll->setInterval(20);
            QObject::connect(poll.get(), &QTimer::timeout, qApp, [&filters, choice] {
                auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                if (!dialog)
                    return;
                filters = dialog->nameFilters();
                if (choice.isEmpty()) {
                    dialog->reject();
                } else {
                    auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
                    QVERIFY(name);
                    name->setText(choice);
                    QTest::keyClick(name, Qt::Key_Return);
                }
            });
            poll->start();
            return poll;
        };
        auto answering = answer(QString());
        QTest::mouseClick(window.Command2, Qt::LeftButton);
        answering.reset();
        QCOMPARE(filters, QStringList{"*.txt (*.txt)"});
        QCOMPARE(window.Label3[0]->text(), QString());
        QCOMPARE(window.Label2->text(), QStringLiteral("Open File"));
        QVERIFY(window.Command2->isEnabled());
        QVERIFY(window.FileText.isEmpty());

        answering = answer(path);
        QTest::mouseClick(window.Command2, Qt::LeftButton);
        answering.reset();
        QCOMPARE(window.FileText, QByteArray(":-:::::-\rX\r"));
        QCOMPARE(window.Label3[0]->text(), QStringLiteral("Pass!"));
    }
};

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    FirmwareFileTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_firmware_file.moc"
