// A failure that no procedure handles: the operator is told, the ports are
// closed, and the program ends with a non-zero status and without a crash.
// The program runs as a child process so that its real exit can be watched.

#include "support/SimFixture.h"

#include "app/Module1.h"
#include "connect/Form2.h"
#include "downloader/Form1.h"

#include <QApplication>
#include <QProcess>
#include <QTest>

#include <cstdio>

namespace {

// The child: the downloader window open on the simulated device, then a tick
// that overflows the counter inside the running program.
int runChild(int argc, char *argv[])
{
    QApplication application(argc, argv);
    SimFixture fixture;
    Form1 &window = fixture.openDownloaderWindow();
    Module1::TickCount = 32767;
    window.Timer1.start();
    const int status = fixture.program->exec();
    for (const MessageBoxCatcher::Box &box : fixture.boxes.boxes())
        std::printf("box: %s | %s\n", qPrintable(box.title), qPrintable(box.text));
    std::printf("downloader port open: %d\n", window.MSComm1.PortOpen());
    std::printf("windows visible: %d %d\n", window.isVisible(), fixture.form2().isVisible());
    return status;
}

} // namespace

class DefaultHandlingTest : public QObject
{
    Q_OBJECT

private slots:
    void unhandledFailureEndsTheProgramCleanly()
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
        QVERIFY(child.waitForFinished(30000));
        const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit); // no crash, no core dump
        QCOMPARE(child.exitCode(), 1);
        QVERIFY2(output.contains("box: Information | Error 6: Overflow"), qPrintable(output));
        QVERIFY2(output.contains("downloader port open: 0"), qPrintable(output));
        QVERIFY2(output.contains("windows visible: 0 0"), qPrintable(output));
    }
};

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    QApplication application(argc, argv);
    DefaultHandlingTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_default_handling.moc"
