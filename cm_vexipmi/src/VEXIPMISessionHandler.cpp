#include "VEXIPMISessionHandler.h"

#include <pthread.h>

#include "VEXIPMILog.h"

static const char kSrc[] = "cm_vexipmi/src/VEXIPMISessionHandler";

std::atomic<VEXIPMISessionHandler*> VEXIPMISessionHandler::mIPMISessionHandlerInstance{nullptr};

VEXIPMISessionHandler::VEXIPMISessionHandler() : m_DefaultConfiguration{60, 5, 5, 50, 0, 0} {}

VEXIPMISessionHandler::~VEXIPMISessionHandler()
{
    Cleanup();
}

VEXLock& VEXIPMISessionHandler::GetLockObject()
{
    static VEXLock lock;
    return lock;
}

VEXIPMISessionHandler* VEXIPMISessionHandler::GetInstance()
{
    VEXIPMISessionHandler* instance = mIPMISessionHandlerInstance.load(std::memory_order_acquire);
    if (instance != nullptr) {
        return instance;
    }
    VEXScopedLock guard(GetLockObject());
    instance = mIPMISessionHandlerInstance.load(std::memory_order_relaxed);
    if (instance == nullptr) {
        instance = new VEXIPMISessionHandler();
        mIPMISessionHandlerInstance.store(instance, std::memory_order_release);
    }
    return instance;
}

void VEXIPMISessionHandler::DestroyInstance()
{
    VEXScopedLock guard(GetLockObject());
    delete mIPMISessionHandlerInstance.exchange(nullptr);
}

uint64_t VEXIPMISessionHandler::GetSessionID()
{
    return static_cast<uint64_t>(pthread_self());
}

VEXIPMISession* VEXIPMISessionHandler::GetSession()
{
    VEXIPMI_LOG(eVEXLogInfo, "VEXIPMISessionHandler::GetSession() Entering");
    const uint64_t id = GetSessionID();
    bool created = false;
    VEXIPMISession* session = nullptr;
    {
        VEXScopedLock guard(GetLockObject());
        auto found = m_Sessions.find(id);
        if (found == m_Sessions.end()) {
            found = m_Sessions.emplace(id, std::make_unique<VEXIPMISession>()).first;
            created = true;
        }
        session = found->second.get();
    }
    // Logged outside the lock: the logger takes its own lock and the map lock
    // must stay short.
    if (created) {
        VEXIPMI_LOG(eVEXLogInfo, "Creating session object for session ID = %lu",
                    static_cast<unsigned long>(id));
    }
    return session;
}

bool VEXIPMISessionHandler::ReleaseSession()
{
    std::unique_ptr<VEXIPMISession> session;
    {
        VEXScopedLock guard(GetLockObject());
        auto found = m_Sessions.find(GetSessionID());
        if (found != m_Sessions.end()) {
            session = std::move(found->second);
            m_Sessions.erase(found);
        }
    }
    if (session) {
        session->Release();
    }
    return true;
}

void VEXIPMISessionHandler::Cleanup()
{
    m_Sessions.clear();
}

void VEXIPMISessionHandler::SetApplicationDefaultConfiguration(
    const _VEXIPMIConfiguration* configuration)
{
    if (configuration != nullptr) {
        m_DefaultConfiguration = *configuration;
    }
}

const _VEXIPMIConfiguration* VEXIPMISessionHandler::GetApplicationDefaultConfiguration() const
{
    return &m_DefaultConfiguration;
}

size_t VEXIPMISessionHandler::SessionCount()
{
    VEXScopedLock guard(GetLockObject());
    return m_Sessions.size();
}
