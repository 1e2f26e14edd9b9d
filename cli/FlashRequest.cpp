#include "cli/FlashRequest.h"

#include "cli/PortNames.h"

#include <optional>

namespace {

constexpr int LowestPort = 1;
constexpr int HighestPort = 16;

// A port number as the connection window takes it: decimal digits only, 1 to
// 16. Signs, spaces and other bases are refused rather than guessed at.
std::optional<int> portNumber(const QString &text)
{
    if (text.isEmpty() || text.size() > 2)
        return std::nullopt;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    const int number = text.toInt();
    if (number < LowestPort || number > HighestPort)
        return std::nullopt;
    return number;
}

// What the operator typed, for an error message: control characters shown as
// \xNN, so that a stray newline or escape cannot break the message's line.
QString shown(const QString &text)
{
    QString visible;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            visible += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            visible += c;
    }
    return visible;
}

ParsedCommandLine failure(const QString &message)
{
    ParsedCommandLine parsed;
    parsed.kind = ParsedCommandLine::Kind::Error;
    parsed.error = message;
    return parsed;
}

} // namespace

QString readPortArgument(const QString &value, QList<PortSpec> &ports)
{
    const auto add = [&ports](const PortSpec &port) -> QString {
        if (ports.contains(port))
            return QStringLiteral("port %1 is given more than once").arg(shown(port.label()));
        ports.append(port);
        return {};
    };

    if (PortNames::isDeviceName(value))
        return add(PortSpec{0, value});

    const QString notAPort = QStringLiteral("--port '%1' is not a port number from 1 to 16, a range such as "
                                            "1-8, or %2")
                                 .arg(shown(value), PortNames::deviceNameWords());
    const qsizetype dash = value.indexOf(u'-');
    if (dash < 0) {
        const std::optional<int> number = portNumber(value);
        if (!number)
            return notAPort;
        return add(PortSpec{static_cast<qint16>(*number), {}});
    }
    const std::optional<int> first = portNumber(value.first(dash));
    const std::optional<int> last = portNumber(value.sliced(dash + 1));
    if (!first || !last)
        return notAPort;
    if (*first > *last)
        return QStringLiteral("--port '%1' runs backwards").arg(shown(value));
    for (int number = *first; number <= *last; ++number) {
        const QString error = add(PortSpec{static_cast<qint16>(number), {}});
        if (!error.isEmpty())
            return error;
    }
    return {};
}

ParsedCommandLine parseFlashArguments(const QStringList &arguments)
{
    ParsedCommandLine parsed;
    FlashRequest &request = parsed.request;
    bool help = false;
    bool version = false;
    bool fileGiven = false;
    bool logGiven = false;

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString option = arguments.at(i);
        std::optional<QString> attached;
        if (option.startsWith(QStringLiteral("--"))) {
            const qsizetype equals = option.indexOf(u'=');
            if (equals > 0) {
                attached = option.sliced(equals + 1);
                option.truncate(equals);
            }
        }
        const auto takesValue = [&](const QString &name) { return option == QStringLiteral("--") + name; };
        const bool valued = takesValue(QStringLiteral("port")) || option == QStringLiteral("-p")
                            || takesValue(QStringLiteral("file")) || option == QStringLiteral("-f")
                            || takesValue(QStringLiteral("log"));

        if (!valued && attached)
            return failure(QStringLiteral("%1 takes no value").arg(shown(option)));
        QString value;
        if (valued) {
            if (attached) {
                value = *attached;
            } else if (i + 1 < arguments.size()) {
                value = arguments.at(++i);
            } else {
                return failure(QStringLiteral("%1 needs a value").arg(option));
            }
            if (value.isEmpty())
                return failure(QStringLiteral("%1 needs a value").arg(option));
        }

        if (option == QStringLiteral("--port") || option == QStringLiteral("-p")) {
            const QString error = readPortArgument(value, request.ports);
            if (!error.isEmpty())
                return failure(error);
        } else if (option == QStringLiteral("--file") || option == QStringLiteral("-f")) {
            if (fileGiven)
                return failure(QStringLiteral("--file is given more than once"));
            fileGiven = true;
            request.firmwarePath = value;
        } else if (option == QStringLiteral("--log")) {
            if (logGiven)
                return failure(QStringLiteral("--log is given more than once"));
            logGiven = true;
            request.logPath = value;
        } else if (option == QStringLiteral("--check")) {
            request.check = true;
        } else if (option == QStringLiteral("--help") || option == QStringLiteral("-h")) {
            help = true;
        } else if (option == QStringLiteral("--version") || option == QStringLiteral("-V")) {
            version = true;
        } else if (option.startsWith(u'-')) {
            return failure(QStringLiteral("unknown option '%1'").arg(shown(option)));
        } else {
            return failure(QStringLiteral("unexpected argument '%1'").arg(shown(option)));
        }
    }

    if (help) {
        parsed.kind = ParsedCommandLine::Kind::Help;
        return parsed;
    }
    if (version) {
        parsed.kind = ParsedCommandLine::Kind::Version;
        return parsed;
    }
    if (request.ports.isEmpty())
        return failure(QStringLiteral("no port: give --port"));
    if (!fileGiven)
        return failure(QStringLiteral("no firmware file: give --file"));
    parsed.kind = ParsedCommandLine::Kind::Flash;
    return parsed;
}

QString flashUsage()
{
    return QStringLiteral("Usage: tarvik-downloader flash --port PORT... --file FIRMWARE [--check] [--log FILE]\n"
                          "\n"
                          "Flashes FIRMWARE into the device on each PORT, all ports side by side, with\n"
                          "the probe at 9600, 19200, 38400, 57600 and 115200 baud, the download and\n"
                          "the verdict of the downloader window. Without arguments the program opens\n"
                          "its windows instead.\n"
                          "\n"
                          "Options:\n"
                          "  -p, --port PORT   a port number 1 to 16, a range such as 1-8, or\n"
                          "                    %1;\n"
                          "                    may be given several times\n"
                          "  -f, --file FILE   the firmware text file; its first line must pass the\n"
                          "                    marker check\n"
                          "      --check       after a pass, ask the device for its version byte\n"
                          "      --log FILE    append one CSV line per device to FILE\n"
                          "  -h, --help        show this text\n"
                          "  -V, --version     show the program's version\n"
                          "\n"
                          "Exit status (with several ports, the highest of them):\n"
                          "    0  every port passed\n"
                          "    1  a download failed: the device refused the image or did not answer\n"
                          "       it, or the port failed during the run (the device unplugged)\n"
                          "    2  usage error\n"
                          "    3  the firmware file cannot be read or fails the marker check, or the\n"
                          "       log cannot be opened; no port was touched\n"
                          "    4  no device answered the probe\n"
                          "    5  the port could not be opened: missing, in use, or no permission\n"
                          "    6  a port's line could not be written to the log (a full disk, say):\n"
                          "       its row in the summary is marked with *\n"
                          "  130  interrupted (%2); unfinished ports are marked\n")
        .arg(PortNames::deviceNameWords(), PortNames::stopWords());
}
