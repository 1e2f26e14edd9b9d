#include "numbers/StateFile.h"

#include "base/SystemError.h"
#include "base/SystemPath.h"

#include <windows.h>

namespace {

HANDLE handleOf(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

bool failed(QString *reason, const QString &path, DWORD error)
{
    *reason = QStringLiteral("%1: %2").arg(path, systemErrorText(error));
    return false;
}

} // namespace

// LockFileEx on a handle of its own: Windows locks belong to the handle, so
// a second supply in this process waits as another process does, and a
// share carries the lock to its server.
bool StateFile::lock(QString *reason)
{
    if (m_lock != -1)
        return true;
    const QString lockPath = m_path + QStringLiteral(".lock");
    // No one may delete or rename the lock file while it is open here.
    HANDLE handle =
        ::CreateFileW(SystemPath(lockPath).wideName().c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failed(reason, lockPath, ::GetLastError());
    // Asked again and again rather than waited for, so that the wait has
    // an end.
    const ULONGLONG deadline = ::GetTickCount64() + LockPatienceMs;
    for (;;) {
        OVERLAPPED position{};
        if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &position))
            break;
        const DWORD error = ::GetLastError();
        if (error != ERROR_LOCK_VIOLATION || ::GetTickCount64() >= deadline) {
            ::CloseHandle(handle);
            if (error == ERROR_LOCK_VIOLATION) {
                *reason = heldTooLong(lockPath);
                return false;
            }
            return failed(reason, lockPath, error);
        }
        ::Sleep(5);
    }
    m_lock = reinterpret_cast<qintptr>(handle);
    return true;
}

void StateFile::unlock()
{
    if (m_lock == -1)
        return;
    OVERLAPPED position{};
    ::UnlockFileEx(handleOf(m_lock), 0, 1, 0, &position);
    ::CloseHandle(handleOf(m_lock));
    m_lock = -1;
}

std::optional<QByteArray> StateFile::read(bool *missing, QString *reason)
{
    *missing = false;
    // Shared for deleting too, so that a station reading it never keeps
    // another's rename from replacing it.
    HANDLE handle = ::CreateFileW(SystemPath(m_path).wideName().c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            *missing = true;
        else
            failed(reason, m_path, error);
        return std::nullopt;
    }
    QByteArray bytes;
    char block[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle, block, DWORD(sizeof block), &got, nullptr)) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(handle);
            if (error == ERROR_HANDLE_EOF)
                return bytes;
            failed(reason, m_path, error);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(block, qsizetype(got));
    }
    ::CloseHandle(handle);
    return bytes;
}

bool StateFile::replace(const QByteArray &bytes, QString *reason)
{
    const QString newPath = m_path + QStringLiteral(".new");
    const std::wstring newName = SystemPath(newPath).wideName();
    const std::wstring name = SystemPath(m_path).wideName();
    // Only the holder of the lock writes here, so the name is free to reuse;
    // what a killed station left there is overwritten.
    HANDLE handle =
        ::CreateFileW(newName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failed(reason, newPath, ::GetLastError());
    bool written = true;
    DWORD error = ERROR_SUCCESS;
    qsizetype done = 0;
    while (written && done < bytes.size()) {
        DWORD count = 0;
        written = ::WriteFile(handle, bytes.constData() + done, DWORD(bytes.size() - done), &count, nullptr);
        if (!written)
            error = ::GetLastError();
        else if (count == 0) {
            written = false;
            error = ERROR_WRITE_FAULT;
        }
        done += count;
    }
    if (written && !::FlushFileBuffers(handle)) {
        written = false;
        error = ::GetLastError();
    }
    if (!::CloseHandle(handle) && written) {
        written = false;
        error = ::GetLastError();
    }
    if (!written) {
        ::DeleteFileW(newName.c_str());
        return failed(reason, newPath, error);
    }
    // Write-through: the call returns once the rename is on the disk. A
    // virus scanner or an indexer that opens the state for a moment keeps it
    // from being replaced just then, so a refused rename is tried again a
    // few times before the take fails.
    for (int attempt = 1;; ++attempt) {
        if (::MoveFileExW(newName.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        error = ::GetLastError();
        if (attempt == 10 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
            break;
        ::Sleep(50);
    }
    ::DeleteFileW(newName.c_str());
    return failed(reason, m_path, error);
}
