#include "engine/LinkOwner.h"

#include "engine/DeviceLink.h"

namespace {
thread_local LinkOwner *t_current = nullptr;
} // namespace

LinkOwner *LinkOwner::current()
{
    return t_current;
}

bool LinkOwner::routeUnhandled(int number, const QString &description)
{
    LinkOwner *owner = current();
    if (!owner)
        return false;
    owner->takeUnhandledFailure(number, description);
    return true;
}

void LinkOwner::requestStop()
{
    m_stop = true;
    const std::lock_guard lock(m_linkMutex);
    if (m_link)
        m_link->requestStop();
}

void LinkOwner::takeUnhandledFailure(int number, const QString &description)
{
    if (!m_unhandled)
        m_unhandled.emplace(number, description);
    const std::lock_guard lock(m_linkMutex);
    if (m_link)
        m_link->requestStop();
}

void LinkOwner::attach(DeviceLink &link)
{
    t_current = this;
    const std::lock_guard lock(m_linkMutex);
    m_link = &link;
    if (m_stop)
        link.requestStop();
}

void LinkOwner::detach()
{
    {
        const std::lock_guard lock(m_linkMutex);
        m_link = nullptr;
    }
    t_current = nullptr;
}
