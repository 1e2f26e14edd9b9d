#pragma once

#include "base/PrintableBytes.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

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
};

// The production log: a CSV file that only ever grows, one line per device
// attempt, shared by every port of a run (and safe to share between
// processes). Each line is built whole and handed to the system in one write
// on a descriptor opened for appending, then flushed to the disk, so a crash
// or a pulled plug can cut the log after a line but never inside one, and
// never loses a line that was written before.
class ProductionLog
{
public:
    static const QByteArray Header;

    ~ProductionLog();

    // Opens `path` for appending, creating it with the header line when it is
    // new or empty. Returns nullptr and a readable reason when it cannot.
    static std::unique_ptr<ProductionLog> open(const QString &path, QString *reason);

    // Safe from any thread. Returns false when the line could not be written
    // whole (a full disk, say).
    bool append(const AttemptRecord &record);

    static QByteArray csvLine(const AttemptRecord &record);

private:
    explicit ProductionLog(int descriptor)
        : m_descriptor(descriptor)
    {}
    bool writeWhole(const QByteArray &line);

    int m_descriptor;
    std::mutex m_mutex;
};
