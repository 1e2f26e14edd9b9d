#include "log/ProductionLog.h"

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

QByteArray csvField(const QByteArray &field)
{
    if (!field.contains(',') && !field.contains('"') && !field.contains('\n') && !field.contains('\r'))
        return field;
    QByteArray quoted = field;
    quoted.replace('"', "\"\"");
    return '"' + quoted + '"';
}

QByteArray csvField(const QString &field)
{
    return csvField(field.toUtf8());
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
        csvField(record.firmwareSha256),
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

std::unique_ptr<ProductionLog> ProductionLog::open(const QString &path, QString *reason)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        *reason = QStringLiteral("cannot open the log %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    std::unique_ptr<ProductionLog> log(new ProductionLog(descriptor));
    // Two stations starting on one new log must not both write the header.
    ::flock(descriptor, LOCK_EX);
    struct stat status
    {
    };
    bool ok = ::fstat(descriptor, &status) == 0;
    if (ok && status.st_size == 0)
        ok = log->writeWhole(Header);
    ::flock(descriptor, LOCK_UN);
    if (!ok) {
        *reason =
            QStringLiteral("cannot write to the log %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    return log;
}

ProductionLog::~ProductionLog()
{
    ::close(m_descriptor);
}

bool ProductionLog::append(const AttemptRecord &record)
{
    const QByteArray line = csvLine(record);
    const std::lock_guard lock(m_mutex);
    return writeWhole(line);
}

bool ProductionLog::writeWhole(const QByteArray &line)
{
    ssize_t written;
    do {
        written = ::write(m_descriptor, line.constData(), static_cast<size_t>(line.size()));
    } while (written < 0 && errno == EINTR);
    // A regular file takes a write whole; only a full disk or a size limit
    // cuts it short, and then the line is reported as not written.
    if (written != line.size())
        return false;
    return ::fdatasync(m_descriptor) == 0;
}
