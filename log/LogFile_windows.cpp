#include "log/LogFile.h"

#include "base/SystemError.h"
#include "base/SystemPath.h"

#include <windows.h>

namespace {

HANDLE handleOf(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

bool failed(QString *reason, DWORD error = ::GetLastError())
{
    *reason = systemErrorText(error);
    return false;
}

// The lock is one byte far past any line the log will ever hold. Windows
// locks are mandatory: a lock on the lines themselves would make a reader of
// the log (a collector, a spreadsheet) fail while a station writes, where a
// lock beyond the end only keeps out the other stations that take it too.
constexpr DWORD LockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD LockOffsetLow = 0xFFFFFFFE;

OVERLAPPED at(qint64 offset)
{
    OVERLAPPED position{};
    position.Offset = DWORD(quint64(offset) & 0xFFFFFFFF);
    position.OffsetHigh = DWORD(quint64(offset) >> 32);
    return position;
}

} // namespace

std::unique_ptr<LogFile> LogFile::open(const QString &path, QString *reason)
{
    const std::wstring name = SystemPath(path).wideName();
    // Other stations and programs read and append to the log while it is
    // open here; it may be renamed away (a daily log) as on Linux. The handle
    // is not inherited by programs started later.
    constexpr DWORD Sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, Sharing, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    // A log the station may write but not read is still kept; only its
    // header and an unfinished last line cannot be looked at. A pipe whose
    // server only reads is opened that way too.
    bool readable = true;
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        handle =
            ::CreateFileW(name.c_str(), GENERIC_WRITE, Sharing, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        readable = false;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        failed(reason);
        return nullptr;
    }
    // A file on a disk, not a folder: the null device and the console are
    // character devices, a collector's pipe is a pipe.
    BY_HANDLE_FILE_INFORMATION information{};
    const bool regular = ::GetFileType(handle) == FILE_TYPE_DISK && ::GetFileInformationByHandle(handle, &information)
                         && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return std::unique_ptr<LogFile>(new LogFile(reinterpret_cast<qintptr>(handle), regular, readable && regular));
}

LogFile::~LogFile()
{
    ::CloseHandle(handleOf(m_handle));
}

bool LogFile::lock(QString *reason)
{
    OVERLAPPED position{};
    position.Offset = LockOffsetLow;
    position.OffsetHigh = LockOffsetHigh;
    // Without LOCKFILE_FAIL_IMMEDIATELY the call waits for the lock.
    if (::LockFileEx(handleOf(m_handle), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &position))
        return true;
    return failed(reason);
}

void LogFile::unlock()
{
    OVERLAPPED position{};
    position.Offset = LockOffsetLow;
    position.OffsetHigh = LockOffsetHigh;
    ::UnlockFileEx(handleOf(m_handle), 0, 1, 0, &position);
}

qint64 LogFile::size(QString *reason)
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handleOf(m_handle), &size)) {
        failed(reason);
        return -1;
    }
    return size.QuadPart;
}

qint64 LogFile::readAt(char *data, qint64 length, qint64 offset, QString *reason)
{
    // The log's reads are a block at most: one call reads them.
    OVERLAPPED position = at(offset);
    DWORD got = 0;
    if (!::ReadFile(handleOf(m_handle), data, DWORD(length), &got, &position)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF)
            return 0;
        failed(reason, error);
        return -1;
    }
    return got;
}

bool LogFile::append(const QByteArray &bytes, QString *reason)
{
    // A file on a disk is written at its end as it is now, under the lock
    // every station takes (no write goes to the end by itself when the file
    // may also be cut back); anything else takes the bytes where it is.
    const HANDLE handle = handleOf(m_handle);
    if (m_regular) {
        const LARGE_INTEGER none{};
        if (!::SetFilePointerEx(handle, none, nullptr, FILE_END))
            return failed(reason);
    }
    qsizetype done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.constData() + done, DWORD(bytes.size() - done), &written, nullptr))
            return failed(reason);
        if (written == 0)
            return failed(reason, ERROR_WRITE_FAULT);
        done += written;
    }
    return true;
}

bool LogFile::flush(QString *reason)
{
    // The null device, a console and a pipe have no disk to flush to (and
    // flushing a pipe would wait for its reader).
    if (!m_regular)
        return true;
    return ::FlushFileBuffers(handleOf(m_handle)) || failed(reason);
}

bool LogFile::truncate(qint64 size, QString *reason)
{
    const HANDLE handle = handleOf(m_handle);
    LARGE_INTEGER to{};
    to.QuadPart = size;
    return (::SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle)) || failed(reason);
}
