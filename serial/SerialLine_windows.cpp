// The serial line on Windows: the communications API on an overlapped handle.
// A reader thread and a writer thread do the blocking calls; what they read
// and how far the writing got reach the line's own thread as queued calls,
// which wake its event loop as the system's notifications do on Linux. The
// reader sleeps while the line is quiet, so an open port costs nothing.

#include "serial/SerialLine.h"

#include "serial/SerialControl.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// A read takes what is there and returns at once: waiting inside the read for
// a first byte is a timeout mode that not every driver (nor Wine) keeps. In
// between, the reader sleeps in WaitCommEvent until a byte comes, so an idle
// port costs nothing. (Wine does not return at once from an overlapped read
// on its serial ports: the read itself waits for the first byte, which serves
// as well.) A driver without line events is read every
// EmptyReadPauseMs instead; the same pause follows a wake-up that brought
// nothing to read, so a driver that ends every wait at once never makes the
// reader spin. The pause is far below the exchanges' 500 ms tick.
constexpr DWORD EmptyReadPauseMs = 5;
// However quiet the line, the reader asks this often whether the device is
// still there, for a driver that does not end the wait when its device goes
// (those we know of end it with an error at once).
constexpr DWORD GoneCheckIntervalMs = 1000;
// Bytes handed to the system at a time, and how long one such write may take
// before the writer looks again: progress stays visible on a slow line.
constexpr qsizetype WriteChunk = 256;
constexpr DWORD WriteChunkTimeoutMs = 1000;
// The system's own queues, in each direction.
constexpr DWORD QueueBytes = 64 * 1024;

QString systemText(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString result = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                : QStringLiteral("system error %1").arg(error);
    ::LocalFree(text);
    return result;
}

// What an open name is when it is not a serial port, in the operator's
// words; empty when it is one. The system's last error says nothing when the
// name opened fine and is only of another kind, so the kind is what is told.
QString whatIsNotASerialPort(HANDLE handle)
{
    switch (::GetFileType(handle)) {
    case FILE_TYPE_CHAR:
        break;
    case FILE_TYPE_DISK:
        return QStringLiteral("a file");
    case FILE_TYPE_PIPE:
        return QStringLiteral("a pipe or a socket");
    default:
        if (const DWORD error = ::GetLastError(); error != NO_ERROR)
            return QStringLiteral("something the system cannot name (%1)").arg(systemText(error));
        return QStringLiteral("something the system cannot name");
    }
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(handle, &state))
        return QStringLiteral("a device of another kind (%1)").arg(systemText(::GetLastError()));
    return {};
}

BYTE dcbParity(SerialSettings::Parity parity)
{
    switch (parity) {
    case SerialSettings::Parity::None:
        return NOPARITY;
    case SerialSettings::Parity::Even:
        return EVENPARITY;
    case SerialSettings::Parity::Odd:
        return ODDPARITY;
    case SerialSettings::Parity::Mark:
        return MARKPARITY;
    case SerialSettings::Parity::Space:
        return SPACEPARITY;
    }
    return NOPARITY;
}

BYTE dcbStopBits(SerialSettings::StopBits stopBits)
{
    switch (stopBits) {
    case SerialSettings::StopBits::One:
        return ONESTOPBIT;
    case SerialSettings::StopBits::OneAndHalf:
        return ONE5STOPBITS;
    case SerialSettings::StopBits::Two:
        return TWOSTOPBITS;
    }
    return ONESTOPBIT;
}

// One overlapped operation's event.
class OperationEvent
{
public:
    OperationEvent()
        : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {}
    ~OperationEvent()
    {
        if (m_event)
            ::CloseHandle(m_event);
    }
    OperationEvent(const OperationEvent &) = delete;
    OperationEvent &operator=(const OperationEvent &) = delete;

    HANDLE get() const { return m_event; }

private:
    HANDLE m_event;
};

class WindowsSerialLine final : public SerialLine
{
public:
    WindowsSerialLine()
        : m_stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
        , m_writeFailedEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {}

    ~WindowsSerialLine() override
    {
        close();
        ::CloseHandle(m_stopEvent);
        ::CloseHandle(m_writeFailedEvent);
    }

    void open(const QString &path, const SerialSettings &settings) override
    {
        const std::wstring name = path.toStdWString();
        // No sharing: the port is this program's alone while it is open.
        const HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            switch (error) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_INVALID_NAME:
                throw SerialWords::invalidPortNumber();
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                // What Windows answers for a port another program holds.
                throw SerialWords::portInUse(path, systemText(error));
            case ERROR_GEN_FAILURE:
            case ERROR_DEVICE_REMOVED:
            case ERROR_DEV_NOT_EXIST:
            case ERROR_NOT_READY:
            case ERROR_BAD_COMMAND:
                throw SerialWords::portGone(path, systemText(error));
            default:
                throw SerialWords::couldNotOpen(path, systemText(error));
            }
        }
        if (const QString what = whatIsNotASerialPort(handle); !what.isEmpty()) {
            ::CloseHandle(handle);
            throw Failure(SerialError::NotASerialPort,
                          QStringLiteral("%1 is not a serial port: it is %2.").arg(path, what));
        }
        // Some drivers let a second program open a port (virtual COM ports,
        // Wine's): a name of this session's, held while the port is open,
        // stops a second Tarvik Downloader all the same.
        const QString portName = path.mid(path.lastIndexOf(QLatin1Char('\\')) + 1).toUpper();
        const std::wstring holderName = QStringLiteral("Local\\tarvik-downloader-%1").arg(portName).toStdWString();
        ::SetLastError(ERROR_SUCCESS);
        m_holder = ::CreateMutexW(nullptr, FALSE, holderName.c_str());
        if (m_holder && ::GetLastError() == ERROR_ALREADY_EXISTS) {
            ::CloseHandle(m_holder);
            m_holder = nullptr;
            ::CloseHandle(handle);
            throw SerialWords::portInUse(path, QStringLiteral("held by another Tarvik Downloader"));
        }
        m_handle = handle;

        if (const QString reason = apply(settings); !reason.isEmpty()) {
            close();
            throw Failure(SerialError::SettingsRefused,
                          QStringLiteral("The port %1 would not take its settings (%2)").arg(path, reason));
        }
        // A read returns at once with what is there.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.WriteTotalTimeoutConstant = WriteChunkTimeoutMs;
        ::SetupComm(handle, QueueBytes, QueueBytes);
        if (!::SetCommTimeouts(handle, &timeouts)) {
            const DWORD error = ::GetLastError();
            close();
            throw SerialWords::couldNotOpen(path, systemText(error));
        }
        // Bytes the device sent before the port was opened are not part of
        // this exchange.
        ::PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
        m_lineEventsServe = ::SetCommMask(handle, EV_RXCHAR) != 0;

        m_stopping = false;
        m_lostReported = false;
        m_writeFailed = false;
        ::ResetEvent(m_stopEvent);
        ::ResetEvent(m_writeFailedEvent);
        const quint64 opening = ++m_opening;
        m_reader = std::thread([this, opening] { readLoop(opening); });
        m_writer = std::thread([this, opening] { writeLoop(opening); });
    }

    void close() override
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_sendReady.notify_all();
        ::SetEvent(m_stopEvent);
        ::CancelIoEx(m_handle, nullptr);
        if (m_reader.joinable())
            m_reader.join();
        if (m_writer.joinable())
            m_writer.join();
        ::CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        if (m_holder) {
            ::CloseHandle(m_holder);
            m_holder = nullptr;
        }
        const std::lock_guard lock(m_mutex);
        m_received.clear();
        m_toSend.clear();
        ++m_generation;
    }

    bool isOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }

    QString apply(const SerialSettings &settings) override
    {
        if (!isOpen())
            return {};
        DCB state{};
        state.DCBlength = sizeof state;
        if (!::GetCommState(m_handle, &state))
            return systemText(::GetLastError());
        state.BaudRate = DWORD(settings.baudRate);
        state.ByteSize = BYTE(settings.dataBits);
        state.Parity = dcbParity(settings.parity);
        state.StopBits = dcbStopBits(settings.stopBits);
        state.fBinary = TRUE;
        state.fParity = settings.parity != SerialSettings::Parity::None;
        // No flow control of any kind, as on Linux; DTR and RTS up, as a
        // device powered from them expects.
        state.fOutxCtsFlow = FALSE;
        state.fOutxDsrFlow = FALSE;
        state.fDtrControl = DTR_CONTROL_ENABLE;
        state.fDsrSensitivity = FALSE;
        state.fOutX = FALSE;
        state.fInX = FALSE;
        state.fErrorChar = FALSE;
        state.fNull = FALSE;
        state.fRtsControl = RTS_CONTROL_ENABLE;
        // A framing or parity error must not stop every later read.
        state.fAbortOnError = FALSE;
        if (!::SetCommState(m_handle, &state))
            return systemText(::GetLastError());
        return {};
    }

    QString write(const QByteArray &bytes) override
    {
        if (!isOpen())
            return QStringLiteral("the port is not open");
        if (m_lostReported || m_writeFailed)
            return QStringLiteral("the device is gone");
        {
            const std::lock_guard lock(m_mutex);
            m_toSend.append(bytes);
        }
        m_sendReady.notify_all();
        return {};
    }

    qint64 bytesToWrite() const override
    {
        const std::lock_guard lock(m_mutex);
        return m_toSend.size();
    }

    void discardOutput() override
    {
        // Under the lock: no write of the dropped bytes starts after this.
        const std::lock_guard lock(m_mutex);
        m_toSend.clear();
        ++m_generation;
        if (isOpen())
            ::PurgeComm(m_handle, PURGE_TXABORT | PURGE_TXCLEAR);
    }

    qint64 bytesAvailable() const override
    {
        const std::lock_guard lock(m_mutex);
        return m_received.size();
    }

    QByteArray readAll() override
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_received, QByteArray());
    }

    // A removed adapter answers every request on its handle with an error;
    // so does a line whose other end hung up.
    bool isGone() const override
    {
        if (!isOpen())
            return false;
        DCB state{};
        state.DCBlength = sizeof state;
        return !::GetCommState(m_handle, &state);
    }

private:
    // The error an overlapped call just made gave, or 0 when it started.
    static DWORD startError(BOOL started) { return started ? 0 : ::GetLastError(); }

    // Waits for `operation`, started with `startError`, to end, or for the
    // line to close or `alsoWake` to be set (the operation is then
    // cancelled). The system's error, or 0; `done` tells how many bytes it
    // moved.
    DWORD finish(OVERLAPPED &operation, DWORD startError, DWORD *done, HANDLE alsoWake = nullptr)
    {
        *done = 0;
        if (startError != 0) {
            if (startError != ERROR_IO_PENDING)
                return startError;
            const HANDLE waits[3] = {operation.hEvent, m_stopEvent, alsoWake};
            if (::WaitForMultipleObjects(alsoWake ? 3 : 2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
                ::CancelIoEx(m_handle, &operation);
        }
        if (!::GetOverlappedResult(m_handle, &operation, done, TRUE))
            return ::GetLastError();
        return 0;
    }

    bool stopping()
    {
        const std::lock_guard lock(m_mutex);
        return m_stopping;
    }

    // Whether a notice queued by a thread of `opening` is still this line's
    // news: the port may have been closed, and opened again, since.
    bool current(quint64 opening) const { return opening == m_opening && isOpen(); }

    // The reader alone tells the loss, and only after everything it could
    // still read: queued behind those bytes, the loss never overtakes them,
    // so what the device said before it went (an "OK!" and then a reset off
    // the bus) is heard first.
    void readLoop(quint64 opening)
    {
        OperationEvent readDone;
        OperationEvent lineEvent;
        bool eventsServe = m_lineEventsServe;
        bool wokenByLine = false;
        char buffer[4096];
        while (!stopping()) {
            OVERLAPPED operation{};
            operation.hEvent = readDone.get();
            DWORD got = 0;
            const DWORD error =
                finish(operation, startError(::ReadFile(m_handle, buffer, sizeof buffer, nullptr, &operation)), &got,
                       m_writeFailedEvent);
            if (stopping())
                return;
            if (error != 0 && !(error == ERROR_OPERATION_ABORTED && !isGone())) {
                reportLost(opening);
                return;
            }
            if (got > 0) {
                {
                    const std::lock_guard lock(m_mutex);
                    m_received.append(buffer, qsizetype(got));
                }
                QMetaObject::invokeMethod(
                    this,
                    [this, opening] {
                        if (current(opening) && bytesAvailable() > 0)
                            emit readyRead();
                    },
                    Qt::QueuedConnection);
                wokenByLine = false;
                continue;
            }
            // Nothing came: a line that is gone reads as empty for ever.
            if (m_writeFailed || isGone()) {
                reportLost(opening);
                return;
            }
            // A driver that ended its wait with nothing to read may end the
            // next one at once too: pause before waiting again.
            if (!eventsServe || wokenByLine) {
                const HANDLE wakes[2] = {m_stopEvent, m_writeFailedEvent};
                ::WaitForMultipleObjects(2, wakes, FALSE, EmptyReadPauseMs);
            }
            wokenByLine = false;
            if (eventsServe && !stopping()) {
                const Wake wake = waitForLineEvent(lineEvent);
                eventsServe = wake != Wake::NoLineEvents;
                wokenByLine = wake == Wake::LineEvent;
            }
        }
    }

    enum class Wake {
        LineEvent,    // the driver ended the wait: a byte, or a change of the line
        Quiet,        // nothing for GoneCheckIntervalMs, the line closing, or the writer failed
        NoLineEvents, // the driver has no line events: read every EmptyReadPauseMs from now on
    };

    // Sleeps until the line has something to say. Under Wine on a
    // pseudo-terminal every such wait ends as cancelled, because the modem
    // lines it also reads do not exist there; it still ends when a byte comes
    // and when the line hangs up, which is all the reader asks of it.
    Wake waitForLineEvent(const OperationEvent &lineEvent)
    {
        OVERLAPPED operation{};
        operation.hEvent = lineEvent.get();
        DWORD events = 0;
        const DWORD error = startError(::WaitCommEvent(m_handle, &events, &operation));
        if (error == 0)
            return Wake::LineEvent;
        if (error != ERROR_IO_PENDING)
            return isGone() ? Wake::Quiet : Wake::NoLineEvents;
        Wake wake = Wake::LineEvent;
        // A byte that came between the last read and this wait may have
        // raised its event before the wait began.
        if (bytesWaiting() == 0) {
            const HANDLE wakes[3] = {lineEvent.get(), m_stopEvent, m_writeFailedEvent};
            if (::WaitForMultipleObjects(3, wakes, FALSE, GoneCheckIntervalMs) != WAIT_OBJECT_0)
                wake = Wake::Quiet;
        }
        if (wake != Wake::LineEvent || !HasOverlappedIoCompleted(&operation))
            ::CancelIoEx(m_handle, &operation);
        DWORD ignored = 0;
        ::GetOverlappedResult(m_handle, &operation, &ignored, TRUE);
        return wake;
    }

    // Bytes the system holds for this line, not yet read.
    qint64 bytesWaiting() const
    {
        DWORD errors = 0;
        COMSTAT status{};
        return ::ClearCommError(m_handle, &errors, &status) ? qint64(status.cbInQue) : 0;
    }

    void writeLoop(quint64 opening)
    {
        OperationEvent event;
        for (;;) {
            QByteArray chunk;
            quint64 generation = 0;
            OVERLAPPED operation{};
            operation.hEvent = event.get();
            DWORD started = 0;
            {
                std::unique_lock lock(m_mutex);
                m_sendReady.wait(lock, [this] { return m_stopping || !m_toSend.isEmpty(); });
                if (m_stopping)
                    return;
                chunk = m_toSend.first(std::min(WriteChunk, m_toSend.size()));
                generation = m_generation;
                // The write starts under the lock, so a discard comes either
                // before it (and the chunk is never written) or after it has
                // started (and the discard's purge aborts it). Started after
                // the lock was let go, a chunk copied just before a discard
                // would still go out.
                started =
                    startError(::WriteFile(m_handle, chunk.constData(), DWORD(chunk.size()), nullptr, &operation));
            }
            DWORD put = 0;
            const DWORD error = finish(operation, started, &put);
            if (stopping())
                return;
            // A purge of what was queued aborts the write under way; anything
            // else on a line that is gone is the device going, which the
            // reader tells once it has read what came before.
            if (error != 0 && !(error == ERROR_OPERATION_ABORTED && !isGone())) {
                m_writeFailed = true;
                ::SetEvent(m_writeFailedEvent);
                return;
            }
            {
                const std::lock_guard lock(m_mutex);
                if (generation == m_generation)
                    m_toSend.remove(0, std::min(qsizetype(put), m_toSend.size()));
            }
            QMetaObject::invokeMethod(
                this,
                [this, opening] {
                    if (current(opening))
                        emit bytesWritten();
                },
                Qt::QueuedConnection);
        }
    }

    void reportLost(quint64 opening)
    {
        if (m_lostReported.exchange(true))
            return;
        // A loss queued just before a close must not reach the port opened
        // right after it (a probe's close and a download's open follow each
        // other with no events handled between): it would read a good port
        // as lost.
        QMetaObject::invokeMethod(
            this,
            [this, opening] {
                if (current(opening))
                    emit lost();
            },
            Qt::QueuedConnection);
    }

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    // The session-wide name that marks the port as this program's.
    HANDLE m_holder = nullptr;
    HANDLE m_stopEvent;
    // Set by the writer when a write failed: the reader then looks at once.
    HANDLE m_writeFailedEvent;
    std::thread m_reader;
    std::thread m_writer;
    std::atomic<bool> m_lostReported{false};
    std::atomic<bool> m_writeFailed{false};
    // The driver takes a mask of line events, so the reader can sleep in
    // WaitCommEvent.
    bool m_lineEventsServe = false;
    // Counts the openings of the line, on its own thread; each opening's
    // threads carry its number in what they queue.
    quint64 m_opening = 0;

    // Shared with the two threads.
    mutable std::mutex m_mutex;
    std::condition_variable m_sendReady;
    bool m_stopping = false;
    QByteArray m_received;
    QByteArray m_toSend;
    // Changes when queued bytes are dropped, so that a write that was under
    // way does not take bytes queued after the drop.
    quint64 m_generation = 0;
};

} // namespace

std::unique_ptr<SerialLine> SerialLine::create()
{
    return std::make_unique<WindowsSerialLine>();
}
