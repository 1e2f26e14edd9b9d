#include "log/ProductionLog.h"

#include "base/SystemPath.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A text field in one line: control bytes and line ends as in the reply
// column (\r, \n, \xNN), a backslash doubled so the escapes read back
// unambiguously; every other byte, UTF-8 included, as it is, so a path in
// any language stays readable.
QByteArray oneLine(const QByteArray &bytes)
{
    QByteArray text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r')
            text += "\\r";
        else if (byte == '\n')
            text += "\\n";
        else if (byte == '\\')
            text += "\\\\";
        else if (byte < 0x20 || byte == 0x7f)
            text += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
        else
            text += c;
    }
    return text;
}

// A spreadsheet runs a cell that begins with one of these as a formula (or,
// for a tab or a carriage return, reads it so). Such a field is written with
// a single quote before it, which spreadsheets show as text; a field that
// itself begins with a quote gets one too, so a reader can always take the
// first quote away.
bool opensAFormula(const QByteArray &field)
{
    return !field.isEmpty() && std::strchr("=+-@\t\r'", field.front()) != nullptr;
}

QByteArray csvField(QByteArray field)
{
    const bool neutralised = opensAFormula(field);
    if (neutralised)
        field.prepend('\'');
    if (!neutralised && !field.contains(',') && !field.contains('"') && !field.contains('\n') && !field.contains('\r'))
        return field;
    field.replace('"', "\"\"");
    return '"' + field + '"';
}

QByteArray csvField(const QString &field)
{
    // A path is kept as the bytes it was given as, UTF-8 or not.
    return csvField(oneLine(systemBytesFromText(field)));
}

// Holds an exclusive flock on the log for one line, so that two stations
// appending to one file (on a network share too, where appending alone is
// not atomic) never interleave, and a cut back never takes another's line.
class FileLock
{
public:
    explicit FileLock(int descriptor)
        : m_descriptor(descriptor)
    {
        int result;
        do {
            result = ::flock(m_descriptor, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        m_error = result == 0 ? 0 : errno;
    }
    ~FileLock()
    {
        if (m_error == 0)
            ::flock(m_descriptor, LOCK_UN);
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    int error() const { return m_error; }

private:
    int m_descriptor;
    int m_error = 0;
};

bool truncateTo(int descriptor, off_t size)
{
    int result;
    do {
        result = ::ftruncate(descriptor, size);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

// Writes all of `line`; the errno of the failure, or 0.
int writeAll(int descriptor, const QByteArray &line)
{
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t written = ::write(descriptor, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        done += written;
    }
    return 0;
}

} // namespace

const QByteArray ProductionLog::Header =
    "time,port,device,rate,file,sha256,bytes_sent,result,reply,version,duration_ms\n";

QByteArray ProductionLog::csvLine(const AttemptRecord &record)
{
    // The time with its offset from UTC, so lines from stations in other
    // time zones, or from both sides of a clock change, still sort.
    // (written out, "+00:00" rather than "Z", so every line has the same form).
    const int offset = record.started.offsetFromUtc();
    const QString time = record.started.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
                         + QStringLiteral("%1%2:%3")
                               .arg(QChar(offset < 0 ? u'-' : u'+'))
                               .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
                               .arg(std::abs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
    const QList<QByteArray> fields = {
        csvField(time),
        csvField(record.port),
        csvField(record.devicePath),
        csvField(record.rate),
        csvField(record.firmwarePath),
        csvField(oneLine(record.firmwareSha256)),
        QByteArray::number(record.bytesSent),
        csvField(record.result),
        csvField(printableBytes(record.reply)),
        record.version              ? QByteArray::number(*record.version)
        : record.versionInterrupted ? QByteArrayLiteral("interrupted")
                                    : QByteArray(),
        QByteArray::number(record.durationMs),
    };
    return fields.join(',') + '\n';
}

std::unique_ptr<ProductionLog> ProductionLog::open(const QString &path, QString *reason, qint64 *removedBytes)
{
    if (removedBytes)
        *removedBytes = 0;
    const QByteArray name = systemBytesFromText(path); // a name that is no UTF-8 too
    // A regular file is also read, to find its last whole line. Anything
    // else is only written: opening a pipe for reading as well would keep it
    // open for ever when its reader goes.
    struct stat status
    {
    };
    const bool regularOrNew = ::stat(name.constData(), &status) != 0 || S_ISREG(status.st_mode);
    int descriptor =
        ::open(name.constData(), (regularOrNew ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    // A log the station may write but not read is still kept; only a cut
    // last line cannot be found in it.
    if (descriptor < 0 && errno == EACCES && regularOrNew)
        descriptor = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        *reason = QStringLiteral("cannot open the log %1: %2").arg(path, systemReason(errno));
        return nullptr;
    }
    const bool regular = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    std::unique_ptr<ProductionLog> log(new ProductionLog(descriptor, regular));
    if (!regular) {
        // Each reader of a pipe or a terminal sees the columns first.
        QString why;
        if (!log->writeLine(Header, &why)) {
            *reason = QStringLiteral("cannot write to the log %1: %2").arg(path, why);
            return nullptr;
        }
        return log;
    }

    // Two stations starting on one new log must not both write the header.
    const FileLock lock(descriptor);
    if (lock.error() != 0) {
        *reason = QStringLiteral("cannot lock the log %1: %2").arg(path, systemReason(lock.error()));
        return nullptr;
    }
    QString why;
    const qint64 removed = log->cutToLastWholeLine(&why);
    if (removed < 0) {
        *reason = QStringLiteral("the log %1 ends in a cut line that cannot be removed: %2").arg(path, why);
        return nullptr;
    }
    if (removedBytes)
        *removedBytes = removed;
    if (::fstat(descriptor, &status) != 0) {
        *reason = QStringLiteral("cannot read the log %1: %2").arg(path, systemReason(errno));
        return nullptr;
    }
    if (status.st_size == 0 && !log->appendLocked(Header, &why)) {
        *reason = QStringLiteral("cannot write to the log %1: %2").arg(path, why);
        return nullptr;
    }
    return log;
}

ProductionLog::~ProductionLog()
{
    ::close(m_descriptor);
}

bool ProductionLog::append(const AttemptRecord &record, QString *reason)
{
    const QByteArray line = csvLine(record);
    QString why;
    const std::lock_guard lock(m_mutex);
    const bool written = writeLine(line, &why);
    if (!written && reason)
        *reason = why;
    return written;
}

bool ProductionLog::writeLine(const QByteArray &line, QString *reason)
{
    if (m_regular) {
        const FileLock lock(m_descriptor);
        if (lock.error() != 0) {
            *reason = QStringLiteral("cannot lock the log: %1").arg(systemReason(lock.error()));
            return false;
        }
        // Another station's cut line, or one this process could not cut
        // back, is removed first: a record is never glued onto it.
        if (cutToLastWholeLine(reason) < 0)
            return false;
        return appendLocked(line, reason);
    }
    if (const int error = writeAll(m_descriptor, line)) {
        *reason = systemReason(error);
        return false;
    }
    // /dev/null, pipes and terminals cannot be flushed to a disk, and say so.
    if (::fdatasync(m_descriptor) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EROFS) {
        *reason = systemReason(errno);
        return false;
    }
    return true;
}

bool ProductionLog::appendLocked(const QByteArray &line, QString *reason)
{
    struct stat status
    {
    };
    if (::fstat(m_descriptor, &status) != 0) {
        *reason = systemReason(errno);
        return false;
    }
    int error = writeAll(m_descriptor, line);
    // A line the disk did not keep is not written either.
    if (error == 0 && ::fdatasync(m_descriptor) != 0)
        error = errno;
    if (error == 0)
        return true;
    *reason = systemReason(error);
    if (!truncateTo(m_descriptor, status.st_size)) {
        *reason += QStringLiteral("; the part written could not be cut away (%1): the next line written cuts it "
                                  "away first")
                       .arg(systemReason(errno));
    }
    return false;
}

qint64 ProductionLog::cutToLastWholeLine(QString *reason)
{
    struct stat status
    {
    };
    if (::fstat(m_descriptor, &status) != 0) {
        *reason = systemReason(errno);
        return -1;
    }
    const off_t size = status.st_size;
    char last = '\n';
    if (size == 0 || ::pread(m_descriptor, &last, 1, size - 1) != 1 || last == '\n')
        return 0;
    // Back from the end, a block at a time, to the last line end.
    off_t end = size;
    off_t wholeUpTo = 0;
    char block[4096];
    while (end > 0 && wholeUpTo == 0) {
        const off_t start = std::max<off_t>(0, end - off_t(sizeof block));
        const ssize_t got = ::pread(m_descriptor, block, size_t(end - start), start);
        if (got != end - start) {
            *reason = got < 0 ? systemReason(errno) : QStringLiteral("the log changed while it was read");
            return -1;
        }
        for (ssize_t i = got; i > 0; --i) {
            if (block[i - 1] == '\n') {
                wholeUpTo = start + i;
                break;
            }
        }
        end = start;
    }
    if (!truncateTo(m_descriptor, wholeUpTo)) {
        *reason = systemReason(errno);
        return -1;
    }
    return size - wholeUpTo;
}
