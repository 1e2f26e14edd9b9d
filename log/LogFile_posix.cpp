#include "log/LogFile.h"

#include "base/SystemError.h"
#include "base/SystemPath.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool failed(QString *reason, int error)
{
    *reason = systemErrorText(error);
    return false;
}

} // namespace

std::unique_ptr<LogFile> LogFile::open(const QString &path, QString *reason)
{
    const SystemPath systemPath(path); // a name that is no UTF-8 too
    // A regular file is also read, to check its header and its last line. Anything
    // else is only written: opening a pipe for reading as well would keep it
    // open for ever when its reader goes.
    struct stat status
    {
    };
    const bool regularOrNew = ::stat(systemPath.name(), &status) != 0 || S_ISREG(status.st_mode);
    int descriptor =
        ::open(systemPath.name(), (regularOrNew ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool readable = regularOrNew;
    // A log the station may write but not read is still kept; only its
    // header and an unfinished last line cannot be looked at.
    if (descriptor < 0 && errno == EACCES && regularOrNew) {
        descriptor = ::open(systemPath.name(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        readable = false;
    }
    if (descriptor < 0) {
        *reason = systemErrorText(errno);
        return nullptr;
    }
    const bool regular = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    return std::unique_ptr<LogFile>(new LogFile(descriptor, regular, readable && regular));
}

LogFile::~LogFile()
{
    ::close(int(m_handle));
}

// An exclusive flock, so that two stations appending to one file (on a
// network share too, where appending alone is not atomic) never interleave,
// and a cut back never takes another's line.
bool LogFile::lock(QString *reason)
{
    int result;
    do {
        result = ::flock(int(m_handle), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0 || failed(reason, errno);
}

void LogFile::unlock()
{
    ::flock(int(m_handle), LOCK_UN);
}

qint64 LogFile::size(QString *reason)
{
    struct stat status
    {
    };
    if (::fstat(int(m_handle), &status) != 0) {
        *reason = systemErrorText(errno);
        return -1;
    }
    return status.st_size;
}

qint64 LogFile::readAt(char *data, qint64 length, qint64 offset, QString *reason)
{
    ssize_t got;
    do {
        got = ::pread(int(m_handle), data, size_t(length), off_t(offset));
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        *reason = systemErrorText(errno);
    return got;
}

bool LogFile::append(const QByteArray &bytes, QString *reason)
{
    // O_APPEND puts every write at the end.
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(int(m_handle), bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return failed(reason, errno);
        }
        if (written == 0)
            return failed(reason, EIO);
        done += written;
    }
    return true;
}

bool LogFile::flush(QString *reason)
{
    if (::fdatasync(int(m_handle)) == 0)
        return true;
    // /dev/null, pipes and terminals cannot be flushed to a disk, and say so.
    if (!m_regular && (errno == EINVAL || errno == ENOTSUP || errno == EROFS))
        return true;
    return failed(reason, errno);
}

bool LogFile::truncate(qint64 size, QString *reason)
{
    int result;
    do {
        result = ::ftruncate(int(m_handle), off_t(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 || failed(reason, errno);
}
