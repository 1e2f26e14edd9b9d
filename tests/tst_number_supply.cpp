#include "numbers/NumberSupply.h"
#include "numbers/StateFile.h"

#include "support/SmallDisk.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <thread>

// The test binary started with "--taker STATE COUNT GIVE_EVERY" is another
// station: it takes COUNT numbers (0: until it is killed) from the counter in
// STATE and gives every GIVE_EVERY-th back, saying on its output, line by
// line, "took N", "giving N" before it gives N back and "gave N" once it has.
namespace {

void say(const char *what, quint64 value)
{
    std::printf("%s %llu\n", what, static_cast<unsigned long long>(value));
    std::fflush(stdout);
}

// "--holder STATE": a station that takes the state's lock and stays on it
// (stopped in a debugger, its share gone quiet) until its input closes.
int runHolder(const QString &statePath)
{
    StateFile file(statePath);
    QString why;
    if (!file.lock(&why)) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 2;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

int runTaker(const QString &statePath, int count, int giveEvery)
{
    QString why;
    const std::unique_ptr<NumberSupply> supply =
        NumberSupply::open(NumberSource{}, *NumberForm::parse(QStringLiteral("le:4"), 0, nullptr), statePath, &why);
    if (!supply) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 2;
    }
    for (int i = 1; count == 0 || i <= count; ++i) {
        const std::optional<DeviceNumber> number = supply->take(&why);
        if (!number) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            return 3;
        }
        say("took", number->value);
        if (giveEvery > 0 && i % giveEvery == 0) {
            say("giving", number->value);
            if (!supply->giveBack(*number, &why)) {
                std::fprintf(stderr, "%s\n", qPrintable(why));
                return 4;
            }
            say("gave", number->value);
        }
    }
    return 0;
}

NumberForm form(const char *text)
{
    return *NumberForm::parse(QString::fromLatin1(text), 0, nullptr);
}

NumberSource counter(quint64 start, quint64 step = 1, std::optional<quint64> last = std::nullopt)
{
    NumberSource source;
    source.start = start;
    source.step = step;
    source.last = last;
    return source;
}

NumberSource list(const QString &path)
{
    NumberSource source;
    source.kind = NumberSource::Kind::List;
    source.listPath = path;
    return source;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

const QByteArray Header =
    "# Tarvik Downloader device numbers. Stations keep this file under a lock; edit it only while none runs.\n";

// A counter's state as the file says it.
struct CounterState
{
    quint64 next = 0;
    std::multiset<quint64> returned;
};

CounterState counterState(const QString &path)
{
    CounterState state;
    for (const QByteArray &line : readFile(path).split('\n')) {
        if (line.startsWith("next="))
            state.next = line.mid(5).toULongLong();
        if (line.startsWith("returned="))
            for (const QByteArray &word : line.mid(9).split(' '))
                if (!word.isEmpty())
                    state.returned.insert(word.toULongLong());
    }
    return state;
}

// What takers said, in any order: the numbers they still hold, and how
// many they gave back.
struct Tally
{
    std::multiset<quint64> held;
    int givenBack = 0;

    void read(const QByteArray &output)
    {
        for (const QByteArray &line : output.split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.size() != 2)
                continue;
            const quint64 value = words[1].toULongLong();
            if (words[0] == "took")
                held.insert(value);
            else if (words[0] == "giving")
                held.erase(held.find(value));
            else if (words[0] == "gave")
                ++givenBack;
        }
    }
};

// What takers said, in the order they said it: the last word on each number,
// and the numbers taken while someone still held them.
struct History
{
    std::map<quint64, QByteArray> last;
    QList<quint64> repeated;

    void hear(const QByteArray &word, quint64 value)
    {
        if (word == "took" && last[value] == "took")
            repeated.append(value);
        last[value] = word;
    }
    void read(const QByteArray &output)
    {
        for (const QByteArray &line : output.split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.size() == 2)
                hear(words[0], words[1].toULongLong());
        }
    }
};

} // namespace

class TestNumberSupply : public QObject
{
    Q_OBJECT

private slots:
    void sequences_data();
    void sequences();
    void givenBackNumbersComeFirst();
    void stateSurvivesTheStation();
    void refusals_data();
    void refusals();
    void failureLeavesTheStateAsItWas_data();
    void failureLeavesTheStateAsItWas();
    void threadsAndProcessesNeverShareANumber();
    void killedTakerLeavesAStateTheNextContinues();
    void aLockHeldOnIsWaitedForWithPatience();
    void names();

private:
    QString taker() const { return QCoreApplication::applicationFilePath(); }
};

void TestNumberSupply::sequences_data()
{
    QTest::addColumn<NumberSource>("source");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QByteArray>("listText");
    QTest::addColumn<QList<quint64>>("values");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QList<qint64>>("lines");

    constexpr quint64 top = std::numeric_limits<quint64>::max();
    QTest::newRow("counter up to its last") << counter(1, 1, 4) << "le:4" << QByteArray() << QList<quint64>{1, 2, 3, 4}
                                            << QStringList{"1", "2", "3", "4"} << QList<qint64>{};
    QTest::newRow("counter in steps") << counter(10, 3, 20) << "dec:6" << QByteArray() << QList<quint64>{10, 13, 16, 19}
                                      << QStringList{"000010", "000013", "000016", "000019"} << QList<qint64>{};
    QTest::newRow("counter up to what the form holds")
        << counter(250, 2) << "le:1" << QByteArray() << QList<quint64>{250, 252, 254}
        << QStringList{"250", "252", "254"} << QList<qint64>{};
    QTest::newRow("counter in hexadecimal digits")
        << counter(0xFFFE) << "hex:4" << QByteArray() << QList<quint64>{0xFFFE, 0xFFFF} << QStringList{"FFFE", "FFFF"}
        << QList<qint64>{};
    QTest::newRow("counter at the end of 64 bits does not wrap")
        << counter(top - 2, 2) << "le:8" << QByteArray() << QList<quint64>{top - 2, top}
        << QStringList{QString::number(top - 2), QString::number(top)} << QList<qint64>{};
    QTest::newRow("list with comments and blank lines")
        << NumberSource{} << "be:6"
        << QByteArray("# vendor batch 7\n00:1A:2B:3C:4D:01\n\n  00-1A-2B-3C-4D-02  \r\n#\n0x001A2B3C4D03")
        << QList<quint64>{0x001A2B3C4D01, 0x001A2B3C4D02, 0x001A2B3C4D03}
        << QStringList{"00:1A:2B:3C:4D:01", "00-1A-2B-3C-4D-02", "0x001A2B3C4D03"} << QList<qint64>{2, 4, 6};
}

void TestNumberSupply::sequences()
{
    QFETCH(NumberSource, source);
    QFETCH(QString, form);
    QFETCH(QByteArray, listText);
    QFETCH(QList<quint64>, values);
    QFETCH(QStringList, texts);
    QFETCH(QList<qint64>, lines);

    const QTemporaryDir dir;
    if (!listText.isEmpty()) {
        source = list(dir.filePath(QStringLiteral("macs.txt")));
        writeFile(source.listPath, listText);
    }
    const NumberForm numberForm = *NumberForm::parse(form, 0, nullptr);
    const QString statePath = dir.filePath(QStringLiteral("line.numbers"));
    QString why;
    std::unique_ptr<NumberSupply> supply = NumberSupply::open(source, numberForm, statePath, &why);
    QVERIFY2(supply, qPrintable(why));
    for (qsizetype i = 0; i < values.size(); ++i) {
        const std::optional<DeviceNumber> number = supply->take(&why);
        QVERIFY2(number, qPrintable(why));
        QCOMPARE(number->value, values[i]);
        QCOMPARE(number->text, texts[i]);
        QCOMPARE(number->listLine, lines.isEmpty() ? 0 : lines[i]);
    }
    QVERIFY(!supply->take(&why));
    QVERIFY2(why.contains(QStringLiteral("used up")), qPrintable(why));
    QVERIFY(!supply->peek(&why));
    // The next station to start finds the numbers used up as well.
    supply.reset();
    QVERIFY(!NumberSupply::open(source, numberForm, statePath, &why));
    QVERIFY2(why.contains(QStringLiteral("used up")), qPrintable(why));
}

void TestNumberSupply::givenBackNumbersComeFirst()
{
    const QTemporaryDir dir;
    QString why;
    // A counter: the smallest given back first, then on from where it was.
    {
        const std::unique_ptr<NumberSupply> supply =
            NumberSupply::open(counter(1, 1, 6), form("le:4"), dir.filePath(QStringLiteral("c.numbers")), &why);
        QVERIFY2(supply, qPrintable(why));
        QList<DeviceNumber> taken;
        for (int i = 0; i < 5; ++i)
            taken.append(*supply->take(&why));
        QVERIFY2(supply->giveBack(taken[3], &why), qPrintable(why));
        QVERIFY2(supply->giveBack(taken[1], &why), qPrintable(why));
        // Given back twice, or never handed out: it would go to two devices.
        QVERIFY(!supply->giveBack(taken[1], &why));
        QVERIFY2(why.contains(QStringLiteral("already been given back")), qPrintable(why));
        QVERIFY(!supply->giveBack(DeviceNumber{6, QStringLiteral("6"), 0}, &why));
        QVERIFY2(why.contains(QStringLiteral("never handed out")), qPrintable(why));

        QCOMPARE(supply->peek(&why)->value, 2u);
        QCOMPARE(supply->take(&why)->value, 2u);
        QCOMPARE(supply->take(&why)->value, 4u);
        QCOMPARE(supply->take(&why)->value, 6u);
        // Used up past its last, but a number given back is still handed out.
        QVERIFY(supply->giveBack(taken[0], &why));
        QCOMPARE(supply->take(&why)->value, 1u);
        QVERIFY(!supply->take(&why));
    }
    // A list: the earliest line given back first.
    {
        const QString listPath = dir.filePath(QStringLiteral("macs.txt"));
        writeFile(listPath, "0x10\n0x11\n# spare\n0x12\n0x13\n");
        const std::unique_ptr<NumberSupply> supply =
            NumberSupply::open(list(listPath), form("le:2"), dir.filePath(QStringLiteral("l.numbers")), &why);
        QVERIFY2(supply, qPrintable(why));
        const DeviceNumber first = *supply->take(&why);
        const DeviceNumber second = *supply->take(&why);
        QCOMPARE(supply->take(&why)->listLine, 4);
        QVERIFY(!supply->giveBack(DeviceNumber{0x12, QStringLiteral("0x12"), 2}, &why)); // not that line's value
        QVERIFY(supply->giveBack(second, &why));
        QVERIFY(supply->giveBack(first, &why));
        QCOMPARE(supply->take(&why)->text, QStringLiteral("0x10"));
        QCOMPARE(supply->take(&why)->text, QStringLiteral("0x11"));
        QCOMPARE(supply->take(&why)->text, QStringLiteral("0x13"));
        QVERIFY(!supply->take(&why));
    }
}

void TestNumberSupply::stateSurvivesTheStation()
{
    const QTemporaryDir dir;
    const QString statePath = dir.filePath(QStringLiteral("line.numbers"));
    QString why;
    {
        const std::unique_ptr<NumberSupply> supply = NumberSupply::open(counter(100), form("le:4"), statePath, &why);
        QVERIFY2(supply, qPrintable(why));
        const DeviceNumber first = *supply->take(&why);
        supply->take(&why);
        QVERIFY(supply->giveBack(first, &why));
    }
    QCOMPARE(readFile(statePath), Header + "source=counter\nnext=102\nreturned=100\n");
    // Started again, with another start: the state file's next number wins.
    {
        const std::unique_ptr<NumberSupply> supply = NumberSupply::open(counter(1), form("le:4"), statePath, &why);
        QVERIFY2(supply, qPrintable(why));
        QCOMPARE(supply->take(&why)->value, 100u);
        QCOMPARE(supply->take(&why)->value, 102u);
    }
    QCOMPARE(readFile(statePath), Header + "source=counter\nnext=103\nreturned=\n");

    const QString listPath = dir.filePath(QStringLiteral("macs.txt"));
    const QByteArray macs = "# batch\n00:00:00:00:00:01\n00:00:00:00:00:02\n00:00:00:00:00:03\n";
    writeFile(listPath, macs);
    const QString listState = dir.filePath(QStringLiteral("macs.numbers"));
    {
        const std::unique_ptr<NumberSupply> supply = NumberSupply::open(list(listPath), form("be:6"), listState, &why);
        QVERIFY2(supply, qPrintable(why));
        const DeviceNumber first = *supply->take(&why);
        QCOMPARE(first.listLine, 2);
        supply->take(&why);
        QVERIFY(supply->giveBack(first, &why));
    }
    QCOMPARE(readFile(listState), Header + "source=list\nlist-sha256=" + sha256(macs) + "\nnext-line=4\nreturned=2\n");
    const std::unique_ptr<NumberSupply> supply = NumberSupply::open(list(listPath), form("be:6"), listState, &why);
    QVERIFY2(supply, qPrintable(why));
    QCOMPARE(supply->take(&why)->listLine, 2);
    QCOMPARE(supply->take(&why)->listLine, 4);
}

void TestNumberSupply::refusals_data()
{
    QTest::addColumn<NumberSource>("source");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QByteArray>("listText");  // none: a counter
    QTest::addColumn<QByteArray>("stateText"); // none: no state file yet; "{sha}" is the list's
    QTest::addColumn<QStringList>("said");

    const NumberSource plain = counter(1);
    const QByteArray macs = "00:00:00:00:00:01\n\n00:00:00:00:00:02\n";
    const QByteArray listState = "source=list\nlist-sha256={sha}\nnext-line=";

    QTest::newRow("step of 0") << counter(1, 0) << "le:4" << QByteArray() << QByteArray()
                               << QStringList{"step must be 1 or more"};
    QTest::newRow("start beyond the form") << counter(256) << "le:1" << QByteArray() << QByteArray()
                                           << QStringList{"start 256 does not fit", "le:1", "at most 255"};
    QTest::newRow("last below start") << counter(10, 1, 9) << "le:4" << QByteArray() << QByteArray()
                                      << QStringList{"last value 9 is below its start 10"};
    QTest::newRow("last beyond the form") << counter(1, 1, 1000) << "dec:3" << QByteArray() << QByteArray()
                                          << QStringList{"last value 1000 does not fit"};

    QTest::newRow("list missing") << NumberSource{} << "le:4" << QByteArray("(no file)") << QByteArray()
                                  << QStringList{"macs.txt cannot be read"};
    QTest::newRow("list value not a number") << NumberSource{} << "le:4" << QByteArray("1\n# two\nzwei\n")
                                             << QByteArray() << QStringList{"macs.txt, line 3", "\"zwei\""};
    QTest::newRow("list value beyond the form") << NumberSource{} << "le:1" << QByteArray("255\n256\n") << QByteArray()
                                                << QStringList{"macs.txt, line 2", "256 does not fit"};
    QTest::newRow("list value twice") << NumberSource{} << "le:4" << QByteArray("0x10\n17\n16\n") << QByteArray()
                                      << QStringList{"number 16 on line 1 and again on line 3"};
    QTest::newRow("list without values") << NumberSource{} << "le:4" << QByteArray("# none yet\n\n") << QByteArray()
                                         << QStringList{"macs.txt holds no numbers"};

    QTest::newRow("state of a list, for a counter")
        << plain << "le:4" << QByteArray() << QByteArray(listState + "1\nreturned=\n")
        << QStringList{"line.numbers keeps the numbers of a list, not of a counter"};
    QTest::newRow("state of a counter, for a list")
        << NumberSource{} << "be:6" << macs << QByteArray("source=counter\nnext=5\nreturned=\n")
        << QStringList{"keeps the numbers of a counter, not of a list"};
    QTest::newRow("list changed") << NumberSource{} << "be:6" << macs
                                  << QByteArray("source=list\nlist-sha256=" + sha256("another list")
                                                + "\nnext-line=2\nreturned=\n")
                                  << QStringList{"macs.txt changed since numbers were first drawn from it",
                                                 "line.numbers", "new state file"};
    QTest::newRow("next not a number") << plain << "le:4" << QByteArray()
                                       << QByteArray(Header + "source=counter\nnext=1o42\nreturned=\n")
                                       << QStringList{"line.numbers, line 3", "next=1o42 is not a number",
                                                      "no number is guessed"};
    QTest::newRow("a line that is no setting")
        << plain << "le:4" << QByteArray() << QByteArray("source=counter\nnext=4\nreturned=\nnext 5\n")
        << QStringList{"line.numbers, line 4", "\"next 5\""};
    QTest::newRow("a setting twice") << plain << "le:4" << QByteArray()
                                     << QByteArray("source=counter\nnext=4\nnext=5\n")
                                     << QStringList{"line 3", "next= is set again (first on line 2)"};
    QTest::newRow("no next") << plain << "le:4" << QByteArray() << QByteArray("source=counter\nreturned=3\n")
                             << QStringList{"line.numbers: it has no next= line"};
    QTest::newRow("an empty state file") << plain << "le:4" << QByteArray() << QByteArray("\n")
                                         << QStringList{"it has no source= line"};
    QTest::newRow("given back but never handed out")
        << plain << "le:4" << QByteArray() << QByteArray("source=counter\nnext=4\nreturned=2 4\n")
        << QStringList{"line 3", "4 is given back but was never handed out"};
    QTest::newRow("given back twice") << plain << "le:4" << QByteArray()
                                      << QByteArray("source=counter\nnext=4\nreturned=2 3 2\n")
                                      << QStringList{"2 is given back twice"};
    QTest::newRow("a list line given back that holds no number")
        << NumberSource{} << "be:6" << macs << QByteArray(listState + "4\nreturned=2\n")
        << QStringList{"line.numbers, line 4", "line 2 of the list", "holds no number"};
    QTest::newRow("next line past the list")
        << NumberSource{} << "be:6" << macs << QByteArray(listState + "5\nreturned=\n")
        << QStringList{"line 3", "has no line 5"};

    QTest::newRow("counter past its last")
        << counter(1, 1, 10) << "le:4" << QByteArray() << QByteArray("source=counter\nnext=11\nreturned=\n")
        << QStringList{"used up", "counter 1 step 1 last 10", "past its last value"};
    QTest::newRow("counter past the form")
        << plain << "le:1" << QByteArray() << QByteArray("source=counter\nnext=256\nreturned=\n")
        << QStringList{"used up", "past what the number's form le:1 holds"};
    QTest::newRow("counter past 64 bits")
        << plain << "le:8" << QByteArray() << QByteArray("source=counter\nnext=none\nreturned=\n")
        << QStringList{"used up", "past the largest number"};
    QTest::newRow("list fully drawn") << NumberSource{} << "be:6" << macs << QByteArray(listState + "4\nreturned=\n")
                                      << QStringList{"used up", "every number of the list", "macs.txt"};
    QTest::newRow("state file that cannot be read") << plain << "le:4" << QByteArray() << QByteArray("(folder)")
                                                    << QStringList{"number state cannot be read", "line.numbers"};
}

void TestNumberSupply::refusals()
{
    QFETCH(NumberSource, source);
    QFETCH(QString, form);
    QFETCH(QByteArray, listText);
    QFETCH(QByteArray, stateText);
    QFETCH(QStringList, said);

    const QTemporaryDir dir;
    if (!listText.isEmpty()) {
        source = list(dir.filePath(QStringLiteral("macs.txt")));
        if (listText != "(no file)")
            writeFile(source.listPath, listText);
    }
    const QString statePath = dir.filePath(QStringLiteral("line.numbers"));
    if (stateText == "(folder)")
        QVERIFY(QDir().mkdir(statePath));
    else if (!stateText.isEmpty())
        writeFile(statePath, QByteArray(stateText).replace("{sha}", sha256(listText)));
    const QByteArray before = readFile(statePath);

    QString refusal;
    QVERIFY(!NumberSupply::open(source, *NumberForm::parse(form, 0, nullptr), statePath, &refusal));
    for (const QString &words : said)
        QVERIFY2(refusal.contains(words), qPrintable(refusal));
    QCOMPARE(readFile(statePath), before);
}

enum class Breakage { NewStateCannotBeMade, DiskFull, FolderGone, StateRemoved };

void TestNumberSupply::failureLeavesTheStateAsItWas_data()
{
    QTest::addColumn<Breakage>("breakage");
    QTest::addColumn<QString>("said");
    QTest::newRow("new state cannot be made") << Breakage::NewStateCannotBeMade << "cannot be written";
    QTest::newRow("disk full") << Breakage::DiskFull << "No space left on device";
    QTest::newRow("folder gone") << Breakage::FolderGone << "cannot be locked";
    QTest::newRow("state file removed") << Breakage::StateRemoved << "line.numbers is gone";
}

void TestNumberSupply::failureLeavesTheStateAsItWas()
{
    QFETCH(Breakage, breakage);
    QFETCH(QString, said);

    const QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("share"));
    std::optional<SmallDisk> disk;
    if (breakage == Breakage::DiskFull) {
        disk.emplace(folder);
        if (!disk->mounted())
            QSKIP(qPrintable(QStringLiteral("no small disk can be mounted here: %1").arg(disk->error())));
    } else {
        QVERIFY(QDir().mkdir(folder));
    }
    const QString statePath = folder + QStringLiteral("/line.numbers");
    QString why;
    const std::unique_ptr<NumberSupply> supply = NumberSupply::open(counter(1), form("le:4"), statePath, &why);
    QVERIFY2(supply, qPrintable(why));
    const DeviceNumber first = *supply->take(&why);
    const QByteArray before = readFile(statePath);

    QString filler;
    switch (breakage) {
    case Breakage::NewStateCannotBeMade:
        QVERIFY(QDir().mkdir(statePath + QStringLiteral(".new")));
        break;
    case Breakage::DiskFull:
        filler = disk->fill();
        break;
    case Breakage::FolderGone: // a share unmounted, its mount point left behind as a file
        QVERIFY(QDir().rename(folder, folder + QStringLiteral(".away")));
        writeFile(folder, "not a folder");
        break;
    case Breakage::StateRemoved:
        QVERIFY(QFile::rename(statePath, statePath + QStringLiteral(".kept")));
        break;
    }

    QVERIFY(!supply->take(&why));
    QVERIFY2(why.contains(said), qPrintable(why));
    QVERIFY(!supply->giveBack(first, &why));
    QVERIFY2(why.contains(said), qPrintable(why));

    switch (breakage) {
    case Breakage::NewStateCannotBeMade:
        QVERIFY(QDir().rmdir(statePath + QStringLiteral(".new")));
        break;
    case Breakage::DiskFull:
        QVERIFY(QFile::remove(filler));
        break;
    case Breakage::FolderGone:
        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().rename(folder + QStringLiteral(".away"), folder));
        break;
    case Breakage::StateRemoved:
        QVERIFY(!QFile::exists(statePath)); // never started again by itself
        QVERIFY(QFile::rename(statePath + QStringLiteral(".kept"), statePath));
        break;
    }
    QCOMPARE(readFile(statePath), before);
    QVERIFY(!QFile::exists(statePath + QStringLiteral(".new")));
    // Nothing was handed out, so nothing was skipped.
    const std::optional<DeviceNumber> next = supply->take(&why);
    QVERIFY2(next, qPrintable(why));
    QCOMPARE(next->value, 2u);
}

void TestNumberSupply::threadsAndProcessesNeverShareANumber()
{
    const QTemporaryDir dir;
    const QString statePath = dir.filePath(QStringLiteral("line.numbers"));
    QString why;
    // Two supplies in this process on one state file, as two stations would be.
    std::unique_ptr<NumberSupply> supplies[2];
    for (auto &supply : supplies) {
        supply = NumberSupply::open(counter(1), form("le:4"), statePath, &why);
        QVERIFY2(supply, qPrintable(why));
    }

    constexpr int ProcessTakes = 15;
    QProcess others[2];
    for (QProcess &other : others) {
        other.start(taker(),
                    {QStringLiteral("--taker"), statePath, QString::number(ProcessTakes), QStringLiteral("4")});
        QVERIFY(other.waitForStarted());
    }
    // The other processes are taking before the threads start.
    for (QProcess &other : others)
        QTRY_VERIFY_WITH_TIMEOUT(other.canReadLine() || other.state() == QProcess::NotRunning, 20000);

    constexpr int Threads = 8;
    constexpr int ThreadTakes = 12;
    QByteArray outputs[Threads];
    QString failures[Threads];
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([&, t] {
                NumberSupply &supply = *supplies[t % 2];
                for (int i = 1; i <= ThreadTakes; ++i) {
                    const std::optional<DeviceNumber> number = supply.take(&failures[t]);
                    if (!number)
                        return;
                    const QByteArray value = QByteArray::number(number->value);
                    outputs[t] += "took " + value + '\n';
                    if (i % 5 == 0) {
                        outputs[t] += "giving " + value + '\n';
                        if (!supply.giveBack(*number, &failures[t]))
                            return;
                        outputs[t] += "gave " + value + '\n';
                    }
                }
            });
        }
    }
    Tally tally;
    for (int t = 0; t < Threads; ++t) {
        QVERIFY2(failures[t].isEmpty(), qPrintable(failures[t]));
        tally.read(outputs[t]);
    }
    for (QProcess &other : others) {
        QVERIFY(other.state() == QProcess::NotRunning || other.waitForFinished(60000));
        QVERIFY2(other.exitCode() == 0, other.readAllStandardError().constData());
        const QByteArray output = other.readAllStandardOutput();
        QCOMPARE(output.count("took "), ProcessTakes);
        tally.read(output);
    }

    // Every number held once, and every number up to the next either held
    // or given back: no duplicate, and no gap.
    const std::set<quint64> held(tally.held.begin(), tally.held.end());
    QCOMPARE(held.size(), tally.held.size());
    const CounterState state = counterState(statePath);
    std::multiset<quint64> accounted = tally.held;
    accounted.insert(state.returned.begin(), state.returned.end());
    std::multiset<quint64> all;
    for (quint64 value = 1; value < state.next; ++value)
        all.insert(value);
    QCOMPARE(accounted, all);
    QCOMPARE(tally.held.size(), std::size_t(Threads * ThreadTakes + 2 * ProcessTakes - tally.givenBack));
}

void TestNumberSupply::killedTakerLeavesAStateTheNextContinues()
{
    const QTemporaryDir dir;
    const QString statePath = dir.filePath(QStringLiteral("line.numbers"));
    QString why;
    const std::unique_ptr<NumberSupply> supply = NumberSupply::open(counter(1), form("le:4"), statePath, &why);
    QVERIFY2(supply, qPrintable(why));

    // A taker spends nearly all its time with the lock held, writing and
    // flushing: killed after a random count of numbers, it is killed there
    // most of the time, and anywhere else the rest.
    History history;
    int killedMidWrite = 0;
    constexpr int Rounds = 8;
    for (int round = 0; round < Rounds; ++round) {
        QProcess other;
        other.start(taker(), {QStringLiteral("--taker"), statePath, QStringLiteral("0"), QStringLiteral("3")});
        QVERIFY(other.waitForStarted());
        const int lines = QRandomGenerator::global()->bounded(1, 8);
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += other.readAllStandardOutput()).count('\n') >= lines
                                     || other.state() == QProcess::NotRunning,
                                 20000);
        other.kill();
        QVERIFY(other.state() == QProcess::NotRunning || other.waitForFinished(20000));
        QVERIFY2(other.exitStatus() == QProcess::CrashExit, other.readAllStandardError().constData());
        output += other.readAllStandardOutput();
        history.read(output.left(output.lastIndexOf('\n') + 1)); // a line cut short says nothing
        if (QFile::exists(statePath + QStringLiteral(".new")))
            ++killedMidWrite;

        // The next station takes at once, and never what the killed one took.
        const std::optional<DeviceNumber> number = supply->take(&why);
        QVERIFY2(number, qPrintable(why));
        history.hear("took", number->value);
    }
    QVERIFY2(history.repeated.isEmpty(), qPrintable(QString::number(history.repeated.value(0))));
    // Numbers held are not free. Numbers given back are recorded free,
    // unless a take cut short by the kill drew one (at most one a kill).
    const CounterState state = counterState(statePath);
    int givenBackAndGone = 0;
    for (const auto &[value, word] : history.last) {
        QVERIFY(value < state.next);
        if (word == "took")
            QCOMPARE(state.returned.count(value), 0u);
        if (word == "gave" && state.returned.count(value) == 0)
            ++givenBackAndGone;
    }
    QVERIFY(givenBackAndGone <= Rounds);
    for (const quint64 value : state.returned)
        QVERIFY(history.last[value] != "took");
    qInfo("%d of %d takers were killed while writing the state", killedMidWrite, Rounds);
}

// A station that holds the lock and stays on it costs the others one
// number each, never a hang: the take gives up after the lock's patience,
// the state as it was, and the next take after the holder let go works.
void TestNumberSupply::aLockHeldOnIsWaitedForWithPatience()
{
    const QTemporaryDir dir;
    const QString statePath = dir.filePath(QStringLiteral("line.numbers"));
    QString why;
    const std::unique_ptr<NumberSupply> supply = NumberSupply::open(counter(1), form("le:4"), statePath, &why);
    QVERIFY2(supply, qPrintable(why));
    QVERIFY(supply->take(&why));
    const QByteArray before = readFile(statePath);

    QProcess holder;
    holder.start(taker(), {QStringLiteral("--holder"), statePath});
    QVERIFY(holder.waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += holder.readAllStandardOutput()).contains("held\n"), 20000);
    QElapsedTimer waited;
    waited.start();
    QVERIFY(!supply->take(&why));
    QVERIFY2(why.contains(QStringLiteral("held by another station")), qPrintable(why));
    QVERIFY(waited.elapsed() >= StateFile::LockPatienceMs - 100);
    QCOMPARE(readFile(statePath), before);

    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(20000));
    const std::optional<DeviceNumber> next = supply->take(&why);
    QVERIFY2(next, qPrintable(why));
    QCOMPARE(next->value, quint64(2));
}

void TestNumberSupply::names()
{
    const QList<std::pair<QString, QString>> statePaths = {
        {"line-a.csv", "line-a.numbers"},
        {"log", "log.numbers"},
        {"/var/log/line.a.csv", "/var/log/line.a.numbers"},
        {"/var/log.d/station", "/var/log.d/station.numbers"},
        {".station", ".station.numbers"},
        {"line.numbers", "line.numbers.numbers"}, // never the log itself
    };
    for (const auto &[log, state] : statePaths)
        QCOMPARE(defaultNumberStatePath(log), state);

    QCOMPARE(counter(1000, 1, 9999).text(), QStringLiteral("counter 1000 step 1 last 9999"));
    QCOMPARE(counter(1).text(), QStringLiteral("counter 1 step 1"));
    QCOMPARE(list(QStringLiteral("/abs/path/macs.txt")).text(), QStringLiteral("list /abs/path/macs.txt"));
    QCOMPARE(list(QStringLiteral("macs.txt")).text(), QStringLiteral("list ") + QDir::current().filePath("macs.txt"));
}

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--holder") == 0)
        return runHolder(QFile::decodeName(argv[2]));
    if (argc == 5 && qstrcmp(argv[1], "--taker") == 0)
        return runTaker(QFile::decodeName(argv[2]), atoi(argv[3]), atoi(argv[4]));
    QCoreApplication application(argc, argv);
    TestNumberSupply test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_number_supply.moc"
