// What a device's own number costs: the real StationNumbers (the number
// taken from the shared state file under its lock, recorded on the disk, the
// image stamped, the number settled after the attempt) timed on the disk the
// benchmark lies on, the number's records on the wire, and a state file shared
// by the slots of a station and by two stations at once. Prints Markdown table
// rows (figure | value | reference | ratio) and, last, lines starting with
// "Verdict:".
//
//   tarvik-bench-numbers [--quick] [--in FOLDER] FIRMWARE
//       a number's cost per device (take, stamped, settle), its records' wire
//       time, and the shared state: 8 slots taking at the same moment, two
//       processes of 4 slots doing so, and 8 slots at a station's pace
//   tarvik-bench-numbers [--quick] station FIRMWARE [DEVICES]
//       end to end: one slot of `tarvik-downloader station` with numbers and
//       one without, side by side against simulated fixtures, DEVICES each
//       (8) in each of two rounds; devices per hour and the per-device
//       difference
//   tarvik-bench-numbers taker FIRMWARE STATE SLOTS BURSTS START_NS
//       one of the two processes of the shared-state figure (started by the
//       benchmark itself): its slots take together in each burst from
//       START_NS on; prints each take's start and end on the steady clock, in
//       nanoseconds
//
// The state files go in FOLDER (default: beside the program, on the disk the
// checkout is on, not /tmp, which may be a tmpfs where a flush costs
// nothing); the same cost is also timed on /dev/shm when that is a tmpfs, for
// reference. --quick: fewer takes and a short paced window, to try it.

#include "BenchSupport.h"
#include "bench_station.h"

#include "engine/FirmwareFile.h"
#include "numbers/NumberedImage.h"
#include "station/StationNumbers.h"
#include "station/StationPlan.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using Bench::Clock;

namespace {

bool quick = false;

// The image's rate; a byte takes 10 bits on the wire (Bench::wireMs).
constexpr int ImageRate = 115200;
// The share of the image's wire time a number may cost a device.
constexpr double TargetShare = 0.01;
// Where the number goes: a 32-bit serial in the last page of a 64 KiB part
// at the usual flash base, so its data record needs a base record of its own
// (the example firmware's records lie at 0x0000).
const QString NumberAddress = QStringLiteral("0x0800F000");
constexpr quint32 NumberAddressValue = 0x0800F000;
const QString NumberFormText = QStringLiteral("le:4");
// Between two bursts of takes: eight takes of about 10 ms each, and room for
// a slow flush, end well within it.
constexpr std::chrono::milliseconds BurstGap{250};
// Before each device's take on one slot.
constexpr std::chrono::milliseconds DevicePause{200};

[[noreturn]] void stop(const QString &why)
{
    std::fprintf(stderr, "bench numbers: %s\n", qPrintable(why));
    std::exit(1);
}

QByteArray imageOf(const QString &firmwarePath)
{
    QString reason;
    const std::optional<QByteArray> bytes = FirmwareFile::readBytes(firmwarePath, &reason);
    if (!bytes)
        stop(reason);
    const FirmwareFile::Image image = FirmwareFile::parse(*bytes);
    if (!image.passed)
        stop(QStringLiteral("%1 does not pass the marker check").arg(firmwarePath));
    return image.text;
}

NumberPlan planFor(const QString &statePath, const QString &form = NumberFormText,
                   const QString &address = NumberAddress)
{
    NumberPlan plan;
    plan.address = address;
    plan.form = form;
    plan.counter = QStringLiteral("1");
    plan.statePath = statePath;
    return plan;
}

// The state, its lock file and a replacement a killed run may have left.
void removeState(const QString &statePath)
{
    for (const QString &suffix : {QString(), QStringLiteral(".lock"), QStringLiteral(".new")})
        QFile::remove(statePath + suffix);
}

std::shared_ptr<StationNumbers> numbersFor(const QString &statePath, const QByteArray &image)
{
    std::variant<std::shared_ptr<StationNumbers>, QString> prepared =
        StationNumbers::prepare(planFor(statePath), image, QString());
    if (const QString *why = std::get_if<QString>(&prepared))
        stop(*why);
    return std::get<std::shared_ptr<StationNumbers>>(prepared);
}

// A device that passed: its number is used up, nothing more is written.
Attempt passedAttempt()
{
    Attempt attempt;
    attempt.outcome = AttemptOutcome::Passed;
    attempt.imageStarted = true;
    return attempt;
}

DeviceImages::ForDevice takeOne(StationNumbers &numbers)
{
    QString why;
    std::optional<DeviceImages::ForDevice> own = numbers.take(&why);
    if (!own)
        stop(QStringLiteral("no number was taken: %1").arg(why));
    return std::move(*own);
}

// The nearest-rank percentile of `values`, 0 < share <= 1.
double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(share * double(values.size())));
    return values.at(std::clamp<size_t>(rank, 1, values.size()) - 1);
}

double longest(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double mean(const std::vector<double> &values)
{
    double sum = 0;
    for (const double value : values)
        sum += value;
    return values.empty() ? 0 : sum / double(values.size());
}

QString ms(double value)
{
    return Bench::fixed(value, value < 1 ? 3 : 2);
}

// "median of 200; p99 12.31, longest 15.02"
QString spread(const std::vector<double> &values)
{
    return QStringLiteral("median of %1; p99 %2, longest %3")
        .arg(values.size())
        .arg(ms(percentile(values, 0.99)), ms(longest(values)));
}

// The file system a folder lies on, from the mount table: "ext4 on /dev/vda".
QString fileSystemOf(const QString &folder)
{
    const QString path = QFileInfo(folder).canonicalFilePath();
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown file system");
    QString best;
    QString found = QStringLiteral("unknown file system");
    // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw": the
    // mount point is the fifth field; the type and source follow the " - ".
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() < 5 || dash < 0 || dash + 2 >= fields.size())
            continue;
        const QString mountPoint =
            QString::fromUtf8(fields.at(4)).replace(QStringLiteral("\\040"), QStringLiteral(" "));
        const bool under =
            path == mountPoint || mountPoint == QStringLiteral("/") || path.startsWith(mountPoint + QLatin1Char('/'));
        if (under && mountPoint.size() >= best.size()) {
            best = mountPoint;
            found = QStringLiteral("%1 on %2")
                        .arg(QString::fromUtf8(fields.at(dash + 1)), QString::fromUtf8(fields.at(dash + 2)));
        }
    }
    return found;
}

double imageWireMs(const QByteArray &image)
{
    return Bench::wireMs(image.size(), ImageRate);
}

QString shareText(double partMs, double imageMs)
{
    return Bench::fixed(100.0 * partMs / imageMs, 3);
}

struct DeviceCost
{
    std::vector<double> total; // take, stamped and settle
    std::vector<double> take;  // the take alone (the lock, the disk and the stamped image)
    std::vector<double> stamped;
};

// The number of one device after another on one slot, as the slot does it:
// take before the image, settle after a pass. A slot takes a number after
// seconds of waits, with the processor's caches and the disk gone cold; taken
// back to back, a take costs a third of that. So each take here comes after a
// pause.
DeviceCost deviceCost(const QByteArray &image, const QString &folder, int devices)
{
    const QString statePath = folder + QStringLiteral("/bench-numbers-cost.numbers");
    removeState(statePath);
    DeviceCost cost;
    {
        const std::shared_ptr<StationNumbers> numbers = numbersFor(statePath, image);
        const Attempt passed = passedAttempt();
        for (int i = 0; i < 3; ++i) // the files' first writes are not a device's
            numbers->settle(takeOne(*numbers), passed);
        for (int i = 0; i < devices; ++i) {
            std::this_thread::sleep_for(DevicePause);
            const Clock::time_point start = Clock::now();
            const DeviceImages::ForDevice own = takeOne(*numbers);
            const Clock::time_point taken = Clock::now();
            numbers->settle(own, passed);
            const Clock::time_point settled = Clock::now();
            cost.take.push_back(Bench::msBetween(start, taken));
            cost.total.push_back(Bench::msBetween(start, settled));
        }
    }
    removeState(statePath);

    // The stamped image alone: the copy of the image with the number's records in.
    QString refusal;
    const std::optional<NumberForm> form = NumberForm::parse(NumberFormText, NumberAddressValue, &refusal);
    const std::optional<NumberedImage> numbered = form ? NumberedImage::prepare(image, *form, &refusal) : std::nullopt;
    if (!numbered)
        stop(refusal);
    qint64 sum = 0;
    for (int i = 0; i < devices; ++i) {
        const Clock::time_point start = Clock::now();
        const QByteArray stamped = numbered->stamped(form->bytes(quint64(i)));
        cost.stamped.push_back(Bench::msBetween(start, Clock::now()));
        sum += stamped.size(); // keeps the copy from being optimised away
    }
    if (sum == 0)
        stop(QStringLiteral("the stamped image is empty"));
    return cost;
}

// The number's records for `form` at `address`, as stamped() adds them.
QByteArray numberRecords(const QByteArray &image, const QString &formText, quint32 address)
{
    QString refusal;
    const std::optional<NumberForm> form = NumberForm::parse(formText, address, &refusal);
    const std::optional<NumberedImage> numbered = form ? NumberedImage::prepare(image, *form, &refusal) : std::nullopt;
    if (!numbered)
        stop(refusal);
    const QByteArray value = form->bytes(1);
    const QByteArray records = numbered->numberRecords(value);
    if (numbered->stamped(value).size() != image.size() + records.size())
        stop(QStringLiteral("the stamped image is not the image and the number's records"));
    return records;
}

// One take on the steady clock, in nanoseconds since its epoch: the clock
// every process of this machine shares.
struct Take
{
    qint64 startNs = 0;
    qint64 endNs = 0;
    double ms() const { return double(endNs - startNs) / 1e6; }
};

qint64 nsOf(Clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

Clock::time_point timeOf(qint64 ns)
{
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns)));
}

// How the slots take: all at the same moment in bursts (devices answering
// their slots together), or each once in every cycle of `cycleMs` at a random
// phase, as the slots of a station do, until `window` has passed.
struct Pace
{
    int bursts = 0;                        // together, once every `burstGap`
    std::chrono::milliseconds burstGap{0}; // long enough for a burst's takes to end
    std::pair<int, int> cycleMs{0, 0};     // paced: each slot's cycle, from..to
    std::chrono::milliseconds window{0};   // paced: how long
};

// `slotCount` threads sharing `numbers`, as the slots of one station share it,
// from `startAt` on.
std::vector<Take> takeInSlots(StationNumbers &numbers, int slotCount, const Pace &pace, Clock::time_point startAt)
{
    std::vector<std::vector<Take>> taken(static_cast<size_t>(slotCount));
    std::vector<std::thread> threads;
    const Attempt passed = passedAttempt();
    for (int slot = 0; slot < slotCount; ++slot) {
        threads.emplace_back([&, slot] {
            std::vector<Take> &mine = taken[size_t(slot)];
            const auto once = [&] {
                const Clock::time_point start = Clock::now();
                const DeviceImages::ForDevice own = takeOne(numbers);
                mine.push_back({nsOf(start), nsOf(Clock::now())});
                numbers.settle(own, passed);
            };
            if (pace.bursts > 0) {
                for (int i = 0; i < pace.bursts; ++i) {
                    std::this_thread::sleep_until(startAt + i * pace.burstGap);
                    once();
                }
                return;
            }
            std::mt19937 random(unsigned(1000 + slot));
            std::uniform_int_distribution<int> cycle(pace.cycleMs.first, pace.cycleMs.second);
            const Clock::time_point end = startAt + pace.window;
            // Each slot at its own point of its cycle, as devices come.
            std::uniform_int_distribution<int> phase(0, pace.cycleMs.second);
            Clock::time_point next = startAt + std::chrono::milliseconds(phase(random));
            while (next < end) {
                std::this_thread::sleep_until(next);
                once();
                next += std::chrono::milliseconds(cycle(random));
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::vector<Take> all;
    for (const std::vector<Take> &mine : taken)
        all.insert(all.end(), mine.begin(), mine.end());
    return all;
}

// Takes split into their wait for the lock and their own time. The takes of
// one state file hold its lock one at a time, so a take that found it held
// got it when the last take to end before it ended, whichever slot or
// process that was: its own time runs from then.
struct LockUse
{
    std::vector<double> total;
    std::vector<double> wait;
    std::vector<double> own;
    int foundHeld = 0;
    double heldShare = 0; // of the window, the lock held
};

LockUse lockUse(const std::vector<Take> &takes, double windowMs)
{
    std::vector<qint64> ends;
    for (const Take &take : takes)
        ends.push_back(take.endNs);
    std::sort(ends.begin(), ends.end());
    LockUse use;
    double heldMs = 0;
    for (const Take &take : takes) {
        const auto ownEnd = std::lower_bound(ends.begin(), ends.end(), take.endNs);
        qint64 acquiredNs = take.startNs;
        if (ownEnd != ends.begin() && *(ownEnd - 1) > take.startNs) {
            acquiredNs = *(ownEnd - 1);
            ++use.foundHeld;
        }
        use.total.push_back(take.ms());
        use.wait.push_back(double(acquiredNs - take.startNs) / 1e6);
        use.own.push_back(double(take.endNs - acquiredNs) / 1e6);
        heldMs += use.own.back();
    }
    use.heldShare = windowMs > 0 ? heldMs / windowMs : 0;
    return use;
}

// Two processes of `slotsEach` slots on one state file, each a station of its
// own (this program in its "taker" form), started together.
std::vector<Take> takeInTwoProcesses(const QString &firmware, const QString &statePath, int slotsEach, int bursts)
{
    const qint64 startNs = nsOf(Clock::now() + 1500ms); // both ready by then
    std::vector<std::unique_ptr<QProcess>> takers;
    for (int i = 0; i < 2; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QCoreApplication::applicationFilePath(),
                       {QStringLiteral("taker"), firmware, statePath, QString::number(slotsEach),
                        QString::number(bursts), QString::number(startNs)});
        takers.push_back(std::move(process));
    }
    std::vector<Take> all;
    for (const std::unique_ptr<QProcess> &process : takers) {
        if (!process->waitForFinished(120000) || process->exitStatus() != QProcess::NormalExit
            || process->exitCode() != 0)
            stop(QStringLiteral("a taker process failed"));
        for (const QByteArray &line : process->readAllStandardOutput().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() == 2)
                all.push_back({fields.at(0).toLongLong(), fields.at(1).toLongLong()});
        }
    }
    if (all.size() != size_t(2 * slotsEach * bursts))
        stop(QStringLiteral("the taker processes reported %1 takes").arg(all.size()));
    return all;
}

int taker(const QStringList &arguments)
{
    if (arguments.size() != 5)
        return 2;
    const QByteArray image = imageOf(arguments.at(0));
    const std::shared_ptr<StationNumbers> numbers = numbersFor(arguments.at(1), image);
    Pace pace;
    pace.bursts = arguments.at(3).toInt();
    pace.burstGap = BurstGap;
    const std::vector<Take> takes =
        takeInSlots(*numbers, arguments.at(2).toInt(), pace, timeOf(arguments.at(4).toLongLong()));
    for (const Take &take : takes)
        std::printf("%lld %lld\n", static_cast<long long>(take.startNs), static_cast<long long>(take.endNs));
    return 0;
}

// Every number handed out once: the counter starts at 1, so the takes of a
// run are 1..N, none twice (the warm-up's too).
void checkHandedOutOnce(const QString &statePath, const QByteArray &image, qsizetype takes)
{
    const std::shared_ptr<StationNumbers> numbers = numbersFor(statePath, image);
    const QString next = numbers->nextInWords();
    if (next != QStringLiteral("next %1").arg(takes + 1))
        stop(QStringLiteral("after %1 takes the state says \"%2\"").arg(takes).arg(next));
}

void costAndSharing(const QString &firmware, const QString &folder)
{
    const QByteArray image = imageOf(firmware);
    const double imageMs = imageWireMs(image);
    const double allowedMs = TargetShare * imageMs;
    const QString allowed =
        QStringLiteral("1 % of the %1-byte image's wire time: %2").arg(image.size()).arg(Bench::fixed(allowedMs, 2));
    const int devices = quick ? 20 : 80;

    // (1) A number's cost on the disk, and on a tmpfs for reference.
    const QString disk = fileSystemOf(folder);
    const DeviceCost onDisk = deviceCost(image, folder, devices);
    const double costMs = Bench::median(onDisk.total);
    Bench::row(QStringLiteral("A device's number on %1 in %2: take (lock, read, write, fsync, rename, folder fsync, "
                              "stamped image) and settle after a pass, ms (%3; the take alone %4, stamped alone %5 µs)")
                   .arg(disk, QDir::toNativeSeparators(folder), spread(onDisk.total), ms(Bench::median(onDisk.take)),
                        Bench::fixed(1000 * Bench::median(onDisk.stamped), 1)),
               ms(costMs), allowed, Bench::fixed(costMs / allowedMs, 3));
    const QString shm = QStringLiteral("/dev/shm");
    if (QFileInfo(shm).isDir() && fileSystemOf(shm).startsWith(QStringLiteral("tmpfs"))) {
        const DeviceCost inMemory = deviceCost(image, shm, devices / 2);
        Bench::row(QStringLiteral("The same on tmpfs (/dev/shm), where a flush costs nothing, ms (%1)")
                       .arg(spread(inMemory.total)),
                   ms(Bench::median(inMemory.total)), allowed,
                   Bench::fixed(Bench::median(inMemory.total) / allowedMs, 3));
    }

    // (2) The number's records on the wire.
    const QByteArray records = numberRecords(image, NumberFormText, NumberAddressValue);
    const double recordsMs = Bench::wireMs(records.size(), ImageRate);
    Bench::row(QStringLiteral("The number's records on the wire (%1 at %2: a base record and a data record, %3 bytes), "
                              "ms at 115200 baud")
                   .arg(NumberFormText, NumberAddress)
                   .arg(records.size()),
               ms(recordsMs), allowed, Bench::fixed(recordsMs / allowedMs, 3));
    // The longest a number gets: 20 decimal digits across a 64 KiB boundary,
    // two base records and two data records.
    const QByteArray widest = numberRecords(image, QStringLiteral("dec:20"), 0x0800FFF6);
    const double widestMs = Bench::wireMs(widest.size(), ImageRate);
    Bench::row(QStringLiteral("The widest number's records (dec:20 at 0x0800FFF6, across a 64 KiB boundary: %1 bytes), "
                              "ms at 115200 baud")
                   .arg(widest.size()),
               ms(widestMs), allowed, Bench::fixed(widestMs / allowedMs, 3));
    // What a station loses over a shift is the mean, slow flushes included.
    const double meanMs = mean(onDisk.total);
    const double wholeShare = 100.0 * (meanMs + recordsMs) / imageMs;
    const double widestShare = 100.0 * (meanMs + widestMs) / imageMs;
    const double slowestShare = 100.0 * (longest(onDisk.total) + widestMs) / imageMs;
    const auto whole = [&](const QString &what, double share) {
        Bench::row(QStringLiteral("What a number costs a device: %1, % of the image's %2 ms of wire time")
                       .arg(what, Bench::fixed(imageMs, 1)),
                   Bench::fixed(share, 3), QStringLiteral("target: 1"), Bench::fixed(share / 1.0, 3));
    };
    whole(QStringLiteral("%1, its take and settle on %2 (mean: %3 ms) plus its records on the wire")
              .arg(NumberFormText, disk, ms(meanMs)),
          wholeShare);
    whole(QStringLiteral("the widest number, the same"), widestShare);

    // (3) One state file shared.
    const QString statePath = folder + QStringLiteral("/bench-numbers-shared.numbers");
    const int slotCount = 8;
    const int bursts = quick ? 4 : 16;
    std::vector<Take> together;
    std::vector<Take> twoStations;
    std::vector<Take> paced;
    const std::chrono::milliseconds window = quick ? 12s : 20s;
    {
        removeState(statePath);
        const std::shared_ptr<StationNumbers> numbers = numbersFor(statePath, image);
        Pace atOnce;
        atOnce.bursts = bursts;
        atOnce.burstGap = BurstGap;
        together = takeInSlots(*numbers, slotCount, atOnce, Clock::now());
    }
    checkHandedOutOnce(statePath, image, slotCount * bursts);
    removeState(statePath);
    numbersFor(statePath, image); // made before the two processes start, so neither waits for the other to make it
    twoStations = takeInTwoProcesses(firmware, statePath, slotCount / 2, bursts);
    checkHandedOutOnce(statePath, image, slotCount * bursts);
    {
        removeState(statePath);
        const std::shared_ptr<StationNumbers> numbers = numbersFor(statePath, image);
        Pace pace;
        pace.cycleMs = {4000, 5000};
        pace.window = window;
        paced = takeInSlots(*numbers, slotCount, pace, Clock::now());
    }
    checkHandedOutOnce(statePath, image, qsizetype(paced.size()));
    removeState(statePath);

    // The reference is one slot alone: the take of the first figure.
    const double aloneMs = Bench::median(onDisk.take);
    const auto againstAlone = [&](const QString &what, const LockUse &use) {
        Bench::row(QStringLiteral("Shared state: %1, ms a take: its wait for the lock and its own time (%2). The wait: "
                                  "median %3, p99 %4, longest %5; its own time: median %6")
                       .arg(what, spread(use.total), ms(Bench::median(use.wait)), ms(percentile(use.wait, 0.99)),
                            ms(longest(use.wait)), ms(Bench::median(use.own))),
                   ms(Bench::median(use.total)), QStringLiteral("one slot alone: %1").arg(ms(aloneMs)),
                   Bench::fixed(Bench::median(use.total) / aloneMs, 2));
    };
    againstAlone(QStringLiteral("8 slots of one station taking at the same moment (%1 bursts)").arg(bursts),
                 lockUse(together, 0));
    againstAlone(QStringLiteral("two stations (processes) of 4 slots each, all 8 taking at the same moment (%1 bursts)")
                     .arg(bursts),
                 lockUse(twoStations, 0));
    const double windowMs = double(window.count());
    const LockUse pacedUse = lockUse(paced, windowMs);
    againstAlone(QStringLiteral("8 slots at a station's pace (each a number every 4 s to 5 s, at random phases, for "
                                "%1 s: %2 takes, %3 found the lock held; the lock held %4 % of the time)")
                     .arg(window.count() / 1000)
                     .arg(paced.size())
                     .arg(pacedUse.foundHeld)
                     .arg(Bench::fixed(100 * pacedUse.heldShare, 2)),
                 pacedUse);
    // What sharing adds to a device is its take's wait for the lock.
    const double waitMean = mean(pacedUse.wait);
    const double waitLongest = longest(pacedUse.wait);
    Bench::row(QStringLiteral("Shared state at a station's pace: the wait for the lock a device's take adds, ms (mean "
                              "of %1 takes; longest %2, %3 % of the image's wire time)")
                   .arg(paced.size())
                   .arg(ms(waitLongest), shareText(waitLongest, imageMs)),
               ms(waitMean), allowed, Bench::fixed(waitMean / allowedMs, 3));

    std::printf("Verdict: A number (%s) costs a device %s %% of a %lld-byte image's wire time at 115200 baud on "
                "average, the widest number %s %% (target: at most 1 %%): %s. The slowest take seen with the widest "
                "number's records: %s %%.\n",
                qPrintable(NumberFormText), qPrintable(Bench::fixed(wholeShare, 2)),
                static_cast<long long>(image.size()), qPrintable(Bench::fixed(widestShare, 2)),
                std::max(wholeShare, widestShare) <= 1.0 ? "met" : "missed", qPrintable(Bench::fixed(slowestShare, 2)));
    std::printf("Verdict: At a station's pace (8 slots, about 2 numbers a second) the shared state's lock was held %s "
                "%% of the time; %d of %zu takes found it held, and the wait adds %s ms to a device on average "
                "(longest %s ms).\n",
                qPrintable(Bench::fixed(100 * pacedUse.heldShare, 2)), pacedUse.foundHeld, paced.size(),
                qPrintable(ms(waitMean)), qPrintable(ms(waitLongest)));
}

// ---- End to end -----------------------------------------------------------

// `tarvik-downloader station --terminal` (beside this benchmark) as a
// process of its own, its plain lines thrown away.
class StationRun
{
public:
    explicit StationRun(const QStringList &arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        m_process.setProcessEnvironment(environment);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/tarvik-downloader");
        m_process.start(program, QStringList{QStringLiteral("station"), QStringLiteral("--terminal")} + arguments);
        if (!m_process.waitForStarted(10000))
            stop(QStringLiteral("cannot start %1").arg(program));
    }
    ~StationRun()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(60000)) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }
    StationRun(const StationRun &) = delete;
    StationRun &operator=(const StationRun &) = delete;

private:
    QProcess m_process;
};

struct SlotRun
{
    std::vector<double> cycles; // verdict to verdict
    // The cycles' parts: the verdict before to the device's first answer, the
    // answer to "dl" (the take is in it), "dl" to the verdict (the image).
    std::vector<std::array<double, 3>> parts;
    int flashedOnce = 0;
    qsizetype imageBytes = 0;
    std::set<quint32> numbers; // read back from the devices' memory

    void add(const SlotRun &other)
    {
        cycles.insert(cycles.end(), other.cycles.begin(), other.cycles.end());
        parts.insert(parts.end(), other.parts.begin(), other.parts.end());
        flashedOnce += other.flashedOnce;
        imageBytes = other.imageBytes;
        numbers.insert(other.numbers.begin(), other.numbers.end());
    }
};

SlotRun slotRun(const QList<Fixture::Record> &records)
{
    SlotRun run;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const Fixture::Record &record = records.at(i);
        if (record.imagesReceived == 1 && record.answeredOk == 1)
            ++run.flashedOnce;
        if (!record.images.isEmpty())
            run.imageBytes = record.images.first().size();
        const Fixture::Record *before = i > 0 ? &records.at(i - 1) : nullptr;
        if (before && before->verdictAt && record.firstAnswerAt && record.commandsAt && record.verdictAt) {
            run.cycles.push_back(Bench::msBetween(*before->verdictAt, *record.verdictAt));
            run.parts.push_back({Bench::msBetween(*before->verdictAt, *record.firstAnswerAt),
                                 Bench::msBetween(*record.firstAnswerAt, *record.commandsAt),
                                 Bench::msBetween(*record.commandsAt, *record.verdictAt)});
        }
        const QByteArray number = record.memory.read(NumberAddressValue, 4);
        if (number != QByteArray(4, '\xff'))
            run.numbers.insert(quint32(quint8(number[0])) | quint32(quint8(number[1])) << 8
                               | quint32(quint8(number[2])) << 16 | quint32(quint8(number[3])) << 24);
    }
    return run;
}

// One slot with numbers and one without, side by side so the machine's other
// work weighs on both alike, each against its own fixture swapping at once
// (as the station's devices-per-hour figure: every device at 9600 baud goes
// silent at its verdict and leaves, the next arrives 2 s later).
void endToEnd(const QString &firmware, int devices)
{
    const QString folder = QCoreApplication::applicationDirPath();
    const QString statePath = folder + QStringLiteral("/bench-numbers-station.numbers");
    const QString plainLog = folder + QStringLiteral("/bench-numbers-plain.csv");
    const QString numberedLog = folder + QStringLiteral("/bench-numbers-numbered.csv");
    removeState(statePath);
    QFile::remove(plainLog);
    QFile::remove(numberedLog);
    const FixtureSchedule plan = StationBench::schedule(
        QStringLiteral("rate=9600 latency=20 after=reset stay=verdict+0 gap=2\nrepeat=%1").arg(devices));
    // Two rounds, the numbered slot on the first fixture and then on the
    // second: the two slots' cycles differ by a few milliseconds of their
    // own whichever has the numbers, so the figure is the mean of the two
    // rounds' medians, in which that cancels out.
    SlotRun plain;
    SlotRun numbered;
    std::vector<double> roundMedians;
    std::array<std::vector<double>, 3> partMedians;
    QStringList roundWords;
    for (int round = 0; round < 2; ++round) {
        StationBench::Fixtures fixtures({plan, plan});
        const int numberedAt = round;
        const QStringList common{QStringLiteral("--file"), firmware};
        StationRun withoutNumbers(common
                                  + QStringList{QStringLiteral("--port"), fixtures.links().at(1 - numberedAt),
                                                QStringLiteral("--log"), plainLog});
        StationRun withNumbers(common
                               + QStringList{QStringLiteral("--port"), fixtures.links().at(numberedAt),
                                             QStringLiteral("--log"), numberedLog, QStringLiteral("--number-at"),
                                             NumberAddress, QStringLiteral("--number-form"), NumberFormText,
                                             QStringLiteral("--number-counter"), QStringLiteral("1"),
                                             QStringLiteral("--number-state"), statePath});
        if (!StationBench::runUntil([&fixtures] { return fixtures.allFinished(); }, 30s * devices))
            std::fprintf(stderr, "bench numbers: the fixtures did not run to their end\n");
        const SlotRun plainRound = slotRun(fixtures.at(size_t(1 - numberedAt)).records());
        const SlotRun numberedRound = slotRun(fixtures.at(size_t(numberedAt)).records());
        std::vector<double> inRound;
        std::array<std::vector<double>, 3> partsInRound;
        for (size_t i = 0; i < std::min(plainRound.cycles.size(), numberedRound.cycles.size()); ++i) {
            inRound.push_back(numberedRound.cycles[i] - plainRound.cycles[i]);
            for (size_t part = 0; part < 3; ++part)
                partsInRound[part].push_back(numberedRound.parts[i][part] - plainRound.parts[i][part]);
        }
        for (size_t part = 0; part < 3; ++part)
            partMedians[part].push_back(Bench::median(partsInRound[part]));
        QStringList each;
        for (const double difference : inRound)
            each.append(Bench::fixed(difference, 1));
        roundMedians.push_back(Bench::median(inRound));
        roundWords.append(QStringLiteral("numbers on fixture %1: median %2 of %3, %4")
                              .arg(numberedAt + 1)
                              .arg(ms(roundMedians.back()))
                              .arg(inRound.size())
                              .arg(each.join(QStringLiteral(", "))));
        plain.add(plainRound);
        numbered.add(numberedRound);
    }
    removeState(statePath);
    QFile::remove(plainLog);
    QFile::remove(numberedLog);

    const double plainPerHour = 3600000.0 / Bench::median(plain.cycles);
    const double numberedPerHour = 3600000.0 / Bench::median(numbered.cycles);
    const double imageMs = Bench::wireMs(plain.imageBytes, ImageRate);
    const double allowedMs = TargetShare * imageMs;
    Bench::row(QStringLiteral("End to end: devices per hour on one slot with numbers (%1 at %2, state on %3), "
                              "%4-byte image at 115200 baud, swapped at once (verdict to verdict, median of %5; %6 "
                              "of %7 flashed once, %8 distinct numbers read back from their memory)")
                   .arg(NumberFormText, NumberAddress, fileSystemOf(folder))
                   .arg(numbered.imageBytes)
                   .arg(numbered.cycles.size())
                   .arg(numbered.flashedOnce)
                   .arg(2 * devices)
                   .arg(numbered.numbers.size()),
               Bench::fixed(numberedPerHour, 1),
               QStringLiteral("without numbers, side by side: %1 (%2 of %3 flashed once)")
                   .arg(Bench::fixed(plainPerHour, 1))
                   .arg(plain.flashedOnce)
                   .arg(2 * devices),
               Bench::fixed(numberedPerHour / plainPerHour, 4));
    const double addedMs = mean(roundMedians);
    Bench::row(QStringLiteral("End to end: a device's cycle with numbers less the same device's without, ms (the mean "
                              "of two rounds' medians; %1. Its parts, the same way: the verdict before to the device's "
                              "first answer %2, the answer to \"dl\" %3, \"dl\" to the verdict %4)")
                   .arg(roundWords.join(QStringLiteral("; ")), ms(mean(partMedians[0])), ms(mean(partMedians[1])),
                        ms(mean(partMedians[2]))),
               ms(addedMs), QStringLiteral("1 % of the image's wire time: %1").arg(ms(allowedMs)),
               Bench::fixed(addedMs / allowedMs, 3));
    const qsizetype recordBytes = numbered.imageBytes - plain.imageBytes;
    std::printf("Verdict: End to end, a number adds %s ms to a device's cycle, %s %% of the image's wire time (target: "
                "at most 1 %%); its records' %lld bytes on the wire are %s ms of it.\n",
                qPrintable(ms(addedMs)), qPrintable(shareText(addedMs, imageMs)), static_cast<long long>(recordBytes),
                qPrintable(ms(Bench::wireMs(recordBytes, ImageRate))));
}

int usage()
{
    std::fputs("usage: tarvik-bench-numbers [--quick] [--in FOLDER] FIRMWARE\n"
               "       tarvik-bench-numbers [--quick] station FIRMWARE [DEVICES]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (!arguments.isEmpty() && arguments.first() == QStringLiteral("taker"))
        return taker(arguments.mid(1));
    if (!arguments.isEmpty() && arguments.first() == QStringLiteral("--quick")) {
        quick = true;
        arguments.removeFirst();
    }
    QString folder = QCoreApplication::applicationDirPath();
    if (arguments.size() >= 2 && arguments.first() == QStringLiteral("--in")) {
        folder = QFileInfo(arguments.at(1)).absoluteFilePath();
        arguments.remove(0, 2);
    }
    if (arguments.size() >= 2 && arguments.first() == QStringLiteral("station")) {
        const int devices = arguments.size() > 2 ? arguments.at(2).toInt() : (quick ? 3 : 8);
        if (devices < 2)
            return usage();
        endToEnd(arguments.at(1), devices);
        return 0;
    }
    if (arguments.size() != 1)
        return usage();
    costAndSharing(arguments.at(0), folder);
    return 0;
}
