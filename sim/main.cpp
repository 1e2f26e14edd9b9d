// device-sim: the simulated device on a pseudo-terminal, for trying the
// program (or any terminal program) without the hardware. Prints the port to
// open and serves until interrupted. With --fixture, a station's slot where
// devices come and go by a schedule. With --memory or --dump-memory, what
// each image left in the device's memory.

#include "base/PrintableBytes.h"
#include "sim/Fixture.h"
#include "sim/SimulatedDevice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTime>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace {

constexpr int badUsage = 2;

std::optional<int> intOption(const QCommandLineParser &parser, const QString &name, int lowest, int highest)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "device-sim: %s\nTry 'device-sim --help'.\n", qPrintable(message));
    return badUsage;
}

// A number as a person types an address: 0x and hex, or decimal.
std::optional<quint32> addressNumber(const QString &text)
{
    bool ok = false;
    const qulonglong value = text.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive)
                                 ? text.sliced(2).toULongLong(&ok, 16)
                                 : text.toULongLong(&ok, 10);
    if (!ok || value > 0xFFFFFFFFu)
        return std::nullopt;
    return quint32(value);
}

// What --memory and --dump-memory ask to see after each image.
struct MemoryPrint
{
    struct Window
    {
        quint32 address = 0;
        int length = 0;
    };
    QList<Window> windows;   // --memory ADDRESS:LENGTH, in the order given
    bool everything = false; // --dump-memory

    bool wanted() const { return everything || !windows.isEmpty(); }
};

constexpr int longestWindow = 65536;

std::optional<MemoryPrint::Window> memoryWindow(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        return std::nullopt;
    const std::optional<quint32> address = addressNumber(parts[0]);
    const std::optional<quint32> length = addressNumber(parts[1]);
    if (!address || !length || *length < 1 || *length > longestWindow)
        return std::nullopt;
    return MemoryPrint::Window{*address, int(*length)};
}

// Sixteen bytes a line: the address, the bytes in hex, and as text where
// printable (a dot elsewhere), as hexdump -C shows them.
QByteArray hexDump(quint32 address, const QByteArray &bytes)
{
    constexpr qsizetype perLine = 16;
    QByteArray text;
    for (qsizetype from = 0; from < bytes.size(); from += perLine) {
        const QByteArray line = bytes.mid(from, perLine);
        text += "    " + QByteArray::number(quint32(address + quint32(from)), 16).rightJustified(8, '0') + "  ";
        QByteArray printable;
        for (qsizetype i = 0; i < perLine; ++i) {
            if (i == perLine / 2)
                text += ' ';
            if (i >= line.size()) {
                text += "   ";
                continue;
            }
            const auto byte = static_cast<unsigned char>(line[i]);
            text += QByteArray::number(byte, 16).rightJustified(2, '0') + ' ';
            printable += byte >= 0x20 && byte < 0x7f ? char(byte) : '.';
        }
        text += " |" + printable + "|\n";
    }
    return text;
}

QByteArray hexAddress(quint64 address)
{
    return "0x" + QByteArray::number(address, 16).toUpper().rightJustified(8, '0');
}

// The memory as a person asked to see it, under a heading naming the image.
QByteArray memoryText(const QByteArray &heading, const DeviceMemory &memory, const MemoryPrint &print)
{
    QByteArray text = heading + '\n';
    for (const MemoryPrint::Window &window : print.windows) {
        text += "  at " + hexAddress(window.address) + ", " + QByteArray::number(window.length) + " bytes:\n";
        text += hexDump(window.address, memory.read(window.address, window.length));
    }
    if (print.everything) {
        const QList<DeviceMemory::Range> ranges = memory.ranges();
        if (ranges.isEmpty())
            text += "  written: nothing\n";
        for (const DeviceMemory::Range &range : ranges) {
            text += "  written " + hexAddress(range.address) + ".." + hexAddress(range.address + range.bytes.size() - 1)
                    + ", " + QByteArray::number(range.bytes.size()) + " bytes:\n";
            text += hexDump(range.address, range.bytes);
        }
    }
    return text;
}

// Prints what arrived since the last call; the transcript joins consecutive
// reads at one rate, so a chunk that grew is printed from where it was left.
void printNewChunks(const SimulatedDevice &device, qsizetype &printed)
{
    qsizetype offset = 0;
    for (const SimulatedDevice::Received &chunk : device.transcript()) {
        const qsizetype end = offset + chunk.bytes.size();
        if (end > printed) {
            const QByteArray fresh = chunk.bytes.sliced(std::max<qsizetype>(0, printed - offset));
            std::fprintf(stderr, "[%d baud] %s\n", chunk.hostRate, printableBytes(fresh).constData());
            printed = end;
        }
        offset = end;
    }
}

// Blocks SIGINT and SIGTERM for every thread started after it, and waits for
// one of them; `tick` runs every 50 ms meanwhile when given.
class StopSignals
{
public:
    StopSignals()
    {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    }

    void wait(const std::function<void()> &tick = {}) const
    {
        const timespec interval{0, 50 * 1000 * 1000};
        for (;;) {
            const int signal = tick ? sigtimedwait(&m_signals, nullptr, &interval) : sigwaitinfo(&m_signals, nullptr);
            if (tick)
                tick();
            if (signal == SIGINT || signal == SIGTERM)
                return;
        }
    }

private:
    sigset_t m_signals;
};

QString describe(const Fixture::Event &event, const Fixture &fixture)
{
    const auto visit = [&fixture, &event] {
        const FixtureVisit &scheduled = fixture.schedule().visitAt(event.visit);
        return QStringLiteral("visit %1/%2 (line %3)")
            .arg(event.visit + 1)
            .arg(fixture.schedule().length())
            .arg(scheduled.line);
    };
    switch (event.kind) {
    case Fixture::Event::Kind::Arrived:
        return QStringLiteral("%1 arrived: %2; port %3")
            .arg(visit(), fixture.schedule().visitAt(event.visit).text(),
                 event.portPath.isEmpty() ? QStringLiteral("missing") : event.portPath);
    case Fixture::Event::Kind::Answered:
        return QStringLiteral("%1 answered its first \"!\"").arg(visit());
    case Fixture::Event::Kind::Verdict:
        return event.text.isEmpty() ? QStringLiteral("%1 took an image and said nothing").arg(visit())
                                    : QStringLiteral("%1 answered the image \"%2\"")
                                          .arg(visit(), QString::fromLatin1(printableBytes(event.text)));
    case Fixture::Event::Kind::Pulled:
        return QStringLiteral("%1 adapter pulled during the image").arg(visit());
    case Fixture::Event::Kind::Left:
        return QStringLiteral("%1 left; %2")
            .arg(visit(), event.portPath.isEmpty() ? QStringLiteral("the port's node went with it")
                                                   : QStringLiteral("the port stays, no device on it"));
    case Fixture::Event::Kind::Finished:
        return QStringLiteral("the schedule has run out; serving the port as it is until stopped");
    }
    return {};
}

int runFixture(const QString &file, const QString &link, std::optional<int> repeat, bool verbose,
               const MemoryPrint &memoryPrint)
{
    QFile text(file);
    if (!text.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "device-sim: cannot read %s: %s\n", qPrintable(file), qPrintable(text.errorString()));
        return 1;
    }
    QString error;
    std::optional<FixtureSchedule> schedule = FixtureSchedule::parse(text.readAll(), &error);
    if (!schedule) {
        std::fprintf(stderr, "device-sim: %s: %s\n", qPrintable(file), qPrintable(error));
        return badUsage;
    }
    if (repeat)
        schedule->repeat = *repeat;

    const StopSignals stopSignals;
    Fixture fixture(link, *schedule);
    if (verbose || memoryPrint.wanted()) {
        fixture.setObserver([&fixture, verbose, &memoryPrint](const Fixture::Event &event) {
            if (event.kind == Fixture::Event::Kind::Verdict && memoryPrint.wanted()) {
                // One write, so a block is never torn by another thread's line.
                const QByteArray text = memoryText(describe(event, fixture).toLocal8Bit(), event.memory, memoryPrint);
                std::fputs(text.constData(), stdout);
                std::fflush(stdout);
            }
            if (!verbose)
                return;
            // The time of day too, to read beside what the station prints.
            const auto sinceEvent =
                std::chrono::duration_cast<std::chrono::milliseconds>(Fixture::Clock::now() - event.at);
            const QTime time = QTime::currentTime().addMSecs(-int(sinceEvent.count()));
            const double seconds = std::chrono::duration<double>(event.at - fixture.startedAt()).count();
            std::fprintf(stderr, "%s %9.3f %s\n", qPrintable(time.toString(QStringLiteral("HH:mm:ss.zzz"))), seconds,
                         qPrintable(describe(event, fixture)));
        });
    }
    try {
        fixture.start();
    } catch (const std::runtime_error &failure) {
        std::fprintf(stderr, "device-sim: %s\n", failure.what());
        return 1;
    }
    std::printf("%s\n", qPrintable(link));
    std::fflush(stdout);
    stopSignals.wait();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("device-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves the simulated device on a pseudo-terminal and prints the port\n"
                       "to open; with --memory or --dump-memory, then what each image left in\n"
                       "the device's memory. Stops on SIGINT or SIGTERM."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("rate"),
         QStringLiteral("The device's own line rate: 9600, 19200, 38400, 57600 or 115200 (default 9600)."),
         QStringLiteral("N"), QStringLiteral("9600")},
        {QStringLiteral("version"), QStringLiteral("The version byte answered to \"r\", 0..255 (default 17)."),
         QStringLiteral("N"), QStringLiteral("17")},
        {QStringLiteral("silent"), QStringLiteral("Answer nothing at all.")},
        {QStringLiteral("image-reply"),
         QStringLiteral("Answer TEXT after the image instead of the check's \"OK!\" or \"ER\"."),
         QStringLiteral("TEXT")},
        {QStringLiteral("reply-delay"),
         QStringLiteral("Answer every command MS milliseconds late, as a real device behind a USB adapter "
                        "does (20 to 50 is typical; default 0)."),
         QStringLiteral("MS"), QStringLiteral("0")},
        {QStringLiteral("reset-ms"),
         QStringLiteral("After answering an image \"OK!\", restart and hear nothing for MS milliseconds."),
         QStringLiteral("MS"), QStringLiteral("0")},
        {QStringLiteral("unplug-after"),
         QStringLiteral("Pull the adapter at POINT: probe (the first \"!\"), commands (\"dl\"), image (64 "
                        "bytes into it), verdict (the image complete), idle (200 ms after answering it) or "
                        "answered (as soon as the program has read the answer)."),
         QStringLiteral("POINT")},
        {QStringLiteral("unplug-as"),
         QStringLiteral("How --unplug-after and --hangup-after go away: pulled (the tty hung up, the default "
                        "for --unplug-after) or closed (the pty's master closed, the default for "
                        "--hangup-after)."),
         QStringLiteral("HOW")},
        {QStringLiteral("split"), QStringLiteral("Send every answer in pieces of N bytes."), QStringLiteral("N")},
        {QStringLiteral("split-gap"),
         QStringLiteral("Pause between the pieces of --split, in milliseconds (default 20)."), QStringLiteral("MS"),
         QStringLiteral("20")},
        {QStringLiteral("hangup-after"), QStringLiteral("Hang up (as a pulled cable) after receiving N bytes."),
         QStringLiteral("N")},
        {QStringLiteral("no-pacing"), QStringLiteral("Read as fast as bytes come instead of at the line's speed.")},
        {QStringLiteral("link"),
         QStringLiteral("Also make PATH a symbolic link to the port (removed on exit). With --fixture: the "
                        "port's name, which devices come to and go from."),
         QStringLiteral("PATH")},
        {QStringLiteral("verbose"),
         QStringLiteral("Print each received chunk with the program's line rate on stderr; with --fixture, "
                        "each arrival, first answer, verdict and leave with the seconds since the start.")},
        {QStringLiteral("fixture"),
         QStringLiteral("Run a station's slot: devices come to the port --link names and go by the schedule in "
                        "FILE, one visit a line (see examples/fixtures/). Prints the link."),
         QStringLiteral("FILE")},
        {QStringLiteral("repeat"),
         QStringLiteral("With --fixture: run the schedule N times (instead of its own repeat=)."), QStringLiteral("N")},
        {QStringLiteral("memory"),
         QStringLiteral("After every image (with --fixture: every image of every visit), print on stdout the "
                        "LENGTH bytes (1 to 65536) at ADDRESS of the device's memory as a hex dump with its "
                        "text: where a device number landed, say. Numbers are decimal or 0x and hex; 0xFF "
                        "is a byte never written. May be given more than once."),
         QStringLiteral("ADDRESS:LENGTH")},
        {QStringLiteral("dump-memory"),
         QStringLiteral("After every image, print on stdout every stretch of the device's memory that images "
                        "have written, as a hex dump. A device's memory starts erased and each image writes "
                        "over it.")},
    });

    if (!parser.parse(application.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    MemoryPrint memoryPrint;
    memoryPrint.everything = parser.isSet(QStringLiteral("dump-memory"));
    for (const QString &value : parser.values(QStringLiteral("memory"))) {
        const std::optional<MemoryPrint::Window> window = memoryWindow(value);
        if (!window)
            return usageError(QStringLiteral("--memory must be ADDRESS:LENGTH, an address up to 0xFFFFFFFF and a "
                                             "length from 1 to 65536 (decimal, or 0x and hex), not '%1'")
                                  .arg(value));
        memoryPrint.windows.append(*window);
    }

    if (parser.isSet(QStringLiteral("fixture"))) {
        // The schedule says who each device is; one device's settings would
        // be silently ignored.
        for (const QString &name : parser.optionNames()) {
            if (!QStringList{QStringLiteral("fixture"), QStringLiteral("link"), QStringLiteral("repeat"),
                             QStringLiteral("verbose"), QStringLiteral("memory"), QStringLiteral("dump-memory")}
                     .contains(name))
                return usageError(
                    QStringLiteral("--%1 is not taken with --fixture: the schedule sets each device").arg(name));
        }
        const QString link = parser.value(QStringLiteral("link"));
        if (link.isEmpty())
            return usageError(QStringLiteral("--fixture needs --link PATH, the port's name"));
        std::optional<int> repeat;
        if (parser.isSet(QStringLiteral("repeat"))) {
            repeat = intOption(parser, QStringLiteral("repeat"), 1, 1000000);
            if (!repeat)
                return usageError(QStringLiteral("--repeat must be a whole number from 1 to 1000000"));
        }
        return runFixture(parser.value(QStringLiteral("fixture")), link, repeat,
                          parser.isSet(QStringLiteral("verbose")), memoryPrint);
    }
    if (parser.isSet(QStringLiteral("repeat")))
        return usageError(QStringLiteral("--repeat goes with --fixture"));

    const std::optional<int> rate = intOption(parser, QStringLiteral("rate"), 1, 115200);
    if (!rate || !QList<int>{9600, 19200, 38400, 57600, 115200}.contains(*rate))
        return usageError(QStringLiteral("--rate must be one of 9600, 19200, 38400, 57600, 115200"));
    const std::optional<int> version = intOption(parser, QStringLiteral("version"), 0, 255);
    if (!version)
        return usageError(QStringLiteral("--version must be a number from 0 to 255"));
    const std::optional<int> delay = intOption(parser, QStringLiteral("reply-delay"), 0, 3600000);
    if (!delay)
        return usageError(QStringLiteral("--reply-delay must be a number of milliseconds"));
    const std::optional<int> reset = intOption(parser, QStringLiteral("reset-ms"), 0, 3600000);
    if (!reset)
        return usageError(QStringLiteral("--reset-ms must be a number of milliseconds"));
    const QMap<QString, SimulatedDevice::Point> points = {
        {QStringLiteral("probe"), SimulatedDevice::Point::Probe},
        {QStringLiteral("commands"), SimulatedDevice::Point::Commands},
        {QStringLiteral("image"), SimulatedDevice::Point::Image},
        {QStringLiteral("verdict"), SimulatedDevice::Point::Verdict},
        {QStringLiteral("idle"), SimulatedDevice::Point::Idle},
        {QStringLiteral("answered"), SimulatedDevice::Point::Answered},
    };
    const QString unplugAt = parser.value(QStringLiteral("unplug-after"));
    if (parser.isSet(QStringLiteral("unplug-after")) && !points.contains(unplugAt))
        return usageError(QStringLiteral("--unplug-after must be probe, commands, image, verdict, idle or answered"));
    const QString unplugAs = parser.value(QStringLiteral("unplug-as"));
    if (parser.isSet(QStringLiteral("unplug-as")) && unplugAs != QStringLiteral("pulled")
        && unplugAs != QStringLiteral("closed"))
        return usageError(QStringLiteral("--unplug-as must be pulled or closed"));
    SimulatedDevice::Reply reply;
    reply.silent = parser.isSet(QStringLiteral("silent"));
    if (parser.isSet(QStringLiteral("split"))) {
        const std::optional<int> piece = intOption(parser, QStringLiteral("split"), 1, 1 << 20);
        const std::optional<int> gap = intOption(parser, QStringLiteral("split-gap"), 0, 3600000);
        if (!piece)
            return usageError(QStringLiteral("--split must be a positive number of bytes"));
        if (!gap)
            return usageError(QStringLiteral("--split-gap must be a number of milliseconds"));
        reply.pieceSize = *piece;
        reply.pieceGapMs = *gap;
    }
    std::optional<qint64> hangUpAfter;
    if (parser.isSet(QStringLiteral("hangup-after"))) {
        bool ok = false;
        hangUpAfter = parser.value(QStringLiteral("hangup-after")).toLongLong(&ok);
        if (!ok || *hangUpAfter < 0)
            return usageError(QStringLiteral("--hangup-after must be a number of bytes"));
    }
    const QString link = parser.value(QStringLiteral("link"));
    if (parser.isSet(QStringLiteral("link")) && link.isEmpty())
        return usageError(QStringLiteral("--link needs a path"));
    const bool verbose = parser.isSet(QStringLiteral("verbose"));

    // Blocked before the device thread starts so the signals never interrupt it.
    const StopSignals stopSignals;

    std::optional<SimulatedDevice> device;
    try {
        device.emplace();
    } catch (const std::runtime_error &error) {
        std::fprintf(stderr, "device-sim: %s\n", error.what());
        return 1;
    }
    device->setOwnRate(*rate);
    device->setVersion(std::uint8_t(*version));
    device->setPacing(!parser.isSet(QStringLiteral("no-pacing")));
    device->setProbeReply(reply);
    device->setDlReply(reply);
    device->setEReply(reply);
    device->setVersionReply(reply);
    SimulatedDevice::Reply imageReply = reply;
    if (parser.isSet(QStringLiteral("image-reply")))
        imageReply.text = parser.value(QStringLiteral("image-reply")).toLocal8Bit();
    device->setImageReply(imageReply);
    device->setReplyLatency(*delay);
    device->setResetAfterImage(*reset);
    const auto removal = [&unplugAs](SimulatedDevice::Removal otherwise) {
        if (unplugAs.isEmpty())
            return otherwise;
        return unplugAs == QStringLiteral("pulled") ? SimulatedDevice::Removal::AdapterPulled
                                                    : SimulatedDevice::Removal::LineClosed;
    };
    if (hangUpAfter)
        device->hangUpAfter(*hangUpAfter, removal(SimulatedDevice::Removal::LineClosed));
    if (!unplugAt.isEmpty())
        device->removeAt(points.value(unplugAt), removal(SimulatedDevice::Removal::AdapterPulled));

    if (!link.isEmpty()) {
        // A link left behind by an earlier run is replaced; anything else is kept.
        if (QFileInfo(link).isSymLink())
            QFile::remove(link);
        if (!QFile::link(device->portPath(), link)) {
            std::fprintf(stderr, "device-sim: cannot make the link %s\n", qPrintable(link));
            return 1;
        }
    }

    // The device's observer runs on its thread with the device held: it only
    // keeps the text, and the main thread prints it.
    std::mutex memoryTextMutex;
    QByteArray memoryTextDue;
    int images = 0;
    if (memoryPrint.wanted()) {
        device->setObserver([&](const SimulatedDevice::Event &event) {
            if (event.kind != SimulatedDevice::Event::Kind::Image)
                return;
            ++images;
            const QByteArray heading = "image " + QByteArray::number(images)
                                       + (event.answer.isEmpty() ? QByteArray(" said nothing")
                                                                 : " answered \"" + printableBytes(event.answer) + '"');
            const QByteArray text = memoryText(heading, event.memory, memoryPrint);
            std::lock_guard lock(memoryTextMutex);
            memoryTextDue += text;
        });
    }
    const auto printMemoryText = [&memoryTextMutex, &memoryTextDue] {
        QByteArray text;
        {
            std::lock_guard lock(memoryTextMutex);
            text.swap(memoryTextDue);
        }
        if (!text.isEmpty()) {
            std::fputs(text.constData(), stdout);
            std::fflush(stdout);
        }
    };

    std::printf("%s\n", qPrintable(device->portPath()));
    std::fflush(stdout);

    qsizetype printed = 0;
    if (verbose || memoryPrint.wanted()) {
        stopSignals.wait([&] {
            if (verbose)
                printNewChunks(*device, printed);
            printMemoryText();
        });
    } else {
        stopSignals.wait();
    }
    device->setObserver(nullptr);
    printMemoryText();

    if (!link.isEmpty())
        QFile::remove(link);
    device.reset();
    return 0;
}
