#include "VEXLock.h"

VEXLock::VEXLock()
{
    pthread_mutex_init(&m_Mutex, nullptr);
}

VEXLock::~VEXLock()
{
    pthread_mutex_destroy(&m_Mutex);
}

bool VEXLock::Lock()
{
    pthread_mutex_lock(&m_Mutex);
    return true;
}

bool VEXLock::Unlock()
{
    pthread_mutex_unlock(&m_Mutex);
    return true;
}
