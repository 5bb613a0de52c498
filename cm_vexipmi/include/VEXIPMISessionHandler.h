#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

#include "VEXIPMICommandData.h"
#include "VEXIPMISession.h"
#include "VEXLock.h"

// Process singleton keeping one session per thread.
class VEXIPMISessionHandler
{
public:
    static VEXIPMISessionHandler* GetInstance();
    static void DestroyInstance();
    // Guards instance creation and destruction and the session map.
    static VEXLock& GetLockObject();

    // The calling thread's identifier.
    static uint64_t GetSessionID();
    // The calling thread's session, created on first use.
    VEXIPMISession* GetSession();
    // Releases and destroys the calling thread's session, if any; true.
    bool ReleaseSession();
    // Destroys every session without releasing it.
    void Cleanup();
    void SetApplicationDefaultConfiguration(const _VEXIPMIConfiguration* configuration);
    const _VEXIPMIConfiguration* GetApplicationDefaultConfiguration() const;

    size_t SessionCount();

private:
    VEXIPMISessionHandler();
    ~VEXIPMISessionHandler();
    VEXIPMISessionHandler(const VEXIPMISessionHandler&) = delete;
    VEXIPMISessionHandler& operator=(const VEXIPMISessionHandler&) = delete;

    std::map<uint64_t, std::unique_ptr<VEXIPMISession>> m_Sessions;
    _VEXIPMIConfiguration m_DefaultConfiguration;

    static std::atomic<VEXIPMISessionHandler*> mIPMISessionHandlerInstance;
};
