#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

// The production log's file as the system holds it: the few calls the log
// needs to add whole lines to a file that other stations append to as well.
// Every call that can fail says why in the system's own words.
class LogFile
{
public:
    // Opens `path` for appending, creating it when it is missing; also for
    // reading when it is a file the station may read (a cut last line is
    // found that way). nullptr and the system's reason when it cannot.
    static std::unique_ptr<LogFile> open(const QString &path, QString *reason);

    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // A file on a disk: it is locked, flushed, measured and cut back. Anything
    // else (a pipe to a collector, a terminal, the null device) only takes
    // bytes.
    bool isRegular() const { return m_regular; }
    // Opened for reading too: its header and its last byte can be looked at.
    bool isReadable() const { return m_readable; }

    // Waits for the lock that every station appending to this file takes
    // for one line; it keeps nobody from reading the file.
    bool lock(QString *reason);
    void unlock();

    // The file's size in bytes, or -1.
    qint64 size(QString *reason);
    // Reads up to `length` bytes at `offset`: how many it read, or -1.
    qint64 readAt(char *data, qint64 length, qint64 offset, QString *reason);
    // Writes all of `bytes` at the end of the file.
    bool append(const QByteArray &bytes, QString *reason);
    // Waits until what was written is on the disk. A file with no disk
    // behind it has nothing to flush, and that is no failure.
    bool flush(QString *reason);
    // Cuts the file to `size` bytes.
    bool truncate(qint64 size, QString *reason);

private:
    LogFile(qintptr handle, bool regular, bool readable)
        : m_handle(handle)
        , m_regular(regular)
        , m_readable(readable)
    {}

    qintptr m_handle; // a file descriptor, or a Windows HANDLE
    bool m_regular;
    bool m_readable;
};
