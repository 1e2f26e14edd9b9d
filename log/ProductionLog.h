#pragma once

#include "base/PrintableBytes.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

class LogFile;

// One device attempt as the production log keeps it.
struct AttemptRecord
{
    QDateTime started;  // when the attempt began, local time
    QString port;       // the port number as given, or a device path
    QString devicePath; // what the port resolved to; empty if it never did
    QString rate;       // the rate the device answered at; empty if none
    QString firmwarePath;
    QByteArray firmwareSha256; // hex
    qint64 bytesSent = 0;      // of the image, as far as it left the port
    QString result;            // one of the result words of the command line
    QByteArray reply;          // the device's reply to the image, as received
    std::optional<quint8> version;
    bool versionInterrupted = false; // the run was stopped while the version was asked
    qint64 durationMs = 0;
    QString serial; // the device's own number, with its fate when it was not used up; empty without one
};

// The production log: a CSV file that only ever grows, one whole line per
// device attempt, shared by every port of a run and by every station that
// appends to the same file, on a local disk or a network share.
//
// A line is written whole or not at all: under an exclusive lock on the
// file, its size is noted, the line written and flushed to the disk; a short
// write or an error (a full disk, a size limit, a failing disk) cuts the file
// back to the noted size, and the caller learns why. That cut back is the
// only time the log takes bytes away, and only bytes this run has just
// written: whatever the file held before stays. A file whose last line has
// no line end (a power cut in the middle of a write, a line typed by hand) is
// closed with one before anything is added, so no record is ever glued onto
// it. A file that is not empty and does not begin with the header line is
// not a production log (another file named by mistake) and is refused. A log
// that is not a regular file (/dev/null, a pipe to a collector, a terminal)
// takes each line in one go, without lock or check.
class ProductionLog
{
public:
    static const QByteArray Header;
    // The header of a log begun before devices had numbers of their own: it
    // goes on without the serial column, since a line is never wider than
    // its header.
    static const QByteArray HeaderWithoutSerial;

    ~ProductionLog();

    // Opens `path` for appending, creating it with the header line when it is
    // new or empty, and closes an unfinished last line with a line end;
    // `fragmentBytes`, when given, receives the length of that unfinished
    // line (0 when the log ended in a line end). Returns nullptr and a
    // readable reason, naming the file, when it cannot, or when the file is
    // not a production log. `needsSerial`: the lines will carry device
    // numbers, so a log begun without the serial column is refused.
    static std::unique_ptr<ProductionLog> open(const QString &path, QString *reason, qint64 *fragmentBytes = nullptr,
                                               bool needsSerial = false);

    // Safe from any thread. Returns false when the line could not be written
    // whole, and then none of it is in the log; `reason` says why in words.
    bool append(const AttemptRecord &record, QString *reason = nullptr);

    static QByteArray csvLine(const AttemptRecord &record, bool withSerial = true);

    // The file's lines have the serial column.
    bool hasSerial() const { return m_withSerial; }

private:
    explicit ProductionLog(std::unique_ptr<LogFile> file);
    bool writeLine(const QByteArray &line, QString *reason);
    bool appendLocked(const QByteArray &line, QString *reason);
    qint64 unfinishedLineLength(QString *reason);

    std::unique_ptr<LogFile> m_file;
    std::mutex m_mutex;
    bool m_withSerial = true;
};
