// The evaluation that turns the downloader window's state into what the
// operator sees: the choice as a pure table, then its actions on the window.

#include "support/SimFixture.h"

#include "engine/Evaluation.h"
#include "downloader/Form1.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

Q_DECLARE_METATYPE(Outcome)

class EvaluationTest : public QObject
{
    Q_OBJECT

private:
    // The states the evaluation meets after a file load and after a download.
    static void addStates()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QByteArray>("rx");
        QTest::addColumn<QString>("pending");
        QTest::addColumn<Outcome>("outcome");

        QTest::newRow("no file yet") << "" << QByteArray("OK!") << "?" << Outcome::NoUsableFile;
        QTest::newRow("failed file") << "Fail" << QByteArray() << "" << Outcome::NoUsableFile;
        QTest::newRow("caption differs in case") << "pass!" << QByteArray() << "" << Outcome::NoUsableFile;
        QTest::newRow("download answered OK!") << "Pass!" << QByteArray("OK!") << "?" << Outcome::DownloadPassed;
        QTest::newRow("download, no answer") << "Pass!" << QByteArray() << "?" << Outcome::DownloadFailed;
        QTest::newRow("download, OK! CR") << "Pass!" << QByteArray("OK!\r") << "?" << Outcome::DownloadFailed;
        QTest::newRow("download, OK! twice") << "Pass!" << QByteArray("OK!OK!") << "?" << Outcome::DownloadFailed;
        QTest::newRow("download, ER") << "Pass!" << QByteArray("ER") << "?" << Outcome::DownloadFailed;
        QTest::newRow("download, C:") << "Pass!" << QByteArray("C:") << "?" << Outcome::DownloadFailed;
        // Without a download, what the device said earlier is no verdict.
        QTest::newRow("file load, nothing received") << "Pass!" << QByteArray() << "" << Outcome::Ready;
        QTest::newRow("file load meets OK!") << "Pass!" << QByteArray("OK!") << "" << Outcome::Ready;
        QTest::newRow("file load meets ER") << "Pass!" << QByteArray("ER") << "" << Outcome::Ready;
        QTest::newRow("file load meets ErasedHEX:") << "Pass!" << QByteArray("ErasedHEX:") << "" << Outcome::Ready;
        QTest::newRow("file load meets C:") << "Pass!" << QByteArray("C:") << "" << Outcome::Ready;
        QTest::newRow("file load meets other text") << "Pass!" << QByteArray("ER\r\n") << "" << Outcome::Ready;
        QTest::newRow("file load meets lower case") << "Pass!" << QByteArray("c:") << "" << Outcome::Ready;
    }

private slots:
    void choice_data() { addStates(); }

    void choice()
    {
        QFETCH(QString, caption);
        QFETCH(QByteArray, rx);
        QFETCH(QString, pending);
        QFETCH(Outcome, outcome);
        QCOMPARE(evaluate(caption, rx, pending), outcome);
    }

    void actions_data() { addStates(); }

    void actions()
    {
        QFETCH(QString, caption);
        QFETCH(QByteArray, rx);
        QFETCH(QString, pending);
        QFETCH(Outcome, outcome);

        SimFixture fixture;
        Form1 &window = fixture.loadDownloaderWindow();
        // A state that shows what each outcome changes and what it leaves.
        window.Label3[0]->setText(caption);
        window.Label3[1]->setText(QStringLiteral("old"));
        window.Label2->setText(QStringLiteral("old prompt"));
        window.Command3->setEnabled(outcome == Outcome::NoUsableFile);
        window.Command7->setEnabled(false);
        window.RxBuffer = rx;
        window.Pending = pending;

        window.process();

        struct Expected
        {
            QString prompt;
            QString indicator;
            bool download;
            bool check;
            QByteArray rx;
            QString pending;
        };
        const QString ready = QStringLiteral("Push <Download Flash> for next one");
        const QString fail = QStringLiteral("Communication Fail");
        const Expected expected = [&]() -> Expected {
            switch (outcome) {
            case Outcome::NoUsableFile:
                return {"Open File", "old", false, false, rx, pending};
            case Outcome::DownloadPassed:
                return {ready, "Pass!", true, true, {}, {}};
            case Outcome::DownloadFailed:
                return {fail, "Fail", true, false, {}, {}};
            case Outcome::Ready:
                return {ready, "old", true, false, rx, pending};
            }
            return {};
        }();

        QCOMPARE(window.Label2->text(), expected.prompt);
        QCOMPARE(window.Label3[1]->text(), expected.indicator);
        QCOMPARE(window.Command3->isEnabled(), expected.download);
        QCOMPARE(window.Command7->isEnabled(), expected.check);
        QCOMPARE(window.RxBuffer, expected.rx);
        QCOMPARE(window.Pending, expected.pending);
        QCOMPARE(window.Label3[0]->text(), caption);
        if (expected.indicator == QLatin1String("Pass!"))
            QCOMPARE(window.Label3[1]->palette().color(QPalette::WindowText), QColor(0, 255, 0));
        if (expected.indicator == QLatin1String("Fail"))
            QCOMPARE(window.Label3[1]->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    }
};

QTEST_MAIN(EvaluationTest)
#include "tst_evaluation.moc"
