// Device after device through one downloader window, as on a production
// bench: passes alternate with every kind of failure a device gives, and
// after a warm-up nothing may creep: resident memory, open descriptors, live
// timers and the windows' child objects stay flat, and every verdict is the
// one its device was set to give.
//
// TARVIK_ENDURANCE_DOWNLOADS sets the number of downloads (default 20);
// scripts/soak runs a thousand.

#include "support/SimFixture.h"

#include "connect/Form2.h"
#include "downloader/Form1.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace {

using Reply = SimulatedDevice::Reply;

const QByteArray SmallImage = ":-:::::-\r\n:10000000C67EDFB871EC1ED19CE6CE9D52AA827EE0\r\n:00000001FF\r\n";

struct Kind
{
    const char *name;
    Reply reply;
    bool passes;
};

QList<Kind> kinds()
{
    Reply silent;
    silent.silent = true;
    Reply refused;
    refused.text = QByteArray("ER");
    Reply pieces;
    pieces.pieceSize = 1;
    pieces.pieceGapMs = 60;
    Reply noise;
    noise.text = QByteArray("\x13\xfe\x00O\x8bK!\xff", 8);
    return {{"pass", Reply(), true},
            {"silence", silent, false},
            {"ER", refused, false},
            {"pieces", pieces, true},
            {"noise", noise, false}};
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSanitizerBuild = true;
#else
constexpr bool AddressSanitizerBuild = false;
#endif

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

qsizetype openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

struct Measures
{
    qint64 residentKiB = 0;
    qsizetype descriptors = 0;
    qsizetype timers = 0;
    qsizetype downloaderChildren = 0;
    qsizetype connectionChildren = 0;
};

Measures measure(Form1 &downloader, Form2 &connection)
{
    QList<QObject *> objects{&downloader, &connection, &downloader.Timer1, &downloader.MSComm1,
                             &connection.Timer1, &connection.MSComm1};
    objects += downloader.findChildren<QObject *>();
    objects += connection.findChildren<QObject *>();
    objects += downloader.MSComm1.findChildren<QObject *>();
    qsizetype timers = 0;
    for (QObject *object : std::as_const(objects))
        timers += QAbstractEventDispatcher::instance()->registeredTimers(object).size();
    return {residentKiB(), openDescriptors(), timers, downloader.findChildren<QObject *>().size(),
            connection.findChildren<QObject *>().size()};
}

} // namespace

class EnduranceTest : public QObject
{
    Q_OBJECT

private slots:
    void deviceAfterDeviceNothingCreeps()
    {
        const int downloads = qEnvironmentVariableIsSet("TARVIK_ENDURANCE_DOWNLOADS")
            ? qEnvironmentVariableIntValue("TARVIK_ENDURANCE_DOWNLOADS")
            : 20;
        const QList<Kind> plan = kinds();
        const int warmUp = int(plan.size()); // one download of each kind
        QVERIFY(downloads > warmUp);

        SimFixture fixture;
        Form1 &window = fixture.openDownloaderWindow();
        fixture.loadFirmware(SmallImage);

        Measures before;
        int wrong = 0;
        for (int i = 0; i < downloads; ++i) {
            if (i == warmUp)
                before = measure(window, fixture.form2());
            const Kind &kind = plan[i % plan.size()];
            fixture.device.setImageReply(kind.reply);
            QTest::mouseClick(window.Command3, Qt::LeftButton);
            const QString expected = kind.passes ? QStringLiteral("Pass!") : QStringLiteral("Fail");
            if (window.Label3[1]->text() != expected || !window.Command3->isEnabled()) {
                ++wrong;
                qWarning("download %d (%s): shows \"%s\"", i + 1, kind.name, qPrintable(window.Label3[1]->text()));
            }
        }
        const Measures after = measure(window, fixture.form2());

        std::printf("endurance: %d downloads, %d wrong verdicts; after the warm-up: resident %lld -> %lld KiB "
                    "(%+lld), descriptors %lld -> %lld, timers %lld -> %lld, children %lld/%lld -> %lld/%lld\n",
                    downloads, wrong, before.residentKiB, after.residentKiB, after.residentKiB - before.residentKiB,
                    qint64(before.descriptors), qint64(after.descriptors), qint64(before.timers),
                    qint64(after.timers), qint64(before.downloaderChildren), qint64(before.connectionChildren),
                    qint64(after.downloaderChildren), qint64(after.connectionChildren));
        std::fflush(stdout);

        QCOMPARE(wrong, 0);
        // AddressSanitizer holds freed memory back in its quarantine on
        // purpose, so resident memory grows there whatever the program does;
        // its leak check stands in for this one in that build.
        if (!AddressSanitizerBuild)
            QVERIFY2(after.residentKiB - before.residentKiB <= 1024, "resident memory grew by more than 1 MiB");
        QCOMPARE(after.descriptors, before.descriptors);
        QCOMPARE(after.timers, before.timers);
        QCOMPARE(after.downloaderChildren, before.downloaderChildren);
        QCOMPARE(after.connectionChildren, before.connectionChildren);
        QVERIFY(fixture.boxes.texts().isEmpty());
    }
};

QTEST_MAIN(EnduranceTest)
#include "tst_endurance.moc"
