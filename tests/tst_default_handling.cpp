// How the program ends. A failure that no procedure handles: the operator is
// told, the ports are closed, and the program ends with a non-zero status and
// without a crash. The operator closing the last window: status 0. The
// program runs as a child process so that its real exit can be watched.

#include "support/SimFixture.h"

#include "ui/Module1.h"
#include "connect/Form2.h"
#include "downloader/Form1.h"

#include <QApplication>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace {

// The child: the downloader window open on the simulated device, then a tick
// that overflows the counter inside the running program.
int runFailingChild(int argc, char *argv[])
{
    QApplication application(argc, argv);
    SimFixture fixture;
    Form1 &window = fixture.openDownloaderWindow();
    window.TickCount = 32767;
    window.Timer1.start();
    const int status = fixture.program->exec();
    for (const MessageBoxCatcher::Box &box : fixture.boxes.boxes())
        std::printf("box: %s | %s\n", qPrintable(box.title), qPrintable(box.text));
    std::printf("downloader port open: %d\n", window.MSComm1.PortOpen());
    std::printf("windows visible: %d %d\n", window.isVisible(), fixture.form2().isVisible());
    return status;
}

// The child: the operator closes the downloader window in the middle of a
// download's wait.
int runClosingChild(int argc, char *argv[])
{
    QApplication application(argc, argv);
    SimFixture fixture;
    Form1 &window = fixture.openDownloaderWindow();
    fixture.loadFirmware(":-:::::-\r\n:00000001FF\r\n");
    QTimer::singleShot(0, &window, [&window] { window.Command3->click(); });
    QTimer::singleShot(1200, &window, [&window] { window.close(); });
    const int status = fixture.program->exec();
    std::printf("downloader port open: %d\n", window.MSComm1.PortOpen());
    std::printf("boxes: %lld\n", static_cast<long long>(fixture.boxes.boxes().size()));
    return status;
}

QString runChild(const QString &mode, int expectedStatus)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {mode});
    if (!child.waitForFinished(30000))
        return QStringLiteral("child did not end");
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    if (child.exitStatus() != QProcess::NormalExit) // a crash or a core dump
        return QStringLiteral("child crashed: ") + output;
    if (child.exitCode() != expectedStatus)
        return QStringLiteral("child ended with %1: %2").arg(child.exitCode()).arg(output);
    return output;
}

} // namespace

class DefaultHandlingTest : public QObject
{
    Q_OBJECT

private slots:
    void unhandledFailureEndsTheProgramCleanly()
    {
        const QString output = runChild(QStringLiteral("--child"), 1);
        QVERIFY2(output.contains("box: Information | Error 6: Overflow"), qPrintable(output));
        QVERIFY2(output.contains("downloader port open: 0"), qPrintable(output));
        QVERIFY2(output.contains("windows visible: 0 0"), qPrintable(output));
    }

    void closingTheLastWindowEndsTheProgram()
    {
        const QString output = runChild(QStringLiteral("--closing-child"), 0);
        QVERIFY2(output.contains("downloader port open: 0"), qPrintable(output));
        QVERIFY2(output.contains("boxes: 0"), qPrintable(output));
    }
};

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0)
        return runFailingChild(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--closing-child") == 0)
        return runClosingChild(argc, argv);
    QApplication application(argc, argv);
    DefaultHandlingTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_default_handling.moc"
