// The station window against simulated fixtures on real pseudo-terminals:
// its tiles follow each slot from waiting to its verdict and back, the
// header counts, the keyboard starts and stops it, closing it in the middle
// of an image stops and logs every slot, and it lays out and scrolls 64
// slots. The window gets the program's own readers of ports, firmware and
// log, as the program hands them to it.

#include "support/CommandFixture.h"
#include "support/SimFixture.h"

#include "app/StationLaunch.h"
#include "sim/Fixture.h"
#include "station/StationProfile.h"
#include "stationwindow/SlotTile.h"
#include "stationwindow/StationWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

constexpr int PortColumn = 1;
constexpr int BytesColumn = 6;
constexpr int ResultColumn = 7;
constexpr int VersionColumn = 9;

FixtureSchedule schedule(const char *text)
{
    QString error;
    const std::optional<FixtureSchedule> parsed = FixtureSchedule::parse(text, &error);
    if (!parsed)
        qFatal("bad schedule: %s", qPrintable(error));
    return *parsed;
}

// A folder for one test: the example firmware (about 20 KB, well over a
// second on the wire), the log, and the slots' port names.
struct Bench
{
    QTemporaryDir dir;
    QString firmwarePath = dir.filePath(QStringLiteral("firmware.txt"));

    Bench()
    {
        if (!QFile::copy(exampleFirmware(), firmwarePath))
            qFatal("cannot copy the example firmware");
    }
    QString logPath() const { return dir.filePath(QStringLiteral("log.csv")); }
    QString link(int slot) const { return dir.filePath(QStringLiteral("slot%1").arg(slot)); }
};

// Every state each tile showed, in order, each change once.
struct StateTrail
{
    QList<QStringList> states;
    QList<bool> sawProgress;
    QObject context; // ends the recording when the trail goes, whatever the station does after

    StateTrail(const StationWindow &window)
    {
        const Station *station = window.station();
        states.resize(window.tiles().size());
        sawProgress.resize(window.tiles().size());
        QObject::connect(station, &Station::slotChanged, &context, [this, &window](int index) {
            SlotTile *tile = window.tiles().at(index);
            if (states[index].isEmpty() || states[index].last() != tile->stateText())
                states[index].append(tile->stateText());
            if (tile->progressShown())
                sawProgress[index] = true;
        });
    }
};

// Whether `expected` appears in `seen` in this order, other states between.
bool inOrder(const QStringList &seen, const QStringList &expected)
{
    qsizetype at = 0;
    for (const QString &state : seen) {
        if (at < expected.size() && state == expected.at(at))
            ++at;
    }
    return at == expected.size();
}

QList<QByteArray> rowOf(const QList<QList<QByteArray>> &rows, const QString &port)
{
    for (const QList<QByteArray> &row : rows) {
        if (row.value(PortColumn) == port.toUtf8())
            return row;
    }
    return {};
}

QLabel *counts(StationWindow &window)
{
    return window.findChild<QLabel *>(QStringLiteral("counts"));
}

QList<QWidget *> pickers(StationWindow &window)
{
    QList<QWidget *> found;
    for (const char *name : {"firmwareFile", "chooseFirmware", "ports", "logFile", "chooseLog", "checkVersion"})
        found.append(window.findChild<QWidget *>(QLatin1String(name)));
    return found;
}

// Whether the operator can change every picker (`changeable`) or none.
bool allChangeable(const QList<QWidget *> &widgets, bool changeable)
{
    for (QWidget *widget : widgets) {
        if (!widget)
            return false;
        const auto *box = qobject_cast<QLineEdit *>(widget);
        if ((widget->isEnabled() && !(box && box->isReadOnly())) != changeable)
            return false;
    }
    return true;
}

// The port was let go: another program can open it now.
bool portFree(const QString &path)
{
    QSerialPort port(path);
    return port.open(QIODevice::ReadWrite);
}

// Answers the next file dialog with `path`, again on every poll until the
// dialog has closed (it may still be reading the folder when first asked).
std::unique_ptr<QTimer> answerFileDialog(const QString &path)
{
    auto poll = std::make_unique<QTimer>();
    poll->setInterval(20);
    QObject::connect(poll.get(), &QTimer::timeout, qApp, [path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!name)
            return;
        name->setText(path);
        QTest::keyClick(name, Qt::Key_Return);
    });
    poll->start();
    return poll;
}

} // namespace

class StationWindowTest : public QObject
{
    Q_OBJECT

private slots:
    // Four slots side by side: a device that passes and stays, one that
    // refuses its image, a port that does not exist, and a device that comes
    // late and is in the middle of its image when the window is closed.
    void fourSlotsThenClosedInTheMiddleOfAnImage()
    {
        Bench bench;
        Fixture passing(bench.link(1), schedule("rate=38400 version=42 after=keep stay=verdict+90 gap=90"));
        Fixture refusing(bench.link(2), schedule("rate=19200 reply=refuse stay=verdict+90 gap=90"));
        Fixture late(bench.link(4), schedule("rate=57600 after=keep stay=verdict+90 gap=90"));
        passing.start();
        refusing.start();

        StationWindowSetup setup = emptyStationSetup();
        setup.ports = QStringList{bench.link(1), bench.link(2), bench.link(3), bench.link(4)}.join(u',');
        setup.firmwarePath = bench.firmwarePath;
        setup.logPath = bench.logPath();
        setup.check = true;
        auto window = std::make_unique<StationWindow>(std::move(setup));
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QSignalSpy beeps(&window->sound(), &VerdictSound::beeped);

        // F5 starts the station.
        QTest::keyClick(window.get(), Qt::Key_F5);
        QVERIFY(window->running());
        QCOMPARE(window->tiles().size(), 4);
        StateTrail trail(*window);
        const QList<SlotTile *> tiles = window->tiles();

        QTRY_COMPARE_WITH_TIMEOUT(tiles.at(0)->verdictText(), QStringLiteral("PASS"), 30000);
        // The refused image is judged after the device's twelve ticks.
        QTRY_COMPARE_WITH_TIMEOUT(tiles.at(1)->verdictText(), QStringLiteral("FAIL: refused (ER)"), 40000);
        QVERIFY2(inOrder(trail.states.at(0), {"waiting for a device", "found at 38400 baud", "sending",
                                              "awaiting the verdict", "asking the version", "remove the device"}),
                 qPrintable(trail.states.at(0).join(" / ")));
        QVERIFY(trail.sawProgress.at(0));

        // Colour, words, and what a screen reader hears, agree.
        const QColor pass = tiles.at(0)->verdictColour();
        const QColor fail = tiles.at(1)->verdictColour();
        QVERIFY2(pass.green() > 150 && pass.red() < 100, qPrintable(pass.name()));
        QVERIFY2(fail.red() > 150 && fail.green() < 100, qPrintable(fail.name()));
        QCOMPARE(tiles.at(0)->stateText(), QStringLiteral("remove the device"));
        QVERIFY2(tiles.at(0)->accessibleDescription().contains(QStringLiteral("Verdict: PASS")),
                 qPrintable(tiles.at(0)->accessibleDescription()));
        QVERIFY(tiles.at(0)->accessibleDescription().contains(QStringLiteral("Version 42")));
        QVERIFY(tiles.at(0)->lastText().contains(QStringLiteral("version 42")));
        QVERIFY(tiles.at(1)->accessibleDescription().contains(QStringLiteral("Verdict: FAIL: refused (ER)")));
        QVERIFY(!tiles.at(1)->lastText().contains(QStringLiteral("version")));
        QCOMPARE(tiles.at(2)->stateText(), QStringLiteral("no such port"));
        QVERIFY(tiles.at(2)->accessibleDescription().contains(QStringLiteral("no such port")));
        QCOMPARE(tiles.at(0)->focusPolicy(), Qt::StrongFocus);
        QCOMPARE(controlsWithoutAccessibleName(window.get()), QStringList());
        QCOMPARE(counts(*window)->text(), QStringLiteral("Passed 1    Failed 1    Yield 50.0 %"));
        // One beep for the pass, three for the fail.
        QTRY_COMPARE(beeps.size(), 4);

        // The late device's port appears; its image goes on the wire.
        QCOMPARE(tiles.at(3)->stateText(), QStringLiteral("no such port"));
        late.start();
        QTRY_VERIFY_WITH_TIMEOUT(tiles.at(3)->progressShown() && tiles.at(3)->progressPercent() >= 20, 30000);
        QVERIFY2(inOrder(trail.states.at(3), {"no such port", "found at 57600 baud", "sending"}),
                 qPrintable(trail.states.at(3).join(" / ")));
        QVERIFY(tiles.at(3)->accessibleDescription().contains(QStringLiteral("% sent")));
        const QString screenshot = qEnvironmentVariable("TARVIK_STATION_SCREENSHOT");
        if (!screenshot.isEmpty()) {
            // The header and the row of tiles, without the room below them.
            const int bottom = tiles.at(3)->mapTo(window.get(), QPoint(0, tiles.at(3)->height())).y() + 10;
            QVERIFY(window->grab(QRect(0, 0, window->width(), bottom)).save(screenshot));
        }

        // Closing the window stops every slot: the image cut short is logged
        // as interrupted with the bytes that left, and no port stays open.
        const QStringList portPaths{passing.portPath(), refusing.portPath(), late.portPath()};
        window->close();
        QVERIFY(!window->running());
        for (const QString &path : portPaths)
            QVERIFY2(portFree(path), qPrintable(path));
        window.reset();

        const QList<QList<QByteArray>> rows = logRows(bench.logPath());
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rowOf(rows, bench.link(1)).value(ResultColumn), QByteArray("pass"));
        QCOMPARE(rowOf(rows, bench.link(1)).value(VersionColumn), QByteArray("42"));
        QCOMPARE(rowOf(rows, bench.link(2)).value(ResultColumn), QByteArray("fail"));
        const QList<QByteArray> cut = rowOf(rows, bench.link(4));
        QCOMPARE(cut.value(ResultColumn), QByteArray("interrupted"));
        QVERIFY(cut.value(BytesColumn).toLongLong() > 0);
        QVERIFY(cut.value(BytesColumn).toLongLong() < QFileInfo(bench.firmwarePath).size());
        QCOMPARE(late.record(0).imagesReceived, 0);
    }

    // A window opened from a profile is the profile's station: the operator
    // can start and stop it and change nothing else; it shows the numbers'
    // form, the tile shows the number the device got, and the device's
    // memory holds it. A firmware file changed after the profile was made
    // is refused at the next Start.
    void fromAProfileOnlyStartAndStop()
    {
        Bench bench;
        Fixture fixture(bench.link(1), schedule("rate=38400 latency=20 after=keep stay=verdict+90 gap=90"));
        fixture.start();
        StationPlan plan;
        plan.ports = {bench.link(1)};
        plan.firmwarePath = bench.firmwarePath;
        plan.firmwareSha256 = QCryptographicHash::hash(readFile(bench.firmwarePath), QCryptographicHash::Sha256).toHex();
        plan.logPath = bench.logPath();
        plan.numbers = NumberPlan{QStringLiteral("0x0800F000"), QStringLiteral("dec:6"), QStringLiteral("4200"), {}, {}};
        const QString profilePath = bench.dir.filePath(QStringLiteral("line-a.profile"));
        QString why;
        QVERIFY2(StationProfile::write(plan, profilePath, &why), qPrintable(why));
        const std::variant<StationPlan, QString> read = StationProfile::read(profilePath);
        QVERIFY(std::holds_alternative<StationPlan>(read));

        StationWindow window(plannedStationSetup(std::get<StationPlan>(read), profilePath));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(allChangeable(pickers(window), false));
        const QString shown = window.findChild<QLabel *>(QStringLiteral("plan"))->text();
        QVERIFY2(shown.contains(QStringLiteral("Profile: ")) && shown.contains(QStringLiteral("dec:6 at 0x0800F000"))
                     && shown.contains(QStringLiteral("counter 4200")),
                 qPrintable(shown));

        QVERIFY2(window.startStation(), qPrintable(window.message()));
        SlotTile *tile = window.tiles().at(0);
        QTRY_COMPARE_WITH_TIMEOUT(tile->verdictText(), QStringLiteral("PASS · 004200"), 30000);
        QCOMPARE(fixture.memoryRead(0x0800F000, 6).value(0), QByteArray("004200"));
        window.stopStation();
        QVERIFY(allChangeable(pickers(window), false));
        QCOMPARE(logRows(bench.logPath()).value(0).value(11), QByteArray("004200"));

        // A new build saved over the file: the profile's station will not send it.
        {
            QFile file(bench.firmwarePath);
            QVERIFY(file.open(QIODevice::Append));
            file.write(":00000001FF\r\n");
        }
        QVERIFY(!window.startStation());
        QVERIFY2(window.message().contains(QString::fromLatin1(plan.firmwareSha256))
                     && window.message().contains(QStringLiteral("new profile")),
                 qPrintable(window.message()));
    }

    // The window as the desktop entry opens it: nothing chosen. The operator
    // picks the file, types the ports, starts from the keyboard; the pickers
    // stay shut while it runs; a device passes and is taken away; Shift+F5
    // stops it.
    void emptyWindowPickedAndRunFromTheKeyboard()
    {
        Bench bench;
        StationWindow window(emptyStationSetup());
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *start = window.findChild<QPushButton *>(QStringLiteral("start"));
        auto *ports = window.findChild<QLineEdit *>(QStringLiteral("ports"));
        auto *check = window.findChild<QCheckBox *>(QStringLiteral("checkVersion"));
        auto *mute = window.findChild<QCheckBox *>(QStringLiteral("mute"));
        QVERIFY(start && ports && check && mute);
        QVERIFY(window.tiles().isEmpty());

        // Start with nothing chosen says what is missing.
        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY(!window.running());
        QCOMPARE(window.message(), QStringLiteral("Choose the firmware file first."));

        auto answering = answerFileDialog(bench.firmwarePath);
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("chooseFirmware")), Qt::LeftButton);
        answering.reset();
        // The platform without a display hands the activation back only when asked.
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("firmwareFile"))->text(), bench.firmwarePath);
        const QList<QLabel *> labels = window.findChildren<QLabel *>();
        const auto labelWith = [&labels](const QString &text) {
            for (QLabel *label : labels) {
                if (label->text().startsWith(text))
                    return label;
            }
            return static_cast<QLabel *>(nullptr);
        };
        QVERIFY(labelWith(QStringLiteral("Pass!")));
        QLabel *digest = labelWith(QStringLiteral("SHA-256 "));
        QVERIFY(digest);
        const QByteArray sha =
            QCryptographicHash::hash(readFile(bench.firmwarePath), QCryptographicHash::Sha256).toHex();
        QCOMPARE(digest->text(), QStringLiteral("SHA-256 %1…").arg(QString::fromLatin1(sha.left(12))));
        QCOMPARE(digest->toolTip(), QStringLiteral("SHA-256 %1").arg(QString::fromLatin1(sha)));

        // A port the reader refuses is named; the station does not start.
        ports->setFocus();
        QTest::keyClicks(ports, QStringLiteral("17"));
        QTest::keyClick(&window, Qt::Key_F5);
        QVERIFY(!window.running());
        QVERIFY2(window.message().startsWith(QStringLiteral("Cannot start: '17' is not a port number")),
                 qPrintable(window.message()));
        ports->clear();
        QTest::keyClicks(ports, bench.link(1));
        // A log that takes no line (a full disk) is refused before any port.
        auto *log = window.findChild<QLineEdit *>(QStringLiteral("logFile"));
        QTest::keyClicks(log, QStringLiteral("/dev/full"));
        QVERIFY(!window.startStation());
        QVERIFY2(window.message().startsWith(QStringLiteral("Cannot start: cannot write to the log /dev/full")),
                 qPrintable(window.message()));
        log->clear();

        // A device that resets into its firmware after its image: silent at
        // once, taken as gone after two probes. Muted: no beep.
        Fixture fixture(bench.link(1), schedule("rate=9600 version=7 after=reset stay=verdict+20 gap=90"));
        fixture.start();
        QTest::keyClick(mute, Qt::Key_Space);
        QVERIFY(window.sound().muted());
        QSignalSpy beeps(&window.sound(), &VerdictSound::beeped);

        // Tab from the version check box reaches Start; Space presses it.
        check->setFocus();
        QTest::keyClick(&window, Qt::Key_Tab);
        QVERIFY(start->hasFocus());
        QTest::keyClick(start, Qt::Key_Space);
        QVERIFY(window.running());
        QVERIFY(window.message().isEmpty());
        QVERIFY(allChangeable(pickers(window), false));
        QVERIFY(!start->isEnabled());
        QVERIFY(window.findChild<QPushButton *>(QStringLiteral("stop"))->hasFocus());
        QCOMPARE(window.tiles().size(), 1);
        SlotTile *tile = window.tiles().at(0);

        QTRY_COMPARE_WITH_TIMEOUT(tile->verdictText(), QStringLiteral("PASS"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(tile->stateText(), QStringLiteral("waiting for a device"), 15000);
        QCOMPARE(tile->verdictText(), QString());
        QCOMPARE(tile->lastText(), QStringLiteral("last: PASS"));
        QVERIFY(tile->accessibleDescription().contains(QStringLiteral("Last verdict: PASS")));
        QCOMPARE(counts(window)->text(), QStringLiteral("Passed 1    Failed 0    Yield 100.0 %"));
        QCOMPARE(beeps.size(), 0);
        QCOMPARE(fixture.record(0).imagesReceived, 1);

        // A new build saved over the file while the station runs: the
        // header says the file on disk is not the one being sent.
        auto *warning = window.findChild<QLabel *>(QStringLiteral("fileWarning"));
        QVERIFY(warning->isHidden());
        {
            QFile file(bench.firmwarePath);
            QVERIFY(file.open(QIODevice::Append));
            file.write(":00000001FF\r\n");
        }
        QTRY_VERIFY_WITH_TIMEOUT(warning->isVisible(), 5000);
        QVERIFY(warning->text().startsWith(QStringLiteral("WARNING: the firmware file on disk has changed")));

        QTest::keyClick(&window, Qt::Key_F5, Qt::ShiftModifier);
        QVERIFY(!window.running());
        QCOMPARE(tile->stateText(), QStringLiteral("stopped"));
        QVERIFY(allChangeable(pickers(window), true));
        QVERIFY(start->isEnabled() && start->hasFocus());
        QVERIFY(portFree(fixture.portPath()));
    }

    // The program decides by the display: with one, `station ...` opens the
    // window already started (it prints nothing, where the terminal view
    // prints a line per event and its counts); a stop signal closes it as
    // closing it does. --terminal, or no display, gives the terminal view.
    void theProgramOpensTheWindowWhereThereIsADisplay()
    {
        Bench bench;
        Fixture fixture(bench.link(1), schedule("rate=115200 after=keep stay=verdict+90 gap=90"));
        fixture.start();
        QProcessEnvironment display = QProcessEnvironment::systemEnvironment();
        display.remove(QStringLiteral("DISPLAY"));
        display.remove(QStringLiteral("WAYLAND_DISPLAY"));
        display.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const QStringList arguments{"station",          "--port", bench.link(1),  "--file",
                                    bench.firmwarePath, "--log",  bench.logPath()};
        // Runs the program until the log has `rows` lines, then stops it as a
        // shutdown does.
        const auto runUntilLogged = [&](const QStringList &arguments, qsizetype rows) {
            QProcess program;
            program.setProcessEnvironment(display);
            program.start(buildDir() + QStringLiteral("/tarvik-downloader"), arguments);
            const bool logged = QTest::qWaitFor([&] { return logRows(bench.logPath()).size() == rows; }, 30000);
            program.terminate();
            Run run;
            if (program.waitForFinished(10000) && program.exitStatus() == QProcess::NormalExit)
                run.status = program.exitCode();
            run.out = program.readAllStandardOutput();
            run.err = program.readAllStandardError();
            if (!logged)
                run.status = -2;
            return run;
        };

        Run window = runUntilLogged(arguments, 1);
        QVERIFY2(window.status == 0 && window.out.isEmpty(), printed(window).constData());
        QCOMPARE(logRows(bench.logPath()).at(0).value(ResultColumn), QByteArray("pass"));

        // A new station does not know the device in the slot: it is flashed again.
        Run terminal = runUntilLogged(arguments + QStringList{"--terminal"}, 2);
        QVERIFY2(terminal.status == 0 && terminal.out.contains("exit status 0"), printed(terminal).constData());

        // No display: `station` alone is the command line's usage error.
        QProcess program;
        startProgram(program, {QStringLiteral("station")});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 2);
        QVERIFY(program.readAllStandardError().contains("tarvik-downloader station --help"));
    }

    // Sixteen slots fit a 1366x768 screen (less its title bar and panel)
    // without scrolling; 64 scroll, and every tile can be brought into view.
    void sixteenFitAndSixtyFourScroll()
    {
        Bench bench;
        StationWindowSetup setup = emptyStationSetup();
        setup.firmwarePath = bench.firmwarePath;
        StationWindow window(std::move(setup));
        window.resize(1366, 700);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *ports = window.findChild<QLineEdit *>(QStringLiteral("ports"));
        for (const int count : {16, 64}) {
            // Names as long as udev's names of a USB socket.
            QStringList names;
            for (int slot = 1; slot <= count; ++slot) {
                names.append(bench.dir.filePath(
                    QStringLiteral("pci-0000:00:14.0-usb-0:%1.%2:1.0-port0").arg(slot / 4 + 1).arg(slot % 4 + 1)));
            }
            ports->setText(names.join(u' '));
            QVERIFY2(window.startStation(), qPrintable(window.message()));
            QCOMPARE(window.tiles().size(), count);
            for (SlotTile *tile : window.tiles())
                QTRY_COMPARE_WITH_TIMEOUT(tile->stateText(), QStringLiteral("no such port"), 10000);
            QScrollBar *scroll = window.tileArea()->verticalScrollBar();
            if (count == 16) {
                SlotTile *last = window.tiles().last();
                QTRY_VERIFY(!last->visibleRegion().isEmpty());
                QCOMPARE(last->visibleRegion().boundingRect().height(), last->height());
                QCOMPARE(scroll->maximum(), 0);
            } else {
                QTRY_VERIFY(scroll->maximum() > 0);
                SlotTile *last = window.tiles().last();
                QVERIFY(last->visibleRegion().isEmpty());
                window.tileArea()->ensureWidgetVisible(last);
                QTRY_VERIFY(!last->visibleRegion().isEmpty());
            }
            // Four tiles across, none wider than its share.
            QVERIFY(window.tiles().first()->width() >= 220);
            QCOMPARE(window.tileArea()->horizontalScrollBar()->maximum(), 0);
            QCOMPARE(window.tiles().at(3)->y(), window.tiles().at(0)->y());
            QVERIFY(window.tiles().at(4)->y() > window.tiles().at(0)->y());
            window.stopStation();
            QVERIFY(allChangeable(pickers(window), true));
        }
    }
};

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    StationWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_station_window.moc"
