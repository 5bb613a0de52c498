#pragma once

#include <pthread.h>

// Process-private, non-recursive mutex: a thread must not lock it twice.
class VEXLock
{
public:
    VEXLock();
    virtual ~VEXLock();
    VEXLock(const VEXLock&) = delete;
    VEXLock& operator=(const VEXLock&) = delete;

    // Both always return true.
    bool Lock();
    bool Unlock();

private:
    pthread_mutex_t m_Mutex;
};

// Holds a VEXLock for one scope.
class VEXScopedLock
{
public:
    explicit VEXScopedLock(VEXLock& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~VEXScopedLock() { m_Lock.Unlock(); }
    VEXScopedLock(const VEXScopedLock&) = delete;
    VEXScopedLock& operator=(const VEXScopedLock&) = delete;

private:
    VEXLock& m_Lock;
};
