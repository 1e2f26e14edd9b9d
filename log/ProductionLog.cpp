#include "log/ProductionLog.h"

#include "base/SystemPath.h"
#include "log/LogFile.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

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

// Holds the log's lock for one line, so that two stations appending to one
// file never interleave, and a cut back never takes another's line.
class FileLock
{
public:
    explicit FileLock(LogFile &file)
        : m_file(file)
        , m_locked(file.lock(&m_reason))
    {}
    ~FileLock()
    {
        if (m_locked)
            m_file.unlock();
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    bool locked() const { return m_locked; }
    const QString &reason() const { return m_reason; }

private:
    LogFile &m_file;
    QString m_reason;
    bool m_locked;
};

} // namespace

const QByteArray ProductionLog::HeaderWithoutSerial =
    "time,port,device,rate,file,sha256,bytes_sent,result,reply,version,duration_ms\n";
// New columns only ever go at the end, so readers that go by a column's
// name, or by its place, keep working.
const QByteArray ProductionLog::Header =
    "time,port,device,rate,file,sha256,bytes_sent,result,reply,version,duration_ms,serial\n";

QByteArray ProductionLog::csvLine(const AttemptRecord &record, bool withSerial)
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
    QList<QByteArray> fields = {
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
    if (withSerial)
        fields.append(csvField(record.serial));
    return fields.join(',') + '\n';
}

std::unique_ptr<ProductionLog> ProductionLog::open(const QString &path, QString *reason, qint64 *fragmentBytes,
                                                   bool needsSerial)
{
    if (fragmentBytes)
        *fragmentBytes = 0;
    QString why;
    std::unique_ptr<LogFile> file = LogFile::open(path, &why);
    if (!file) {
        *reason = QStringLiteral("cannot open the log %1: %2").arg(path, why);
        return nullptr;
    }
    const bool regular = file->isRegular();
    std::unique_ptr<ProductionLog> log(new ProductionLog(std::move(file)));
    if (!regular) {
        // Each reader of a pipe or a terminal sees the columns first.
        if (!log->writeLine(Header, &why)) {
            *reason = QStringLiteral("cannot write to the log %1: %2").arg(path, why);
            return nullptr;
        }
        return log;
    }

    // Two stations starting on one new log must not both write the header.
    const FileLock lock(*log->m_file);
    if (!lock.locked()) {
        *reason = QStringLiteral("cannot lock the log %1: %2").arg(path, lock.reason());
        return nullptr;
    }
    const qint64 size = log->m_file->size(&why);
    if (size < 0) {
        *reason = QStringLiteral("cannot read the log %1: %2").arg(path, why);
        return nullptr;
    }
    if (size == 0) {
        if (!log->appendLocked(Header, &why)) {
            *reason = QStringLiteral("cannot write to the log %1: %2").arg(path, why);
            return nullptr;
        }
        return log;
    }
    if (!log->m_file->isReadable())
        return log; // written blind: nothing in it can be looked at

    // Lines are only ever added to a file that holds this log's lines: any
    // other file named by mistake is left as it is.
    QByteArray start(Header.size(), '\0');
    const qint64 got = log->m_file->readAt(start.data(), start.size(), 0, &why);
    if (got < 0) {
        *reason = QStringLiteral("cannot read the log %1: %2").arg(path, why);
        return nullptr;
    }
    start.truncate(got);
    if (start.startsWith(HeaderWithoutSerial)) {
        if (needsSerial) {
            *reason = QStringLiteral("the log %1 was begun before device numbers were logged: its header has no "
                                     "serial column, and its lines are never made wider than their header; name a "
                                     "new log file for a station that gives devices numbers")
                          .arg(path);
            return nullptr;
        }
        log->m_withSerial = false;
    } else if (start != Header) {
        *reason = QStringLiteral("%1 is not a production log: it is not empty and does not begin with the log's "
                                 "header line \"%2\"; name a new file or an earlier log")
                      .arg(path, QString::fromLatin1(Header.chopped(1)));
        return nullptr;
    }

    const qint64 unfinished = log->unfinishedLineLength(&why);
    if (unfinished < 0) {
        *reason = QStringLiteral("cannot read the log %1: %2").arg(path, why);
        return nullptr;
    }
    if (unfinished > 0) {
        // The unfinished line stays, closed, so what it holds can still be
        // read; the lines added after it are whole.
        if (!log->appendLocked("\n", &why)) {
            *reason = QStringLiteral("the log %1 ends in an unfinished line that cannot be closed with a line end: %2")
                          .arg(path, why);
            return nullptr;
        }
        if (fragmentBytes)
            *fragmentBytes = unfinished;
    }
    return log;
}

ProductionLog::ProductionLog(std::unique_ptr<LogFile> file)
    : m_file(std::move(file))
{}

ProductionLog::~ProductionLog() = default;

bool ProductionLog::append(const AttemptRecord &record, QString *reason)
{
    const QByteArray line = csvLine(record, m_withSerial);
    QString why;
    const std::lock_guard lock(m_mutex);
    const bool written = writeLine(line, &why);
    if (!written && reason)
        *reason = why;
    return written;
}

bool ProductionLog::writeLine(const QByteArray &line, QString *reason)
{
    if (m_file->isRegular()) {
        const FileLock lock(*m_file);
        if (!lock.locked()) {
            *reason = QStringLiteral("cannot lock the log: %1").arg(lock.reason());
            return false;
        }
        // Another station's unfinished line (its power went in the middle of
        // a write) is closed first, in the same write: a record is never
        // glued onto it, and none of it is taken away.
        const qint64 unfinished = unfinishedLineLength(reason);
        if (unfinished < 0)
            return false;
        return appendLocked(unfinished > 0 ? '\n' + line : line, reason);
    }
    return m_file->append(line, reason) && m_file->flush(reason);
}

bool ProductionLog::appendLocked(const QByteArray &line, QString *reason)
{
    const qint64 size = m_file->size(reason);
    if (size < 0)
        return false;
    // A line the disk did not keep is not written either.
    if (m_file->append(line, reason) && m_file->flush(reason))
        return true;
    QString why;
    if (!m_file->truncate(size, &why)) {
        *reason += QStringLiteral("; the part written could not be cut away (%1): it stays as an unfinished "
                                  "line, and the next line written closes it first")
                       .arg(why);
    }
    return false;
}

// How long the file's last line is when no line end closes it; 0 when the
// file is empty or ends in a line end, or cannot be read.
qint64 ProductionLog::unfinishedLineLength(QString *reason)
{
    if (!m_file->isReadable())
        return 0;
    const qint64 size = m_file->size(reason);
    if (size < 0)
        return -1;
    if (size == 0)
        return 0;
    char last = '\n';
    const qint64 read = m_file->readAt(&last, 1, size - 1, reason);
    if (read != 1) {
        if (read >= 0)
            *reason = QStringLiteral("the log changed while it was read");
        return -1;
    }
    if (last == '\n')
        return 0;
    // Back from the end, a block at a time, to the last line end.
    qint64 end = size;
    char block[4096];
    while (end > 0) {
        const qint64 start = std::max<qint64>(0, end - qint64(sizeof block));
        const qint64 got = m_file->readAt(block, end - start, start, reason);
        if (got != end - start) {
            if (got >= 0)
                *reason = QStringLiteral("the log changed while it was read");
            return -1;
        }
        for (qint64 i = got; i > 0; --i) {
            if (block[i - 1] == '\n')
                return size - (start + i);
        }
        end = start;
    }
    return size;
}
