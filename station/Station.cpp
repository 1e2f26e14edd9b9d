#include "station/Station.h"

#include "engine/Slot.h"
#include "log/ProductionLog.h"
#include "serial/PortResolver.h"
#include "station/StationNumbers.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

std::shared_ptr<const PortResolver> resolverFor(const StationPort &port)
{
    if (port.number > 0)
        return std::make_shared<DevicePortResolver>();
    // A device's name is opened as it is; the link sees it as port 1.
    auto fixed = std::make_shared<FixedPortResolver>();
    fixed->assign(1, port.openablePath);
    return fixed;
}

// How often the firmware file on disk is looked at: an engineer saving a
// new build over it is told within this time, for the cost of a stat.
constexpr int FileWatchMs = 1000;

} // namespace

Station::Station(QList<StationPort> ports, StationFirmware firmware, bool check, ProductionLog *log, QObject *parent)
    : QObject(parent)
    , m_ports(std::move(ports))
    , m_firmware(std::move(firmware))
    , m_check(check)
    , m_log(log)
{
    qRegisterMetaType<Attempt>();
    qRegisterMetaType<SlotLoop::State>();
    qRegisterMetaType<DeviceLink::Step>();
    for (const StationPort &port : std::as_const(m_ports)) {
        SlotView view;
        view.port = port;
        m_views.append(view);
    }
    const QFileInfo info(m_firmware.path);
    m_fileSize = info.size();
    m_fileModified = info.lastModified();
    m_fileWatch.setInterval(FileWatchMs);
    connect(&m_fileWatch, &QTimer::timeout, this, &Station::checkFileOnDisk);
}

Station::~Station()
{
    stop();
}

void Station::start()
{
    if (m_running || !m_slots.empty())
        return;
    m_running = true;
    for (int index = 0; index < m_ports.size(); ++index) {
        const StationPort &port = m_ports.at(index);
        Slot::Setup setup;
        setup.index = index;
        setup.resolver = resolverFor(port);
        setup.number = port.number > 0 ? port.number : qint16(1);
        setup.numberedPort = port.number > 0;
        setup.image = m_firmware.image;
        setup.check = m_check;
        setup.images = m_numbers;
        auto slot = std::make_unique<Slot>(std::move(setup),
                                           [this, index](const Attempt &attempt) { return record(index, attempt); });
        auto thread = std::make_unique<QThread>();
        slot->moveToThread(thread.get());
        connect(slot.get(), &Slot::stateChanged, this, &Station::onStateChanged);
        connect(slot.get(), &Slot::stepReached, this, [this](int at, DeviceLink::Step step) {
            m_views[at].step = step;
            emit slotChanged(at);
        });
        connect(slot.get(), &Slot::imageProgress, this, [this](int at, qint64 sent, qint64 total) {
            m_views[at].sent = sent;
            m_views[at].total = total;
            emit slotChanged(at);
        });
        connect(slot.get(), &Slot::attemptEnded, this, &Station::onAttemptEnded);
        connect(slot.get(), &Slot::deviceGone, this, [this](int at, bool portGone) { emit deviceGone(at, portGone); });
        connect(slot.get(), &Slot::finished, this, [this](int) {
            if (--m_runningSlots == 0) {
                m_running = false;
                m_fileWatch.stop();
                emit stopped();
            }
        });
        thread->setObjectName(QStringLiteral("slot %1").arg(port.label));
        thread->start();
        QMetaObject::invokeMethod(slot.get(), &Slot::run, Qt::QueuedConnection);
        ++m_runningSlots;
        m_threads.push_back(std::move(thread));
        m_slots.push_back(std::move(slot));
    }
    m_fileWatch.start();
}

void Station::stop()
{
    for (const std::unique_ptr<Slot> &slot : m_slots)
        slot->requestStop();
    // Each slot closes its port and logs its interrupted attempt on its own
    // thread; its reports and its end are taken here before the threads go.
    if (m_runningSlots > 0) {
        QEventLoop untilStopped;
        connect(this, &Station::stopped, &untilStopped, &QEventLoop::quit);
        untilStopped.exec();
    }
    for (const std::unique_ptr<QThread> &thread : m_threads) {
        thread->quit();
        thread->wait();
    }
    QCoreApplication::sendPostedEvents(this);
    m_slots.clear();
    m_threads.clear();
}

StationCounts Station::counts() const
{
    StationCounts total;
    for (const SlotView &view : m_views)
        total += view.counts;
    return total;
}

AttemptRecord attemptRecord(const Attempt &attempt, const QString &port, const QString &firmwarePath,
                            const QByteArray &firmwareSha256)
{
    AttemptRecord record;
    record.started = attempt.started;
    record.port = port;
    record.devicePath = attempt.devicePath;
    record.rate = attempt.rate;
    record.firmwarePath = firmwarePath;
    record.firmwareSha256 = firmwareSha256;
    record.bytesSent = attempt.bytesSent;
    record.result = outcomeWord(attempt.outcome);
    record.reply = attempt.reply;
    record.version = attempt.version;
    record.versionInterrupted = attempt.versionInterrupted;
    record.durationMs = attempt.durationMs;
    record.serial = serialOfAttempt(attempt);
    return record;
}

QString Station::record(int index, const Attempt &attempt)
{
    if (!m_log)
        return {};
    QString reason;
    if (!m_log->append(attemptRecord(attempt, m_ports.at(index).label, m_firmware.path, m_firmware.sha256), &reason))
        return reason.isEmpty() ? QStringLiteral("the line could not be written") : reason;
    return {};
}

void Station::onStateChanged(int index, SlotLoop::State state, const QString &detail)
{
    SlotView &view = m_views[index];
    const SlotLoop::State before = view.state;
    view.state = state;
    view.detail = detail;
    if (state != SlotLoop::State::Flashing) {
        view.step.reset();
        view.sent = 0;
        view.total = 0;
    }
    emit slotChanged(index);
    if (state == SlotLoop::State::WaitingForPort && before != SlotLoop::State::WaitingForPort)
        emit portTrouble(index, detail);
    if (before == SlotLoop::State::WaitingForPort && state != SlotLoop::State::WaitingForPort
        && state != SlotLoop::State::Stopped)
        emit portBack(index);
    if (state == SlotLoop::State::Flashing)
        emit deviceFound(index, detail);
}

void Station::onAttemptEnded(int index, const Attempt &attempt, const QString &logError)
{
    checkFileOnDisk();
    SlotView &view = m_views[index];
    view.last = attempt;
    view.lastLogError = logError;
    view.lastFromChangedFile = m_fileChanged;
    if (!attempt.devicePath.isEmpty())
        view.devicePath = attempt.devicePath;
    view.counts.add(verdictKindOf(attempt));
    view.counts.add(attempt.numberFate);
    if (attempt.numberFate == NumberFate::UsedUp)
        view.lastNumberUsed = attempt.number;
    if (!logError.isEmpty())
        ++view.counts.logLinesLost;
    emit verdict(index);
    emit slotChanged(index);
    emit countsChanged();
}

void Station::checkFileOnDisk()
{
    if (m_fileChanged)
        return;
    const QFileInfo info(m_firmware.path);
    if (info.exists() && info.size() == m_fileSize && info.lastModified() == m_fileModified)
        return;
    // Something touched it: only its bytes tell whether it is another file.
    QFile file(m_firmware.path);
    QByteArray digest;
    if (file.open(QIODevice::ReadOnly))
        digest = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
    m_fileSize = info.size();
    m_fileModified = info.lastModified();
    if (digest == m_firmware.sha256)
        return;
    m_fileChanged = true;
    emit fileChangedOnDisk();
}
