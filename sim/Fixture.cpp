#include "sim/Fixture.h"

#include "sim/SimulatedDevice.h"

#include <QFile>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = Fixture::Clock;
using namespace std::chrono_literals;

// How long a device that goes with its port waits for the program to read
// what it said last, and how often it looks.
constexpr auto unreadAnswerLimit = 1s;
constexpr auto answerReadPoll = 1ms;

bool isSymbolicLink(const QByteArray &path)
{
    struct stat status
    {
    };
    return ::lstat(path.constData(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool exists(const QByteArray &path)
{
    struct stat status
    {
    };
    return ::lstat(path.constData(), &status) == 0;
}

void configure(SimulatedDevice &device, const FixtureVisit &visit)
{
    SimulatedDevice::Reply silent;
    silent.silent = true;
    const SimulatedDevice::Reply spoken;
    const SimulatedDevice::Reply &commands = visit.reply == FixtureVisit::Reply::Silent ? silent : spoken;
    SimulatedDevice::Reply image;
    switch (visit.reply) {
    case FixtureVisit::Reply::Check:
        break;
    case FixtureVisit::Reply::Refuse:
        image.text = QByteArrayLiteral("ER");
        break;
    case FixtureVisit::Reply::Silent:
        image = silent;
        break;
    case FixtureVisit::Reply::Text:
        image.text = visit.replyText;
        break;
    }
    device.setOwnRate(visit.rate);
    device.setVersion(visit.version);
    device.setReplyLatency(visit.latencyMs);
    device.setProbeReply(commands);
    device.setDlReply(commands);
    device.setEReply(commands);
    device.setVersionReply(commands);
    device.setImageReply(image);
    device.setResetAfterImage(0);
    device.setDeafAfterVerdict(visit.after == FixtureVisit::After::Reset);
    if (visit.pull)
        device.removeAt(SimulatedDevice::Point::Image, SimulatedDevice::Removal::AdapterPulled);
}

} // namespace

struct Fixture::Impl
{
    Impl(const QString &linkPath, const FixtureSchedule &schedule);

    void run(Clock::time_point plannedArrival);
    // Sleeps until `time` or a stop; false on a stop.
    bool sleepUntil(Clock::time_point time);
    bool stopping() const;
    // When the visit now on leaves, as things stand.
    Clock::time_point leaveDeadline(Clock::time_point plannedArrival) const;
    // Brings visit `index` to the port; false with `reason` when its line
    // could not be given its name.
    bool arrive(qsizetype index, QString &reason);
    void leave(qsizetype index);
    void onDeviceEvent(const SimulatedDevice::Event &event);
    void report(const Event &event) const;
    bool makeLink(const QString &target, QString &reason) const;
    void removeLink() const;
    Event event(Event::Kind kind, qsizetype visit, Clock::time_point at) const;

    const QString m_linkPath;
    const QByteArray m_linkName;
    const FixtureSchedule m_schedule;
    std::function<void(const Event &)> m_observer;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::thread m_thread;
    bool m_started = false;
    bool m_stopping = false;
    bool m_finished = false;
    Clock::time_point m_startedAt;
    QList<Record> m_records;
    qsizetype m_current = -1;
    // The fixture itself is taking the line away: a removal the device
    // reports now is no pulled adapter.
    bool m_leaving = false;
    std::optional<Clock::time_point> m_pulledAt;
    QString m_portPath;
    QString m_error;

    // The line behind the link: touched by the thread that runs the schedule
    // only (start() before it runs, the destructor after it has ended).
    std::unique_ptr<SimulatedDevice> m_device;
};

Fixture::Impl::Impl(const QString &linkPath, const FixtureSchedule &schedule)
    : m_linkPath(linkPath)
    , m_linkName(QFile::encodeName(linkPath))
    , m_schedule(schedule)
{}

bool Fixture::Impl::makeLink(const QString &target, QString &reason) const
{
    if (isSymbolicLink(m_linkName))
        ::unlink(m_linkName.constData());
    if (::symlink(QFile::encodeName(target).constData(), m_linkName.constData()) != 0) {
        reason =
            QStringLiteral("cannot make the link %1: %2").arg(m_linkPath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

void Fixture::Impl::removeLink() const
{
    if (isSymbolicLink(m_linkName))
        ::unlink(m_linkName.constData());
}

Fixture::Event Fixture::Impl::event(Event::Kind kind, qsizetype visit, Clock::time_point at) const
{
    Event event;
    event.kind = kind;
    event.visit = visit;
    event.at = at;
    return event;
}

void Fixture::Impl::report(const Event &event) const
{
    if (m_observer)
        m_observer(event);
}

bool Fixture::Impl::sleepUntil(Clock::time_point time)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_until(lock, time, [this, time] { return m_stopping || Clock::now() >= time; });
    return !m_stopping;
}

bool Fixture::Impl::stopping() const
{
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

Clock::time_point Fixture::Impl::leaveDeadline(Clock::time_point plannedArrival) const
{
    if (m_pulledAt)
        return *m_pulledAt;
    const Record &record = m_records.at(m_current);
    if (!record.visit.stayFromVerdict)
        return plannedArrival + record.visit.stay;
    const std::optional<Clock::time_point> from =
        record.visit.reply == FixtureVisit::Reply::Silent ? record.firstProbeAt : record.verdictAt;
    if (!from)
        return plannedArrival + record.visit.patience;
    return *from + record.visit.stay;
}

bool Fixture::Impl::arrive(qsizetype index, QString &reason)
{
    const FixtureVisit &visit = m_schedule.visitAt(index);
    {
        std::lock_guard lock(m_mutex);
        Record record;
        record.index = index;
        record.visit = visit;
        m_records.append(record);
        m_current = index;
        m_pulledAt.reset();
    }

    bool linked = true;
    Clock::time_point arrivedAt;
    if (!m_device) {
        // A node comes with this device: its own USB chip, or an adapter
        // plugged in with it after the last one went.
        m_device = std::make_unique<SimulatedDevice>();
        configure(*m_device, visit);
        m_device->setObserver([this](const SimulatedDevice::Event &event) { onDeviceEvent(event); });
        arrivedAt = Clock::now();
        linked = makeLink(m_device->portPath(), reason);
    } else {
        configure(*m_device, visit);
        arrivedAt = Clock::now();
        m_device->setPresent(true);
    }

    Event arrived = event(Event::Kind::Arrived, index, arrivedAt);
    {
        std::lock_guard lock(m_mutex);
        Record &record = m_records[index];
        record.arrivedAt = arrivedAt;
        record.portPath = m_device->portPath();
        m_portPath = linked ? record.portPath : QString();
        arrived.portPath = m_portPath;
        if (!linked)
            m_error = reason;
        m_changed.notify_all();
    }
    report(arrived);
    return linked;
}

void Fixture::Impl::leave(qsizetype index)
{
    const FixtureVisit &visit = m_schedule.visitAt(index);
    // A plain adapter stays for the next device unless that one brings its
    // own chip; after the last visit the port stays as it is.
    const bool nextHasOwnChip = index + 1 < m_schedule.length() && m_schedule.visitAt(index + 1).usb;
    bool pulled = false;
    {
        std::lock_guard lock(m_mutex);
        pulled = m_records.at(index).pulled;
        m_leaving = true;
    }
    const bool nodeGoes = pulled || visit.usb || nextHasOwnChip;
    if (nodeGoes) {
        if (!pulled) {
            // A device's last answer reaches the computer before the bus
            // notices the device gone; on a pseudo-terminal the hang-up would
            // throw an answer the program has not read yet away with the line.
            const Clock::time_point limit = Clock::now() + unreadAnswerLimit;
            while (!m_device->answersRead() && Clock::now() < limit && !stopping())
                std::this_thread::sleep_for(answerReadPoll);
            // As the kernel does it: the tty is hung up, then its node and
            // the names pointing at it go.
            m_device->hangUp(SimulatedDevice::Removal::AdapterPulled);
        }
        m_device->setObserver(nullptr);
    } else {
        m_device->setPresent(false);
    }
    // Nothing writes it now: the device has gone or the line has none.
    const DeviceMemory memory = m_device->memorySnapshot();
    if (nodeGoes) {
        removeLink();
        m_device.reset();
    }

    const Clock::time_point leftAt = Clock::now();
    Event left = event(Event::Kind::Left, index, leftAt);
    left.memory = memory;
    {
        std::lock_guard lock(m_mutex);
        m_records[index].leftAt = leftAt;
        m_records[index].memory = memory;
        m_current = -1;
        m_leaving = false;
        if (nodeGoes)
            m_portPath.clear();
        left.portPath = m_portPath;
        m_changed.notify_all();
    }
    report(left);
}

void Fixture::Impl::onDeviceEvent(const SimulatedDevice::Event &deviceEvent)
{
    std::optional<Event> toReport;
    {
        std::lock_guard lock(m_mutex);
        if (m_current < 0)
            return;
        Record &record = m_records[m_current];
        switch (deviceEvent.kind) {
        case SimulatedDevice::Event::Kind::Probe:
            ++record.probesHeard;
            if (!record.firstProbeAt)
                record.firstProbeAt = deviceEvent.heardAt;
            if (deviceEvent.answered) {
                ++record.probesAnswered;
                if (!record.firstAnswerAt) {
                    record.firstAnswerAt = deviceEvent.answerAt;
                    toReport = event(Event::Kind::Answered, m_current, deviceEvent.answerAt);
                }
            }
            break;
        case SimulatedDevice::Event::Kind::Commands:
            if (!record.commandsAt)
                record.commandsAt = deviceEvent.heardAt;
            break;
        case SimulatedDevice::Event::Kind::Image:
            ++record.imagesReceived;
            record.images.append(deviceEvent.image);
            if (deviceEvent.answer == "OK!")
                ++record.answeredOk;
            else if (deviceEvent.answer == "ER")
                ++record.answeredEr;
            if (deviceEvent.answered && !record.verdictAt)
                record.verdictAt = deviceEvent.answerAt;
            toReport = event(Event::Kind::Verdict, m_current,
                             deviceEvent.answered ? deviceEvent.answerAt : deviceEvent.heardAt);
            toReport->text = deviceEvent.answer;
            record.memory = deviceEvent.memory;
            toReport->memory = deviceEvent.memory;
            break;
        case SimulatedDevice::Event::Kind::Removed:
            if (m_leaving)
                return;
            record.pulled = true;
            m_pulledAt = deviceEvent.heardAt;
            toReport = event(Event::Kind::Pulled, m_current, deviceEvent.heardAt);
            break;
        }
        m_changed.notify_all();
    }
    if (toReport)
        report(*toReport);
}

void Fixture::Impl::run(Clock::time_point plannedArrival)
{
    const qsizetype length = m_schedule.length();
    for (qsizetype index = 0; index < length; ++index) {
        if (index > 0) {
            if (!sleepUntil(plannedArrival))
                return;
            QString reason;
            arrive(index, reason);
        }
        Clock::time_point leaveAt;
        {
            std::unique_lock lock(m_mutex);
            for (;;) {
                if (m_stopping)
                    return;
                // Taken again after every event: a verdict or a pulled
                // adapter moves it.
                const Clock::time_point deadline = leaveDeadline(plannedArrival);
                if (Clock::now() >= deadline) {
                    leaveAt = deadline;
                    break;
                }
                m_changed.wait_until(lock, deadline);
            }
        }
        leave(index);
        plannedArrival = leaveAt + m_schedule.visitAt(index).gap;
    }
    // Told before it is true: whoever waits for the end has heard of it.
    report(event(Event::Kind::Finished, -1, Clock::now()));
    std::lock_guard lock(m_mutex);
    m_finished = true;
    m_changed.notify_all();
}

Fixture::Fixture(const QString &linkPath, const FixtureSchedule &schedule)
    : d(new Impl(linkPath, schedule))
{}

Fixture::~Fixture()
{
    {
        std::lock_guard lock(d->m_mutex);
        d->m_stopping = true;
        d->m_changed.notify_all();
    }
    if (d->m_thread.joinable())
        d->m_thread.join();
    if (d->m_device) {
        d->m_device->setObserver(nullptr);
        d->m_device->hangUp(SimulatedDevice::Removal::AdapterPulled);
        d->m_device.reset();
        d->removeLink();
    }
    delete d;
}

void Fixture::setObserver(std::function<void(const Event &)> observer)
{
    d->m_observer = std::move(observer);
}

void Fixture::start()
{
    if (d->m_started)
        throw std::logic_error("fixture: started twice");
    if (d->m_schedule.visits.isEmpty())
        throw std::runtime_error("fixture: the schedule has no visit");
    if (exists(d->m_linkName) && !isSymbolicLink(d->m_linkName))
        throw std::runtime_error(
            qPrintable(QStringLiteral("fixture: %1 exists and is no symbolic link").arg(d->m_linkPath)));
    d->m_started = true;
    d->m_startedAt = Clock::now();
    QString reason;
    if (!d->arrive(0, reason)) {
        d->m_device.reset();
        throw std::runtime_error(qPrintable(QStringLiteral("fixture: ") + reason));
    }
    d->m_thread = std::thread([this, planned = d->m_startedAt] { d->run(planned); });
}

QString Fixture::linkPath() const
{
    return d->m_linkPath;
}

const FixtureSchedule &Fixture::schedule() const
{
    return d->m_schedule;
}

// Set once, before the first arrival and before any thread of the fixture
// starts: read without the lock, so an observer can.
Fixture::Clock::time_point Fixture::startedAt() const
{
    return d->m_startedAt;
}

QString Fixture::portPath() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_portPath;
}

qsizetype Fixture::currentVisit() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_current;
}

qsizetype Fixture::visitsBegun() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_records.size();
}

bool Fixture::finished() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_finished;
}

QList<Fixture::Record> Fixture::records() const
{
    std::lock_guard lock(d->m_mutex);
    QList<Record> copy = d->m_records;
    copy.detach();
    return copy;
}

Fixture::Record Fixture::record(qsizetype index) const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_records.value(index);
}

QList<QByteArray> Fixture::memoryRead(quint32 address, int length) const
{
    std::lock_guard lock(d->m_mutex);
    QList<QByteArray> read;
    read.reserve(d->m_records.size());
    for (const Record &record : std::as_const(d->m_records))
        read.append(record.memory.read(address, length));
    return read;
}

bool Fixture::waitUntilFinished(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(d->m_mutex);
    return d->m_changed.wait_for(lock, timeout, [this] { return d->m_finished; });
}

bool Fixture::waitForArrival(qsizetype index, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(d->m_mutex);
    return d->m_changed.wait_for(lock, timeout, [this, index] {
        return index < d->m_records.size() && d->m_records.at(index).arrivedAt.has_value();
    });
}

bool Fixture::waitForLeave(qsizetype index, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(d->m_mutex);
    return d->m_changed.wait_for(lock, timeout, [this, index] {
        return index < d->m_records.size() && d->m_records.at(index).leftAt.has_value();
    });
}

QString Fixture::error() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_error;
}
