#include "numbers/StateFile.h"

#include "base/SystemError.h"
#include "base/SystemPath.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool failed(QString *reason, const QString &path, int error)
{
    *reason = QStringLiteral("%1: %2").arg(path, systemErrorText(error));
    return false;
}

// A record lock belongs to the process, not to the descriptor: a second
// supply in this process would be granted it at once, and closing any
// descriptor of the lock file would drop it. So within the process one lock
// is held at a time, from opening the lock file to closing it.
std::timed_mutex &processLock()
{
    static std::timed_mutex lock;
    return lock;
}

// The folder a name lies in, as bytes: what a rename changes.
QByteArray folderOf(const QByteArray &name)
{
    const qsizetype slash = name.lastIndexOf('/');
    if (slash < 0)
        return ".";
    if (slash == 0)
        return "/";
    return name.left(slash);
}

bool writeAll(int descriptor, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(descriptor, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace

// An fcntl write lock: the kind of lock NFS and SMB mounts carry to the
// server, so stations on several machines exclude each other too (flock is
// local only on some of them).
bool StateFile::lock(QString *reason)
{
    if (m_lock >= 0)
        return true;
    const QString lockPath = m_path + QStringLiteral(".lock");
    const SystemPath name(lockPath);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LockPatienceMs);
    if (!processLock().try_lock_until(deadline)) {
        *reason = heldTooLong(lockPath);
        return false;
    }
    bool patienceOut = false;
    for (;;) {
        const int descriptor = ::open(name.name(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (descriptor < 0)
            break;
        struct flock request
        {
        };
        request.l_type = F_WRLCK;
        request.l_whence = SEEK_SET; // the whole file, from its start
        // Asked again and again rather than waited for, so that the wait
        // has an end.
        int result;
        for (;;) {
            result = ::fcntl(descriptor, F_SETLK, &request);
            if (result == 0 || (errno != EINTR && errno != EACCES && errno != EAGAIN))
                break;
            if (errno != EINTR && std::chrono::steady_clock::now() >= deadline) {
                patienceOut = true;
                break;
            }
            if (errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (patienceOut) {
            ::close(descriptor);
            break;
        }
        // A lock file removed (by hand) while this one waited is not the
        // file the others lock now: lock the one that has the name.
        struct stat held
        {
        };
        struct stat named
        {
        };
        if (result == 0 && ::fstat(descriptor, &held) == 0) {
            const bool found = ::stat(name.name(), &named) == 0;
            if (found && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
                m_lock = descriptor;
                return true;
            }
            if (found || errno == ENOENT) {
                ::close(descriptor);
                continue;
            }
        }
        const int error = errno;
        ::close(descriptor);
        errno = error;
        break;
    }
    const int error = errno;
    processLock().unlock();
    if (patienceOut) {
        *reason = heldTooLong(lockPath);
        return false;
    }
    return failed(reason, lockPath, error);
}

void StateFile::unlock()
{
    if (m_lock < 0)
        return;
    // Closing the descriptor gives the lock up.
    ::close(int(m_lock));
    m_lock = -1;
    processLock().unlock();
}

std::optional<QByteArray> StateFile::read(bool *missing, QString *reason)
{
    *missing = false;
    const SystemPath name(m_path);
    const int descriptor = ::open(name.name(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        if (errno == ENOENT)
            *missing = true;
        else
            failed(reason, m_path, errno);
        return std::nullopt;
    }
    QByteArray bytes;
    char block[4096];
    for (;;) {
        const ssize_t got = ::read(descriptor, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            failed(reason, m_path, errno);
            ::close(descriptor);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(block, got);
    }
    ::close(descriptor);
    return bytes;
}

bool StateFile::replace(const QByteArray &bytes, QString *reason)
{
    const QString newPath = m_path + QStringLiteral(".new");
    const SystemPath newName(newPath);
    const SystemPath name(m_path);
    // Only the holder of the lock writes here, so the name is free to reuse;
    // what a killed station left there is overwritten.
    const int descriptor = ::open(newName.name(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return failed(reason, newPath, errno);
    bool written = writeAll(descriptor, bytes) && ::fsync(descriptor) == 0;
    int error = errno;
    // A share may report a write it could not do only when the file closes.
    if (::close(descriptor) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(newName.name());
        return failed(reason, newPath, error);
    }
    if (::rename(newName.name(), name.name()) != 0) {
        error = errno;
        ::unlink(newName.name());
        return failed(reason, m_path, error);
    }
    // The rename itself is on the disk only once the folder is.
    const QByteArray folder = folderOf(QByteArray(name.name()));
    const int folderDescriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor < 0)
        return failed(reason, systemTextFromBytes(folder), errno);
    bool synced = ::fsync(folderDescriptor) == 0;
    error = errno;
    ::close(folderDescriptor);
    // Some file systems (a share among them) keep no folder of their own to
    // flush and say so; their rename is the server's.
    if (!synced && (error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP))
        synced = true;
    return synced || failed(reason, systemTextFromBytes(folder), error);
}
