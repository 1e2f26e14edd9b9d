#pragma once

#include "base/Failure.h"

#include <atomic>
#include <mutex>
#include <optional>

class DeviceLink;

// Whoever drives a DeviceLink on a thread of its own (a port of the flash
// command, a slot of the station). It is the way in from other threads: a
// stop asked from anywhere reaches the link on its thread, and a failure that
// reached the link's event boundary instead of the running exchange (a read
// from a port that has just died) ends this owner's work and no other's.
class LinkOwner
{
public:
    LinkOwner() = default;
    virtual ~LinkOwner() = default;
    LinkOwner(const LinkOwner &) = delete;
    LinkOwner &operator=(const LinkOwner &) = delete;

    // Safe from any thread: the running exchange ends at once, its port
    // closed, and so does every later one.
    void requestStop();
    bool stopRequested() const { return m_stop; }

    // On the link's thread, from the event boundary.
    void takeUnhandledFailure(int number, const QString &description);
    // The failure taken that way, if any.
    const std::optional<Failure> &unhandledFailure() const { return m_unhandled; }
    void clearUnhandledFailure() { m_unhandled.reset(); }

    // The owner driving a link on the calling thread, if any.
    static LinkOwner *current();
    // Hands a failure that reached a link's event boundary to the owner on
    // the calling thread; false when there is none (the failure is not a
    // port's, and the program's own last resort takes it).
    static bool routeUnhandled(int number, const QString &description);

protected:
    // Makes `link` the one this owner drives, on the calling thread; a stop
    // asked before reaches it at once. detach() before the link goes.
    void attach(DeviceLink &link);
    void detach();

private:
    std::atomic<bool> m_stop = false;
    std::mutex m_linkMutex;
    DeviceLink *m_link = nullptr;
    std::optional<Failure> m_unhandled;
};
