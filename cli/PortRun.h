#pragma once

#include "cli/PortResult.h"
#include "engine/DeviceLink.h"
#include "engine/LinkOwner.h"

#include <QObject>

class ProductionLog;

// One port's whole run: the probe, the download, the verdict and, if asked,
// the version query, on a DeviceLink of its own. The object is moved to the
// port's thread and run() is called there; the link is created on that
// thread and handles its events while it waits, so ports never wait for each
// other. What happens is reported through signals, queued to whoever listens.
class PortRun : public QObject, public LinkOwner
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

signals:
    void rateTried(int index, const QString &rate);
    void stepReached(int index, DeviceLink::Step step, const QString &devicePath, const QString &rate);
    void imageProgress(int index, qint64 sent, qint64 total);
    void finished(int index, const PortResult &result);

private:
    void exchange(DeviceLink &link, PortResult &result);

    Job m_job;
};
