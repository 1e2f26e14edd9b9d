#include "bench_station.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTimer>

#include <unistd.h>

namespace StationBench {

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

FixtureSchedule schedule(const QString &text)
{
    QString error;
    const std::optional<FixtureSchedule> parsed = FixtureSchedule::parse(text.toUtf8(), &error);
    if (!parsed)
        qFatal("bench schedule: %s", qPrintable(error));
    return *parsed;
}

Fixtures::Fixtures(const std::vector<FixtureSchedule> &schedules)
{
    if (!m_dir.isValid())
        qFatal("cannot make a folder for the fixtures' links");
    for (size_t i = 0; i < schedules.size(); ++i) {
        m_links.append(m_dir.filePath(QStringLiteral("slot%1").arg(i + 1)));
        m_fixtures.push_back(std::make_unique<Fixture>(m_links.back(), schedules.at(i)));
    }
    for (const std::unique_ptr<Fixture> &fixture : m_fixtures)
        fixture->start();
}

Fixtures::~Fixtures()
{
    m_fixtures.clear();
}

bool Fixtures::allFinished() const
{
    for (const std::unique_ptr<Fixture> &fixture : m_fixtures) {
        if (!fixture->finished())
            return false;
    }
    return true;
}

StationProcess::StationProcess(const QStringList &ports, const QString &firmware, const QString &log)
{
    QStringList arguments{QStringLiteral("station"), QStringLiteral("--terminal"), QStringLiteral("--file"), firmware};
    for (const QString &port : ports)
        arguments << QStringLiteral("--port") << port;
    if (!log.isEmpty())
        arguments << QStringLiteral("--log") << log;
    // The program as it runs at a station without a display.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] { take(); });
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/tarvik-downloader");
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(10000))
        qFatal("cannot start %s", qPrintable(program));
}

StationProcess::~StationProcess()
{
    if (m_process.state() != QProcess::NotRunning)
        stop();
}

void StationProcess::take()
{
    m_pending += m_process.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.first(end));
        m_pending.remove(0, end + 1);
        // "HH:mm:ss slot LABEL: PASS, 865 bytes sent, 5.6 s"
        if (line.contains(QStringLiteral(" bytes sent, ")))
            ++m_verdictLines;
        m_lines.append(line);
    }
}

int StationProcess::stop()
{
    m_process.terminate();
    if (!m_process.waitForFinished(60000)) {
        m_process.kill();
        m_process.waitForFinished(10000);
        take();
        return -1;
    }
    take();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

std::map<QString, PrintedCounts> StationProcess::printedCounts() const
{
    // "slot /tmp/x/slot1  12 passed, 1 failed (1 refused), yield 92.3 %, 1 port lost"
    // "station: 96 passed, ..."
    static const QRegularExpression lineForm(QStringLiteral(
        "^(?:slot (\\S+) +|(station): )(\\d+) passed, \\d+ failed(?: \\(([^)]*)\\))?, yield [^,]*(.*)$"));
    static const QRegularExpression countForm(QStringLiteral("(\\d+) ([a-z ]+)"));
    std::map<QString, PrintedCounts> result;
    for (const QString &line : m_lines) {
        const QRegularExpressionMatch match = lineForm.match(line);
        if (!match.hasMatch())
            continue;
        PrintedCounts counts;
        counts.passed = match.captured(3).toInt();
        const QString parts = match.captured(4) + QStringLiteral(",") + match.captured(5);
        for (const QString &part : parts.split(u',', Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch count = countForm.match(part.trimmed());
            if (!count.hasMatch())
                continue;
            const int n = count.captured(1).toInt();
            const QString kind = count.captured(2).trimmed();
            if (kind == QStringLiteral("no answer"))
                counts.noAnswer = n;
            else if (kind == QStringLiteral("refused"))
                counts.refused = n;
            else if (kind == QStringLiteral("port lost"))
                counts.portLost = n;
            else if (kind == QStringLiteral("port trouble"))
                counts.portTrouble = n;
            else if (kind == QStringLiteral("interrupted"))
                counts.interrupted = n;
            else if (kind == QStringLiteral("log lines lost"))
                counts.logLinesLost = n;
        }
        result[match.captured(1).isEmpty() ? match.captured(2) : match.captured(1)] = counts;
    }
    return result;
}

double cpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // The fields after the command's name, which may hold blanks: the state
    // is the first of them, user and system time the 12th and 13th.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

qint64 residentKiB(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

int openDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const Clock::time_point end = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= end)
            return false;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void runFor(std::chrono::milliseconds span)
{
    const Clock::time_point end = Clock::now() + span;
    runUntil([end] { return Clock::now() >= end; }, span + std::chrono::seconds(1));
}

} // namespace StationBench
