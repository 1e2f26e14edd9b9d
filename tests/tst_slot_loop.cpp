// The station's loop for one slot as a table that reads like its
// documentation, the words every kind of failure is logged under, and the
// counts the station keeps from the attempts.

#include "engine/Attempt.h"
#include "engine/SlotLoop.h"
#include "serial/SerialControl.h"
#include "station/StationCounts.h"

#include <QTest>

using namespace SlotLoop;

Q_DECLARE_METATYPE(SlotLoop::Position)
Q_DECLARE_METATYPE(SlotLoop::Event)
Q_DECLARE_METATYPE(SlotLoop::Step)
Q_DECLARE_METATYPE(AttemptOutcome)

namespace {

Position at(State state, int silentProbes = 0)
{
    return Position{state, silentProbes};
}

Step step(State state, Action action, bool deviceGone = false, int silentProbes = 0)
{
    return Step{Position{state, silentProbes}, action, deviceGone};
}

} // namespace

class SlotLoopTest : public QObject
{
    Q_OBJECT

private slots:
    void next_data()
    {
        QTest::addColumn<Position>("from");
        QTest::addColumn<Event>("event");
        QTest::addColumn<AttemptOutcome>("outcome");
        QTest::addColumn<Step>("expected");
        const auto row = [](const char *name, Position from, Event event, Step expected,
                            AttemptOutcome outcome = AttemptOutcome::Passed) {
            QTest::newRow(name) << from << event << outcome << expected;
        };
        using enum State;
        row("start: probe for a device", at(Idle), Event::Start, step(WaitingForDevice, Action::ProbeForDevice));
        row("nothing answered: probe again", at(WaitingForDevice), Event::NoAnswer,
            step(WaitingForDevice, Action::ProbeForDevice));
        row("port missing: retry in a second", at(WaitingForDevice), Event::PortUnavailable,
            step(WaitingForPort, Action::RetryPortSoon));
        row("port still missing", at(WaitingForPort), Event::PortUnavailable,
            step(WaitingForPort, Action::RetryPortSoon));
        row("port back, no device yet", at(WaitingForPort), Event::NoAnswer,
            step(WaitingForDevice, Action::ProbeForDevice));
        row("a device answers: flash it", at(WaitingForDevice), Event::Answered, step(Flashing, Action::Flash));
        row("a device answers the moment its port is back", at(WaitingForPort), Event::Answered,
            step(Flashing, Action::Flash));
        row("pass: watch the device", at(Flashing), Event::AttemptEnded, step(ShowingVerdict, Action::ProbeAtRate));
        row("fail: watch the device too", at(Flashing), Event::AttemptEnded, step(ShowingVerdict, Action::ProbeAtRate),
            AttemptOutcome::DownloadFailed);
        row("a refused rate leaves the device there", at(Flashing), Event::AttemptEnded,
            step(ShowingVerdict, Action::ProbeAtRate), AttemptOutcome::RateRefused);
        row("port lost under the image: the device went with it", at(Flashing), Event::AttemptEnded,
            step(WaitingForDevice, Action::ProbeForDevice, true), AttemptOutcome::PortLost);
        row("port gone before the image: the device went with it", at(Flashing), Event::AttemptEnded,
            step(WaitingForDevice, Action::ProbeForDevice, true), AttemptOutcome::PortUnavailable);
        row("stopped in the middle of the image", at(Flashing), Event::AttemptEnded, step(Stopped, Action::Finish),
            AttemptOutcome::Interrupted);
        row("still answering: keep the verdict", at(ShowingVerdict), Event::StillThere,
            step(ShowingVerdict, Action::ProbeAtRate));
        row("one silent probe is not gone", at(ShowingVerdict), Event::Silent,
            step(ShowingVerdict, Action::ProbeAtRate, false, 1));
        row("an answer between two silent probes starts over", at(ShowingVerdict, 1), Event::StillThere,
            step(ShowingVerdict, Action::ProbeAtRate));
        row("two silent probes in a row: gone", at(ShowingVerdict, 1), Event::Silent,
            step(WaitingForDevice, Action::ProbeForDevice, true));
        row("the port went away: gone at once", at(ShowingVerdict), Event::PortGone,
            step(WaitingForDevice, Action::ProbeForDevice, true));
        row("the port cannot be opened: gone at once", at(ShowingVerdict), Event::PortUnavailable,
            step(WaitingForDevice, Action::ProbeForDevice, true));
        row("a device answering while its verdict shows is no new device", at(ShowingVerdict), Event::Answered,
            step(ShowingVerdict, Action::None));
        row("stop while waiting", at(WaitingForDevice), Event::Stop, step(Stopped, Action::Finish));
        row("stop while the port is missing", at(WaitingForPort), Event::Stop, step(Stopped, Action::Finish));
        row("stop while flashing", at(Flashing), Event::Stop, step(Stopped, Action::Finish));
        row("stop while the verdict shows", at(ShowingVerdict, 1), Event::Stop, step(Stopped, Action::Finish));
        row("stopped stays stopped", at(Stopped), Event::Answered, step(Stopped, Action::None));
        row("a second stop does nothing", at(Stopped), Event::Stop, step(Stopped, Action::None));
    }

    void next()
    {
        QFETCH(Position, from);
        QFETCH(Event, event);
        QFETCH(AttemptOutcome, outcome);
        QFETCH(Step, expected);
        const Step got = SlotLoop::next(from, event, outcome);
        QCOMPARE(int(got.position.state), int(expected.position.state));
        QCOMPARE(got.position.silentProbes, expected.position.silentProbes);
        QCOMPARE(int(got.action), int(expected.action));
        QCOMPARE(got.deviceGone, expected.deviceGone);
    }

    // A device is never flashed twice: from the verdict on, no event but the
    // device's going leads back to a probe for a new device.
    void noFlashWithoutGoingAway()
    {
        for (const Event event : {Event::NoAnswer, Event::Answered, Event::AttemptEnded, Event::StillThere}) {
            const Step got = SlotLoop::next(at(State::ShowingVerdict), event);
            QVERIFY(got.action != Action::Flash);
            QVERIFY(got.action != Action::ProbeForDevice);
        }
    }

    void probeOrder_data()
    {
        QTest::addColumn<QString>("last");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("no device yet") << QString() << QStringList{"9600", "19200", "38400", "57600", "115200"};
        QTest::newRow("last at 38400") << "38400" << QStringList{"38400", "9600", "19200", "57600", "115200"};
        QTest::newRow("last at 115200") << "115200" << QStringList{"115200", "9600", "19200", "38400", "57600"};
        QTest::newRow("not a probe rate") << "4800" << QStringList{"9600", "19200", "38400", "57600", "115200"};
    }

    void probeOrder()
    {
        QFETCH(QString, last);
        QFETCH(QStringList, expected);
        QCOMPARE(SlotLoop::probeOrder(last, {"9600", "19200", "38400", "57600", "115200"}), expected);
    }

    // Each failure of the serial layer under its own word: an operator acts
    // differently on a pulled adapter, one that cannot do 115200 baud and a
    // port held by another program.
    void outcomeOfFailure_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("word");
        QTest::newRow("no such port") << SerialError::InvalidPortNumber << "port-unavailable";
        QTest::newRow("in use") << SerialError::PortInUse << "port-unavailable";
        QTest::newRow("no permission") << SerialError::NoPermission << "port-unavailable";
        QTest::newRow("not a tty") << SerialError::NotASerialPort << "port-unavailable";
        QTest::newRow("node without device") << SerialError::PortGone << "port-unavailable";
        QTest::newRow("could not open") << SerialError::OpenFailed << "port-unavailable";
        QTest::newRow("failed in use") << SerialError::PortFailed << "port-lost";
        QTest::newRow("rate refused") << SerialError::SettingsRefused << "rate-refused";
        QTest::newRow("text refused") << SerialError::WriteFailed << "write-refused";
        QTest::newRow("not open") << SerialError::PortNotOpen << "port-error";
        QTest::newRow("not the serial layer's") << int(FailureNumber::Internal) << "port-error";
    }

    void outcomeOfFailure()
    {
        QFETCH(int, number);
        QFETCH(QString, word);
        QCOMPARE(outcomeWord(::outcomeOfFailure(number)), word);
    }

    void counts()
    {
        StationCounts counts;
        QCOMPARE(counts.yieldPercent(), -1.0);
        const auto attempt = [](AttemptOutcome outcome, const QByteArray &reply = {}) {
            Attempt a;
            a.outcome = outcome;
            a.reply = reply;
            return a;
        };
        for (const Attempt &a : {attempt(AttemptOutcome::Passed, "OK!"), attempt(AttemptOutcome::Passed, "OK!"),
                                 attempt(AttemptOutcome::Passed, "OK!"), attempt(AttemptOutcome::DownloadFailed),
                                 attempt(AttemptOutcome::DownloadFailed, "ER"), attempt(AttemptOutcome::PortLost),
                                 attempt(AttemptOutcome::RateRefused), attempt(AttemptOutcome::Interrupted)})
            counts.add(verdictKindOf(a));
        QCOMPARE(counts.passed, 3);
        QCOMPARE(counts.failed(), 2);
        QCOMPARE(counts.noAnswer, 1);
        QCOMPARE(counts.refused, 1);
        // A lost port is no failed device: the yield is of the devices judged.
        QCOMPARE(counts.portLost, 1);
        QCOMPARE(counts.yieldPercent(), 60.0);
        QCOMPARE(counts.summary(), QStringLiteral("3 passed, 2 failed (1 no answer, 1 refused), yield 60.0 %, 1 port "
                                                  "lost, 1 port trouble, 1 interrupted"));
        QCOMPARE(verdictWords(VerdictKind::Refused, "ER\r"), QStringLiteral("FAIL: refused (ER\\r)"));
    }
};

QTEST_GUILESS_MAIN(SlotLoopTest)
#include "tst_slot_loop.moc"
