#pragma once

#include "cli/PortResult.h"
#include "engine/DeviceLink.h"

#include <QObject>

#include <atomic>
#include <mutex>

class ProductionLog;

// One port's whole run: the probe, the download, the verdict and, if asked,
// the version query, on a DeviceLink of its own. The object is moved to the
// port's thread and run() is called there; the link is created on that
// thread and handles its events while it waits, so ports never wait for each
// other. What happens is reported through signals, queued to whoever listens.
class PortRun : public QObject
{
    Q_OBJECT

public:
    struct Job
    {
        int index = 0;
        PortSpec port;
        QByteArray image;
        bool check = false;
        QString firmwarePath;
        QByteArray firmwareSha256;
        ProductionLog *log = nullptr; // shared by all runs; may be null
    };

    explicit PortRun(Job job);

    // Runs on the port's thread; emits finished() once at the end.
    void run();

    // Safe from any thread: the run ends at once, its port closed.
    void requestStop();

    // A failure that reached the link's event boundary instead of the running
    // exchange (a read from a port that just failed): it ends this run, and
    // no other.
    void takeUnhandledFailure(int number, const QString &description);

    // The run on the calling thread, if any.
    static PortRun *current();

signals:
    void rateTried(int index, const QString &rate);
    void stepReached(int index, DeviceLink::Step step, const QString &devicePath, const QString &rate);
    void imageProgress(int index, qint64 sent, qint64 total);
    void finished(int index, const PortResult &result);

private:
    void exchange(DeviceLink &link, PortResult &result);
    void classify(const Failure &failure, PortResult &result);

    Job m_job;
    std::atomic<bool> m_stop = false;
    std::mutex m_linkMutex;
    DeviceLink *m_link = nullptr; // while run() has one
    std::optional<Failure> m_unhandled;
};
