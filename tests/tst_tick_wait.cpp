// The tick timer and the cooperative wait, on the real Qt event loop.

#include "base/Failure.h"
#include "engine/TickWait.h"
#include "serial/SerialControl.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

class TickWaitTest : public QObject
{
    Q_OBJECT

private:
    QTimer m_timer;
    QByteArray m_watched;
    std::atomic<bool> m_interrupted = false;
    qint16 m_ticks = 0;

    // Runs a wait and returns how long it took in milliseconds.
    qint64 timedWait(qint16 timeSpan)
    {
        QElapsedTimer clock;
        clock.start();
        TickWait::wait(m_timer, m_ticks, m_watched, timeSpan, m_interrupted);
        return clock.elapsed();
    }

    void verifyIdle()
    {
        QCOMPARE(m_ticks, qint16(0));
        QVERIFY(!m_timer.isActive());
    }

private slots:
    void init()
    {
        TickWait::configureTimer(m_timer);
        connect(&m_timer, &QTimer::timeout, this, [this] { TickWait::addTick(m_ticks); });
        m_watched.clear();
        m_interrupted = false;
        m_ticks = 0;
    }

    void cleanup() { m_timer.disconnect(this); }

    void nothingToWaitForProcessesNoEvents_data()
    {
        QTest::addColumn<qint16>("timeSpan");
        QTest::newRow("zero") << qint16(0);
        QTest::newRow("negative") << qint16(-3);
    }

    void nothingToWaitForProcessesNoEvents()
    {
        QFETCH(qint16, timeSpan);
        bool delivered = false;
        QTimer::singleShot(0, this, [&delivered] { delivered = true; });
        QVERIFY(timedWait(timeSpan) < 100);
        QVERIFY(!delivered);
        verifyIdle();
        QTRY_VERIFY(delivered); // the event was left for the idle loop
    }

    void oneTickLastsAboutOneTick_realTicks()
    {
        const qint64 elapsed = timedWait(1);
        QVERIFY2(elapsed >= 450 && elapsed < 1000, qPrintable(QString::number(elapsed)));
        verifyIdle();
    }

    void replyAlreadyThereEndsAfterOneCycle()
    {
        m_watched = "OK!";
        bool delivered = false;
        QTimer::singleShot(0, this, [&delivered] { delivered = true; });
        QVERIFY(timedWait(12) < 100);
        QVERIFY(delivered); // one cycle of event processing still ran
        verifyIdle();
    }

    void replyArrivingEndsTheWaitInItsCycle_realTicks()
    {
        // Arrives between ticks: the wait must not run on to the next tick.
        QTimer::singleShot(700, this, [this] { m_watched = "OK!"; });
        const qint64 elapsed = timedWait(12);
        QVERIFY2(elapsed >= 650 && elapsed < 950, qPrintable(QString::number(elapsed)));
        verifyIdle();
    }

    void nearMissesNeverEndEarly_realTicks_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("with CR") << QByteArray("OK!\r");
        QTest::newRow("lower case") << QByteArray("ok!");
        QTest::newRow("twice") << QByteArray("OK!OK!");
        QTest::newRow("more appended in the same cycle") << QByteArray("OK!E");
    }

    void nearMissesNeverEndEarly_realTicks()
    {
        QFETCH(QByteArray, reply);
        QTimer::singleShot(50, this, [this, reply] { m_watched = reply; });
        const qint64 elapsed = timedWait(1);
        QVERIFY2(elapsed >= 450, qPrintable(QString::number(elapsed)));
        verifyIdle();
    }

    // The port fails in the same cycle of events that brings the device's
    // last answer, the answer first (a device that answers and drops off the
    // bus): "OK!" ends the wait as it would without the failure; any other
    // answer, or none, ends it with the failure, within the cycle.
    void aFailureInTheCycleOfTheAnswer_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("fails");
        QTest::newRow("OK! then the failure") << QByteArray("OK!") << false;
        QTest::newRow("ER then the failure") << QByteArray("ER") << true;
        QTest::newRow("OK! and more, then the failure") << QByteArray("OK!E") << true;
        QTest::newRow("the failure alone") << QByteArray() << true;
    }

    void aFailureInTheCycleOfTheAnswer()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, fails);
        bool portFailed = false;
        QTimer::singleShot(50, this, [this, reply, &portFailed] {
            m_watched = reply;
            portFailed = true;
        });
        const auto portCheck = [&portFailed] {
            if (portFailed)
                throw Failure(SerialError::PortFailed, QStringLiteral("The port failed while in use"));
        };
        QElapsedTimer clock;
        clock.start();
        int failure = 0;
        try {
            TickWait::wait(m_timer, m_ticks, m_watched, 12, m_interrupted, portCheck);
        } catch (const Failure &caught) {
            failure = caught.number();
        }
        QCOMPARE(failure, fails ? SerialError::PortFailed : 0);
        QVERIFY2(clock.elapsed() < TickWait::TickIntervalMs, qPrintable(QString::number(clock.elapsed())));
        verifyIdle();
    }

    void tickAdditionNeverWraps()
    {
        m_ticks = 32766;
        TickWait::addTick(m_ticks);
        QCOMPARE(m_ticks, qint16(32767));
        try {
            TickWait::addTick(m_ticks);
            QFAIL("no overflow raised");
        } catch (const Failure &failure) {
            QCOMPARE(failure.number(), FailureNumber::Overflow);
        }
        QCOMPARE(m_ticks, qint16(32767));
    }

    void earlyEndPastTheLimitIsAnOverflow()
    {
        m_watched = "OK!";
        QVERIFY_THROWS_EXCEPTION(Failure, TickWait::wait(m_timer, m_ticks, m_watched, 32767, m_interrupted));
        verifyIdle();
    }

    void closingTheWindowInterruptsTheWait()
    {
        QTimer::singleShot(100, this, [this] { m_interrupted = true; });
        QElapsedTimer clock;
        clock.start();
        QVERIFY_THROWS_EXCEPTION(ExchangeInterrupted, TickWait::wait(m_timer, m_ticks, m_watched, 12, m_interrupted));
        QVERIFY(clock.elapsed() < 450);
        verifyIdle();
    }
};

QTEST_GUILESS_MAIN(TickWaitTest)
#include "tst_tick_wait.moc"
