#include "mutex.h"

#include <cstdlib>
#include <cstring>

#include "commonassert.h"

static pthread_once_t g_stMutexAttrInit = PTHREAD_ONCE_INIT;
static pthread_mutexattr_t *g_pMutexAttr = nullptr;

void CMutex::InitMutexAttr()
{
    // Default attributes only; allocated once and kept for the process.
    g_pMutexAttr = static_cast<pthread_mutexattr_t *>(malloc(sizeof(pthread_mutexattr_t)));
    memset(g_pMutexAttr, 0, sizeof(pthread_mutexattr_t));
    pthread_mutexattr_init(g_pMutexAttr);
}

CMutex::CMutex() : m_stHolder(0), m_u32HolderCount(0)
{
    COMMON_ASSERT(0 == pthread_once(&g_stMutexAttrInit, InitMutexAttr));
    COMMON_ASSERT(0 == pthread_mutex_init(&m_stMutex, g_pMutexAttr));
}

CMutex::~CMutex()
{
    COMMON_ASSERT(0 == m_u32HolderCount);
    pthread_mutex_destroy(&m_stMutex);
}

// The lock functions themselves work on the pthread mutex, which the
// analysis does not know.
void CMutex::RecursiveLock() NO_THREAD_SAFETY_ANALYSIS
{
    if (pthread_self() == m_stHolder.load(std::memory_order_relaxed)) {
        ++m_u32HolderCount;
        return;
    }
    pthread_mutex_lock(&m_stMutex);
    COMMON_ASSERT(0 == m_stHolder);
    m_stHolder.store(pthread_self(), std::memory_order_relaxed);
    ++m_u32HolderCount;
    COMMON_ASSERT(1 == m_u32HolderCount);
}

void CMutex::RecursiveUnlock() NO_THREAD_SAFETY_ANALYSIS
{
    COMMON_ASSERT(pthread_self() == m_stHolder);
    COMMON_ASSERT(m_u32HolderCount > 0);
    if (--m_u32HolderCount == 0) {
        // Cleared before the unlock, so the next owner finds it 0.
        m_stHolder.store(0, std::memory_order_relaxed);
        pthread_mutex_unlock(&m_stMutex);
    }
}

Bool CMutex::RecursiveTryLock() NO_THREAD_SAFETY_ANALYSIS
{
    if (pthread_self() == m_stHolder.load(std::memory_order_relaxed)) {
        ++m_u32HolderCount;
        return TRUE;
    }
    if (pthread_mutex_trylock(&m_stMutex) == 0) {
        COMMON_ASSERT(m_stHolder == 0);
        m_stHolder.store(pthread_self(), std::memory_order_relaxed);
        ++m_u32HolderCount;
        COMMON_ASSERT(m_u32HolderCount == 1);
        return TRUE;
    }
    return FALSE;
}

void CMutex::AssertHeld() const
{
    COMMON_ASSERT(pthread_self() == m_stHolder.load(std::memory_order_relaxed));
}
