#include "sim/SimulatedDevice.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int downloadRate = 115200;
// How long the device waits for "e" (and then for the first byte of the image)
// before it gives the download up and goes back to its own rate.
constexpr auto downloadTimeout = 3s;
// A pause this long inside the image ends it, as when the sender has stopped.
constexpr auto imageGap = 300ms;
// While no program has the line open, reading the master fails; look again
// after this long rather than spinning.
constexpr auto retryAfterReadFailure = 20ms;
const QByteArray endOfFileRecord = QByteArrayLiteral(":00000001FF\r");
// How far into an image a device set to go away during the image goes.
constexpr qsizetype removalIntoImage = 64;
// How long after answering an image a device set to go away while idle goes.
constexpr auto idleBeforeRemoval = 200ms;
// How often a device that goes once its answer is read looks whether it is.
constexpr auto answerCheckInterval = 1ms;

// The line rate a termios speed stands for; 0 when it is none the device knows.
int rateOf(speed_t speed)
{
    switch (speed) {
    case B50:
        return 50;
    case B75:
        return 75;
    case B110:
        return 110;
    case B134:
        return 134;
    case B150:
        return 150;
    case B200:
        return 200;
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B1800:
        return 1800;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B500000:
        return 500000;
    case B576000:
        return 576000;
    case B921600:
        return 921600;
    case B1000000:
        return 1000000;
    case B1152000:
        return 1152000;
    case B1500000:
        return 1500000;
    case B2000000:
        return 2000000;
    default:
        return 0;
    }
}

// What a byte becomes when sender and receiver disagree on the rate: never
// ASCII, so it can never pass for a command or an answer.
char garbled(char byte)
{
    return char((static_cast<unsigned char>(byte) ^ 0xA5) | 0x80);
}

QByteArray garbledAll(QByteArrayView bytes)
{
    QByteArray result(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        result[i] = garbled(bytes[i]);
    return result;
}

// Ten bits a byte on the line: start, eight data, stop.
Clock::duration wireTime(qsizetype bytes, int rate)
{
    if (rate <= 0)
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(qint64(bytes) * 10 * 1000000 / rate));
}

// Implicitly shared data is counted with relaxed checks; the bytes that cross
// between the device thread and its callers get a buffer of their own so the
// two sides never touch one buffer.
QByteArray ownCopy(const QByteArray &bytes)
{
    return QByteArray(bytes.constData(), bytes.size());
}

SimulatedDevice::Reply ownCopy(SimulatedDevice::Reply reply)
{
    if (reply.text)
        reply.text = ownCopy(*reply.text);
    return reply;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The record's bytes when the line is a well-formed Intel HEX record with the
// right length and checksum; nothing otherwise.
std::optional<QByteArray> hexRecord(QByteArrayView line)
{
    if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0)
        return std::nullopt;
    QByteArray bytes;
    bytes.reserve((line.size() - 1) / 2);
    unsigned sum = 0;
    for (qsizetype i = 1; i < line.size(); i += 2) {
        const int high = hexDigit(line[i]);
        const int low = hexDigit(line[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        const int value = high * 16 + low;
        bytes.append(char(value));
        sum += unsigned(value);
    }
    // count, two address bytes, type and checksum around the data
    if (static_cast<unsigned char>(bytes[0]) != bytes.size() - 5 || (sum & 0xff) != 0)
        return std::nullopt;
    return bytes;
}

// The marker line's test: its first four and last four characters.
bool isMarkerLine(QByteArrayView line)
{
    const qsizetype ends = std::min<qsizetype>(4, line.size());
    return line.first(ends) == ":-::" && line.last(ends) == ":::-";
}

// A line of an image as the device reads it: CR ends a line, and the LF of a
// CR LF then opens the next one, where it does not count.
QByteArrayView imageLine(QByteArrayView line)
{
    return line.startsWith('\n') ? line.sliced(1) : line;
}

} // namespace

struct SimulatedDevice::Impl
{
    enum class State { Idle, AwaitingE, ReceivingImage };

    // Bytes read from the program but still "on the wire" until due.
    struct InFlight
    {
        QByteArray bytes;
        int hostRate = 0;
        Clock::time_point due;
    };

    // Bytes the device sends, with the rate it sends them at.
    struct Outgoing
    {
        QByteArray bytes;
        int deviceRate = 0;
        qsizetype written = 0;
    };

    Impl();
    ~Impl();

    void run();
    void wake() const;
    int hostRate() const;
    void readFromProgram(Clock::time_point now);
    void deliver(InFlight chunk, Clock::time_point now);
    void take(char byte, bool understood, Clock::time_point now);
    void finishImage(Clock::time_point now);
    void startProgramming();
    void program(QByteArrayView line);
    void backToIdle();
    // Schedules the answer; returns when its last byte is due.
    Clock::time_point answer(const Reply &reply, const QByteArray &protocolAnswer, Clock::time_point now);
    static QByteArray spokenAnswer(const Reply &reply, const QByteArray &protocolAnswer);
    void queue(const QByteArray &bytes, int deviceRate);
    void writeOut();
    void closeLine();
    void hangUpNow(Removal how);
    bool removeHere(Point point);
    bool answerTaken() const;
    void sendDueAnswers(Clock::time_point now);
    void report(Event event) const;
    std::optional<Clock::time_point> nextDeadline(Clock::time_point now) const;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::thread m_thread;

    int m_masterFd = -1;
    int m_slaveFd = -1; // held open so the line survives the program closing its port; never read
    int m_wakeFd = -1;
    QString m_portPath;

    int m_ownRate = 9600;
    int m_currentRate = 9600;
    std::uint8_t m_version = 0x11;
    bool m_paced = true;
    Reply m_probeReply;
    Reply m_dlReply;
    Reply m_eReply;
    Reply m_imageReply;
    Reply m_versionReply;
    qint64 m_hangUpAfter = -1;
    Removal m_hangUpAfterHow = Removal::LineClosed;
    std::optional<Point> m_removeAt;
    Removal m_removeAtHow = Removal::AdapterPulled;
    std::optional<Clock::time_point> m_idleRemovalAt;
    bool m_removeOnceAnswerTaken = false;
    int m_latencyMs = 0;
    int m_resetMs = 0;
    Clock::time_point m_deafUntil;
    qint64 m_stopReadingAfter = -1;
    bool m_readingStopped = false;

    State m_state = State::Idle;
    bool m_sawD = false;
    Clock::time_point m_giveUpAt;
    Clock::time_point m_lastImageByte;
    QByteArray m_image;

    // Programming the image as its lines come.
    DeviceMemory m_memory;
    qsizetype m_lineStart = 0; // where in m_image the line now arriving starts
    bool m_markerSeen = false;
    bool m_programming = false; // false once the image has given cause to stop
    quint32 m_base = 0;         // what the last address record set

    std::optional<InFlight> m_inFlight;
    Clock::time_point m_lineFreeAt; // when the last chunk read has crossed the wire
    Clock::time_point m_readAgainAt;
    std::multimap<Clock::time_point, Outgoing> m_scheduled;
    std::deque<Outgoing> m_outbox;

    QList<Received> m_transcript;
    QByteArray m_received;
    int m_imagesAccepted = 0;
    int m_imagesRejected = 0;
    QByteArray m_lastImage;

    bool m_present = true;
    bool m_deafAfterVerdict = false;
    std::function<void(const Event &)> m_observer;

    bool m_hangUpRequested = false;
    Removal m_requestedHow = Removal::LineClosed;
    bool m_hungUp = false;
    bool m_stopping = false;
};

SimulatedDevice::Impl::Impl()
{
    const auto fail = [this](const char *what) {
        const std::string message = std::string("simulated device: ") + what + ": " + std::strerror(errno);
        for (int fd : {m_masterFd, m_slaveFd, m_wakeFd}) {
            if (fd >= 0)
                ::close(fd);
        }
        throw std::runtime_error(message);
    };

    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_masterFd < 0)
        fail("posix_openpt");
    // The device must never stall on a program that does not read, nor keep
    // the line alive in a child process.
    if (::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK) != 0
        || ::fcntl(m_masterFd, F_SETFD, FD_CLOEXEC) != 0)
        fail("fcntl");
    if (::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0)
        fail("unlockpt");
    char name[128] = {};
    if (::ptsname_r(m_masterFd, name, sizeof name) != 0)
        fail("ptsname_r");
    m_portPath = QString::fromLocal8Bit(name);

    // Settings made on the master apply to the slave: start raw, so no echo
    // or line editing stands between the program and the device. The speed
    // stays as it is; setting it is the program's business.
    termios settings{};
    if (::tcgetattr(m_masterFd, &settings) != 0)
        fail("tcgetattr");
    ::cfmakeraw(&settings);
    if (::tcsetattr(m_masterFd, TCSANOW, &settings) != 0)
        fail("tcsetattr");

    m_slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slaveFd < 0)
        fail("open slave");
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        fail("eventfd");

    try {
        m_thread = std::thread([this] { run(); });
    } catch (...) {
        errno = EAGAIN;
        fail("thread");
    }
}

SimulatedDevice::Impl::~Impl()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    wake();
    m_thread.join();
    closeLine();
    ::close(m_wakeFd);
}

void SimulatedDevice::Impl::wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

int SimulatedDevice::Impl::hostRate() const
{
    termios settings{};
    if (m_masterFd < 0 || ::tcgetattr(m_masterFd, &settings) != 0)
        return 0;
    return rateOf(::cfgetospeed(&settings));
}

void SimulatedDevice::Impl::closeLine()
{
    for (int *fd : {&m_masterFd, &m_slaveFd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void SimulatedDevice::Impl::hangUpNow(Removal how)
{
    // A pulled adapter: the kernel hangs up every descriptor of the tty, so
    // the program reads end-of-file and its writes fail; then the node goes.
    // Hanging up takes the right to administer the system; without it the
    // line is only closed, which a program sees much the same way.
    if (how == Removal::AdapterPulled && m_slaveFd >= 0)
        ::ioctl(m_slaveFd, TIOCVHANGUP);
    closeLine();
    m_hungUp = true;
    m_inFlight.reset();
    m_scheduled.clear();
    m_outbox.clear();
    m_changed.notify_all();
    report(Event{Event::Kind::Removed, Clock::now(), false, {}, {}, {}, {}});
}

// Answers whose time has come have left the device, whatever happens to it
// next; they go to the line now.
void SimulatedDevice::Impl::sendDueAnswers(Clock::time_point now)
{
    while (!m_scheduled.empty() && m_scheduled.begin()->first <= now) {
        m_outbox.push_back(std::move(m_scheduled.begin()->second));
        m_scheduled.erase(m_scheduled.begin());
    }
    writeOut();
}

void SimulatedDevice::Impl::report(Event event) const
{
    if (m_observer)
        m_observer(event);
}

void SimulatedDevice::Impl::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        Clock::time_point now = Clock::now();
        if (m_hangUpRequested && !m_hungUp) {
            sendDueAnswers(now);
            hangUpNow(m_requestedHow);
        }

        if (!m_hungUp && m_idleRemovalAt && now >= *m_idleRemovalAt) {
            m_idleRemovalAt.reset();
            hangUpNow(m_removeAtHow);
        }
        if (!m_hungUp) {
            if (m_inFlight && m_inFlight->due <= now) {
                InFlight chunk = std::move(*m_inFlight);
                m_inFlight.reset();
                deliver(std::move(chunk), now);
            }
        }
        if (!m_hungUp) {
            if (m_state == State::AwaitingE && now >= m_giveUpAt) {
                backToIdle();
            } else if (m_state == State::ReceivingImage && !m_inFlight) {
                if (m_image.isEmpty() && now >= m_giveUpAt)
                    backToIdle();
                else if (!m_image.isEmpty() && now >= m_lastImageByte + imageGap)
                    finishImage(now);
            }
            sendDueAnswers(now);
            if (m_removeOnceAnswerTaken && answerTaken()) {
                m_removeOnceAnswerTaken = false;
                hangUpNow(m_removeAtHow);
            }
        }

        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {-1, 0, 0}};
        if (!m_hungUp && now >= m_readAgainAt) {
            fds[1].fd = m_masterFd;
            if (!m_inFlight && !m_readingStopped)
                fds[1].events |= POLLIN;
            if (!m_outbox.empty())
                fds[1].events |= POLLOUT;
            if (fds[1].events == 0)
                fds[1].fd = -1;
        }
        const std::optional<Clock::time_point> deadline = nextDeadline(now);
        timespec timeout{};
        if (deadline) {
            const auto wait = std::max(Clock::duration::zero(), *deadline - now);
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = time_t(ns / 1000000000);
            timeout.tv_nsec = long(ns % 1000000000);
        }

        lock.unlock();
        const int ready = ::ppoll(fds, 2, deadline ? &timeout : nullptr, nullptr);
        lock.lock();
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
        }
        if (m_hungUp || fds[1].fd < 0 || fds[1].revents == 0)
            continue;
        now = Clock::now();
        if ((fds[1].events & POLLIN) && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readFromProgram(now);
        else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))
            m_readAgainAt = now + retryAfterReadFailure;
    }
}

std::optional<Clock::time_point> SimulatedDevice::Impl::nextDeadline(Clock::time_point now) const
{
    std::optional<Clock::time_point> earliest;
    const auto consider = [&earliest](Clock::time_point t) {
        if (!earliest || t < *earliest)
            earliest = t;
    };
    if (m_hungUp)
        return earliest;
    if (m_inFlight)
        consider(m_inFlight->due);
    if (m_idleRemovalAt)
        consider(*m_idleRemovalAt);
    if (m_removeOnceAnswerTaken)
        consider(now + answerCheckInterval);
    if (!m_scheduled.empty())
        consider(m_scheduled.begin()->first);
    if (m_state == State::AwaitingE || (m_state == State::ReceivingImage && m_image.isEmpty()))
        consider(m_giveUpAt);
    else if (m_state == State::ReceivingImage)
        consider(m_lastImageByte + imageGap);
    if (m_readAgainAt > now)
        consider(m_readAgainAt);
    return earliest;
}

void SimulatedDevice::Impl::readFromProgram(Clock::time_point now)
{
    const int rate = hostRate();
    // About 10 ms worth of line time per read, so the device takes the bytes
    // in no faster than the line would carry them.
    qsizetype size = m_paced && rate > 0 ? std::max(1, rate / 1000) : 65536;
    if (m_hangUpAfter >= 0)
        size = std::min<qsizetype>(size, std::max<qint64>(m_hangUpAfter, 1));
    if (m_stopReadingAfter >= 0)
        size = std::min<qsizetype>(size, std::max<qint64>(m_stopReadingAfter, 1));
    QByteArray buffer(size, Qt::Uninitialized);
    const ssize_t got = ::read(m_masterFd, buffer.data(), size_t(size));
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        // No program has the line open (EIO); it may come back.
        m_readAgainAt = now + retryAfterReadFailure;
        return;
    }
    buffer.truncate(got);
    if (m_stopReadingAfter >= 0) {
        m_stopReadingAfter -= got;
        if (m_stopReadingAfter <= 0) {
            m_stopReadingAfter = -1;
            m_readingStopped = true;
        }
    }
    InFlight chunk{buffer, rate, now};
    if (m_paced) {
        // A full read that comes as the chunk before has just crossed found
        // bytes waiting: on the line they follow that chunk without a gap.
        // Counting from the end of that chunk instead of from this read keeps
        // the thread's wake-up delays from slowing a long text below the rate.
        const Clock::time_point start = got == size && now < m_lineFreeAt + wireTime(got, rate) ? m_lineFreeAt : now;
        chunk.due = start + wireTime(got, rate);
        m_lineFreeAt = chunk.due;
    }
    if (chunk.due <= now)
        deliver(std::move(chunk), now);
    else
        m_inFlight = std::move(chunk);
}

void SimulatedDevice::Impl::deliver(InFlight chunk, Clock::time_point now)
{
    // With no device on the line the adapter drains it and nobody listens.
    if (!m_present)
        return;
    if (m_hangUpAfter >= 0 && chunk.bytes.size() > m_hangUpAfter)
        chunk.bytes.truncate(m_hangUpAfter);
    // A device that goes away at a point of the exchange hears nothing after
    // the byte that reached that point.
    qsizetype heard = 0;
    for (const char byte : std::as_const(chunk.bytes)) {
        if (m_hungUp)
            break;
        ++heard;
        // A device restarting into its new firmware hears nothing.
        if (now < m_deafUntil)
            continue;
        take(byte, chunk.hostRate == m_currentRate, now);
    }
    chunk.bytes.truncate(heard);
    if (!chunk.bytes.isEmpty()) {
        if (!m_transcript.isEmpty() && m_transcript.last().hostRate == chunk.hostRate)
            m_transcript.last().bytes += chunk.bytes;
        else
            m_transcript.append(Received{chunk.hostRate, chunk.bytes});
        m_received += chunk.bytes;
        m_changed.notify_all();
    }

    if (m_hangUpAfter >= 0) {
        m_hangUpAfter -= chunk.bytes.size();
        if (m_hangUpAfter == 0) {
            m_hangUpAfter = -1;
            hangUpNow(m_hangUpAfterHow); // before any answer to these last bytes goes out
        }
    }
}

// Whether the answer to an image has left the device and the program has
// read all of it. Polling the slave side pushes bytes still on their way
// through the kernel onto the line first, so they count as unread.
bool SimulatedDevice::Impl::answerTaken() const
{
    if (!m_scheduled.empty() || !m_outbox.empty() || m_slaveFd < 0)
        return false;
    pollfd unread{m_slaveFd, POLLIN, 0};
    return ::poll(&unread, 1, 0) == 0;
}

// Goes away if set to at this point; says whether it did.
bool SimulatedDevice::Impl::removeHere(Point point)
{
    if (m_removeAt != point)
        return false;
    m_removeAt.reset();
    hangUpNow(m_removeAtHow);
    return true;
}

// One byte as the device takes it: understood only when the program's line
// rate matches the device's current one.
void SimulatedDevice::Impl::take(char byte, bool understood, Clock::time_point now)
{
    switch (m_state) {
    case State::Idle:
        if (!understood) {
            m_sawD = false;
            return;
        }
        if (m_sawD) {
            m_sawD = false;
            if (byte == 'l') {
                if (removeHere(Point::Commands))
                    return;
                report(Event{Event::Kind::Commands, now, false, {}, {}, {}, {}});
                answer(m_dlReply, {}, now); // at the old rate, before switching
                m_currentRate = downloadRate;
                m_state = State::AwaitingE;
                m_giveUpAt = now + downloadTimeout;
                return;
            }
        }
        if (byte == '!' && removeHere(Point::Probe))
            return;
        if (byte == '!') {
            const Clock::time_point at = answer(m_probeReply, QByteArrayLiteral("!"), now);
            report(Event{Event::Kind::Probe,
                         now,
                         !spokenAnswer(m_probeReply, QByteArrayLiteral("!")).isEmpty(),
                         at,
                         {},
                         {},
                         {}});
        } else if (byte == 'r')
            answer(m_versionReply, QByteArray(1, char(m_version)), now);
        else if (byte == 'd')
            m_sawD = true;
        return;
    case State::AwaitingE:
        if (understood && byte == 'e') {
            answer(m_eReply, {}, now);
            m_state = State::ReceivingImage;
            m_image.clear();
            startProgramming();
            m_giveUpAt = now + downloadTimeout;
        }
        return;
    case State::ReceivingImage:
        m_image.append(understood ? byte : garbled(byte));
        m_lastImageByte = now;
        if (byte == '\r') {
            program(QByteArrayView(m_image).sliced(m_lineStart, m_image.size() - 1 - m_lineStart));
            m_lineStart = m_image.size();
        }
        if (m_image.size() == removalIntoImage && removeHere(Point::Image))
            return;
        if (byte == '\r' && m_image.endsWith(endOfFileRecord))
            finishImage(now);
        return;
    }
}

void SimulatedDevice::Impl::startProgramming()
{
    m_lineStart = 0;
    m_markerSeen = false;
    m_programming = true;
    m_base = 0;
}

// One line of the image, as the device's check sees it: the marker line
// first, then records; the first fault stops the writing.
void SimulatedDevice::Impl::program(QByteArrayView line)
{
    line = imageLine(line);
    if (!m_programming || line.isEmpty())
        return;
    if (!m_markerSeen) {
        m_markerSeen = true;
        m_programming = isMarkerLine(line);
        return;
    }
    const std::optional<QByteArray> record = hexRecord(line);
    if (!record) {
        m_programming = false;
        return;
    }
    const auto byteAt = [&record](qsizetype i) { return quint32(static_cast<unsigned char>(record->at(i))); };
    const qsizetype count = record->size() - 5;
    const quint32 offset = byteAt(1) << 8 | byteAt(2);
    switch (byteAt(3)) {
    case 0x00:
        m_memory.write(m_base + offset, QByteArrayView(*record).sliced(4, count));
        break;
    case 0x01:
        m_programming = false; // whatever follows is not part of the image
        break;
    case 0x02:
        if (count == 2)
            m_base = (byteAt(4) << 8 | byteAt(5)) << 4;
        break;
    case 0x04:
        if (count == 2)
            m_base = (byteAt(4) << 8 | byteAt(5)) << 16;
        break;
    default: // start addresses: nothing to write
        break;
    }
}

void SimulatedDevice::Impl::finishImage(Clock::time_point now)
{
    // An image ended by a pause may have a last line without its CR.
    if (m_lineStart < m_image.size()) {
        program(QByteArrayView(m_image).sliced(m_lineStart));
        m_lineStart = m_image.size();
    }
    if (removeHere(Point::Verdict))
        return;
    const bool acceptable = firmwareAcceptable(m_image);
    if (acceptable)
        ++m_imagesAccepted;
    else
        ++m_imagesRejected;
    m_lastImage = m_image;
    const QByteArray verdict = acceptable ? QByteArrayLiteral("OK!") : QByteArrayLiteral("ER");
    const Clock::time_point answered = answer(m_imageReply, verdict, now);
    if (acceptable && m_resetMs > 0)
        m_deafUntil = answered + std::chrono::milliseconds(m_resetMs);
    if (m_deafAfterVerdict)
        m_deafUntil = Clock::time_point::max();
    const QByteArray spoken = spokenAnswer(m_imageReply, verdict);
    report(Event{Event::Kind::Image, now, !spoken.isEmpty(), answered, ownCopy(spoken), ownCopy(m_image), m_memory});
    if (m_removeAt == Point::Idle) {
        m_removeAt.reset();
        m_idleRemovalAt = answered + idleBeforeRemoval;
    } else if (m_removeAt == Point::Answered) {
        m_removeAt.reset();
        m_removeOnceAnswerTaken = true;
    }
    backToIdle();
}

void SimulatedDevice::Impl::backToIdle()
{
    m_state = State::Idle;
    m_sawD = false;
    m_image.clear();
    m_currentRate = m_ownRate;
}

// What a reply says on the line; empty when it says nothing.
QByteArray SimulatedDevice::Impl::spokenAnswer(const Reply &reply, const QByteArray &protocolAnswer)
{
    return reply.silent ? QByteArray() : reply.text.value_or(protocolAnswer);
}

Clock::time_point SimulatedDevice::Impl::answer(const Reply &reply, const QByteArray &protocolAnswer,
                                                Clock::time_point now)
{
    Clock::time_point at = now + std::chrono::milliseconds(m_latencyMs + std::max(0, reply.delayMs));
    if (reply.silent)
        return at;
    const QByteArray text = reply.text.value_or(protocolAnswer);
    if (text.isEmpty())
        return at;
    const qsizetype piece = reply.pieceSize > 0 ? reply.pieceSize : text.size();
    Clock::time_point last = at;
    for (qsizetype from = 0; from < text.size(); from += piece) {
        m_scheduled.emplace(at, Outgoing{text.mid(from, piece), m_currentRate, 0});
        last = at;
        at += std::chrono::milliseconds(std::max(0, reply.pieceGapMs));
    }
    return last;
}

void SimulatedDevice::Impl::queue(const QByteArray &bytes, int deviceRate)
{
    if (m_hungUp || m_hangUpRequested || !m_present || bytes.isEmpty())
        return;
    m_outbox.push_back(Outgoing{bytes, deviceRate, 0});
    writeOut();
    if (!m_outbox.empty())
        wake(); // the device thread writes the rest as the program reads
}

// Writes as much as the line takes now; what the program has not made room
// for yet waits in the outbox.
void SimulatedDevice::Impl::writeOut()
{
    while (!m_outbox.empty() && m_masterFd >= 0) {
        Outgoing &front = m_outbox.front();
        const int rate = hostRate();
        const qsizetype size = std::min<qsizetype>(front.bytes.size() - front.written, 65536);
        const QByteArrayView rest(front.bytes.constData() + front.written, size);
        const QByteArray onTheLine = rate == front.deviceRate ? rest.toByteArray() : garbledAll(rest);
        const ssize_t written = ::write(m_masterFd, onTheLine.constData(), size_t(onTheLine.size()));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return;
            m_outbox.clear(); // nobody can hear it
            return;
        }
        front.written += written;
        if (front.written >= front.bytes.size())
            m_outbox.pop_front();
    }
}

SimulatedDevice::SimulatedDevice()
    : d(new Impl)
{}

SimulatedDevice::~SimulatedDevice()
{
    delete d;
}

QString SimulatedDevice::portPath() const
{
    return d->m_portPath;
}

void SimulatedDevice::setOwnRate(int rate)
{
    std::lock_guard lock(d->m_mutex);
    d->m_ownRate = rate;
    if (d->m_state == Impl::State::Idle)
        d->m_currentRate = rate;
}

int SimulatedDevice::ownRate() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_ownRate;
}

void SimulatedDevice::setVersion(std::uint8_t version)
{
    std::lock_guard lock(d->m_mutex);
    d->m_version = version;
}

void SimulatedDevice::setPacing(bool paced)
{
    std::lock_guard lock(d->m_mutex);
    d->m_paced = paced;
}

void SimulatedDevice::setProbeReply(const Reply &reply)
{
    std::lock_guard lock(d->m_mutex);
    d->m_probeReply = ownCopy(reply);
}

void SimulatedDevice::setDlReply(const Reply &reply)
{
    std::lock_guard lock(d->m_mutex);
    d->m_dlReply = ownCopy(reply);
}

void SimulatedDevice::setEReply(const Reply &reply)
{
    std::lock_guard lock(d->m_mutex);
    d->m_eReply = ownCopy(reply);
}

void SimulatedDevice::setImageReply(const Reply &reply)
{
    std::lock_guard lock(d->m_mutex);
    d->m_imageReply = ownCopy(reply);
}

void SimulatedDevice::setVersionReply(const Reply &reply)
{
    std::lock_guard lock(d->m_mutex);
    d->m_versionReply = ownCopy(reply);
}

void SimulatedDevice::setReplyLatency(int ms)
{
    std::lock_guard lock(d->m_mutex);
    d->m_latencyMs = std::max(0, ms);
}

void SimulatedDevice::setResetAfterImage(int ms)
{
    std::lock_guard lock(d->m_mutex);
    d->m_resetMs = std::max(0, ms);
}

void SimulatedDevice::hangUpAfter(qint64 bytes, Removal how)
{
    if (bytes == 0) {
        hangUp(how);
        return;
    }
    std::lock_guard lock(d->m_mutex);
    d->m_hangUpAfter = bytes < 0 ? -1 : bytes;
    d->m_hangUpAfterHow = how;
}

void SimulatedDevice::removeAt(Point point, Removal how)
{
    std::lock_guard lock(d->m_mutex);
    d->m_removeAt = point;
    d->m_removeAtHow = how;
}

void SimulatedDevice::stopReadingAfter(qint64 bytes)
{
    std::lock_guard lock(d->m_mutex);
    d->m_stopReadingAfter = bytes < 0 ? -1 : bytes;
    d->m_readingStopped = bytes == 0;
    d->wake();
}

void SimulatedDevice::setPresent(bool present)
{
    std::lock_guard lock(d->m_mutex);
    if (d->m_hungUp)
        return;
    d->sendDueAnswers(Clock::now());
    d->m_scheduled.clear();
    d->m_present = present;
    // Bytes still on the wire reach nobody: a fresh device hears from the
    // next byte on.
    d->m_inFlight.reset();
    d->backToIdle();
    d->m_deafUntil = {};
    // The device that left takes its memory along, but it can still be read
    // until the next one comes: nothing writes it while the line is empty.
    if (present)
        d->m_memory.erase();
    if (!present) {
        d->m_removeAt.reset();
        d->m_idleRemovalAt.reset();
        d->m_removeOnceAnswerTaken = false;
    }
    d->wake();
}

bool SimulatedDevice::present() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_present;
}

void SimulatedDevice::setDeafAfterVerdict(bool deaf)
{
    std::lock_guard lock(d->m_mutex);
    d->m_deafAfterVerdict = deaf;
}

void SimulatedDevice::setObserver(std::function<void(const Event &)> observer)
{
    std::lock_guard lock(d->m_mutex);
    d->m_observer = std::move(observer);
}

void SimulatedDevice::send(const QByteArray &bytes)
{
    std::lock_guard lock(d->m_mutex);
    d->queue(ownCopy(bytes), d->m_currentRate);
}

void SimulatedDevice::sendNoise(qint64 count, std::uint32_t seed)
{
    if (count <= 0)
        return;
    std::mt19937 generator(seed);
    QByteArray noise(count, Qt::Uninitialized);
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = char(generator() & 0xff);
    std::lock_guard lock(d->m_mutex);
    d->queue(noise, d->m_currentRate);
}

void SimulatedDevice::hangUp(Removal how)
{
    std::unique_lock lock(d->m_mutex);
    if (d->m_hungUp)
        return;
    d->m_hangUpRequested = true;
    d->m_requestedHow = how;
    d->wake();
    // The device thread closes the master itself, so it never polls a closed
    // (and perhaps reused) descriptor; the line is down when this returns.
    d->m_changed.wait(lock, [this] { return d->m_hungUp; });
}

QList<SimulatedDevice::Received> SimulatedDevice::transcript() const
{
    std::lock_guard lock(d->m_mutex);
    QList<Received> copy;
    copy.reserve(d->m_transcript.size());
    for (const Received &chunk : std::as_const(d->m_transcript))
        copy.append(Received{chunk.hostRate, ownCopy(chunk.bytes)});
    return copy;
}

QByteArray SimulatedDevice::received() const
{
    std::lock_guard lock(d->m_mutex);
    return ownCopy(d->m_received);
}

void SimulatedDevice::clearTranscript()
{
    std::lock_guard lock(d->m_mutex);
    d->m_transcript.clear();
    d->m_received.clear();
}

bool SimulatedDevice::hungUp() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_hungUp;
}

bool SimulatedDevice::answersRead() const
{
    std::lock_guard lock(d->m_mutex);
    return d->answerTaken();
}

int SimulatedDevice::imagesAccepted() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_imagesAccepted;
}

int SimulatedDevice::imagesRejected() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_imagesRejected;
}

QByteArray SimulatedDevice::lastImage() const
{
    std::lock_guard lock(d->m_mutex);
    return ownCopy(d->m_lastImage);
}

QByteArray SimulatedDevice::memory(quint32 address, int length) const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_memory.read(address, length);
}

QList<DeviceMemory::Range> SimulatedDevice::writtenMemory() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_memory.ranges();
}

DeviceMemory SimulatedDevice::memorySnapshot() const
{
    std::lock_guard lock(d->m_mutex);
    return d->m_memory;
}

void SimulatedDevice::eraseMemory()
{
    std::lock_guard lock(d->m_mutex);
    d->m_memory.erase();
}

bool SimulatedDevice::waitForReceived(const std::function<bool(const QByteArray &)> &pred,
                                      std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(d->m_mutex);
    return d->m_changed.wait_for(lock, timeout, [&] { return pred(d->m_received); });
}

bool SimulatedDevice::firmwareAcceptable(const QByteArray &image)
{
    bool markerSeen = false;
    const QList<QByteArray> lines = image.split('\r');
    for (const QByteArray &text : lines) {
        const QByteArrayView line = imageLine(text);
        if (line.isEmpty())
            continue;
        if (!markerSeen) {
            if (!isMarkerLine(line))
                return false;
            markerSeen = true;
            continue;
        }
        const std::optional<QByteArray> record = hexRecord(line);
        if (!record)
            return false;
        if (record->at(3) == 0x01)
            break; // end of file: whatever follows is not part of the image
    }
    return markerSeen;
}
