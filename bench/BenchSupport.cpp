#include "bench/BenchSupport.h"

#include "ui/Module1.h"
#include "app/Program.h"
#include "engine/TickWait.h"
#include "connect/Form2.h"
#include "downloader/Form1.h"
#include "base/EventPump.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace Bench {

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void busyWait(QTimer &timer, qint16 &tickCount, const QByteArray &watched, qint16 timeSpan)
{
    timer.start();
    while (tickCount < timeSpan) {
        EventPump::processPending();
        if (watched == TickWait::EarlyEndReply)
            break;
    }
    tickCount = 0;
    timer.stop();
}

void row(const QString &figure, const QString &value, const QString &reference, const QString &ratio)
{
    std::printf("| %s | %s | %s | %s |\n", qPrintable(figure), qPrintable(value), qPrintable(reference),
                qPrintable(ratio));
    std::fflush(stdout);
}

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

double wireMs(qint64 bytes, int rate)
{
    return double(bytes) * 10 * 1000 / rate;
}

BoxAnswerer::BoxAnswerer()
{
    QCoreApplication::instance()->installEventFilter(this);
}

BoxAnswerer::~BoxAnswerer()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

bool BoxAnswerer::eventFilter(QObject *watched, QEvent *event)
{
    auto *box = event->type() == QEvent::Show ? qobject_cast<QMessageBox *>(watched) : nullptr;
    if (!box)
        return false;
    if (m_nextAction) {
        auto action = std::move(m_nextAction);
        m_nextAction = nullptr;
        action();
    }
    m_texts << box->text();
    // Answered once its own event loop runs.
    QMetaObject::invokeMethod(
        box,
        [box] {
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        },
        Qt::QueuedConnection);
    return false;
}

DeviceProcess::DeviceProcess(const QStringList &arguments)
{
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/device-sim");
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000))
        qFatal("cannot start %s", qPrintable(program));
    const QDeadlineTimer deadline(5000);
    while (!m_process.canReadLine() && !deadline.hasExpired())
        m_process.waitForReadyRead(int(deadline.remainingTime()));
    m_portPath = QString::fromLocal8Bit(m_process.readLine().trimmed());
    if (m_portPath.isEmpty())
        qFatal("device-sim printed no port");
}

DeviceProcess::~DeviceProcess()
{
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(5000);
}

Session::Session(const QString &portPath)
{
    m_resolver->assign(1, portPath);
    m_program = std::make_unique<Program>(m_resolver);
    m_program->start();
}

Session::~Session()
{
    m_program.reset();
}

Form2 &Session::connectionWindow()
{
    return m_program->connectionWindow();
}

Form1 &Session::openDownloaderWindow(int rate)
{
    Module1::BaudRate = QString::number(rate);
    m_program->handOffToDownloader();
    return downloaderWindow();
}

Form1 &Session::downloaderWindow()
{
    Form1 *window = m_program->downloaderWindow();
    if (!window)
        qFatal("no downloader window");
    return *window;
}

void Session::loadFirmware(const QString &path)
{
    downloaderWindow().loadFirmwareFile(path);
    if (downloaderWindow().Label3[0]->text() != QLatin1String("Pass!"))
        qFatal("the firmware file %s did not pass its check", qPrintable(path));
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace Bench
