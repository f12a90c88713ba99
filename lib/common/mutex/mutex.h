// Recursive mutex with its own record of the holding thread and depth.
// The underlying pthread mutex is an ordinary one; recursion and misuse
// checks are done here, and every misuse is a fatal assertion.
#ifndef COMMON_MUTEX_MUTEX_H
#define COMMON_MUTEX_MUTEX_H

#include <pthread.h>

#include <atomic>

#include "commontypes.h"

class CMutex
{
public:
    CMutex();
    ~CMutex();
    CMutex(const CMutex &) = delete;
    CMutex &operator=(const CMutex &) = delete;

    void RecursiveLock();
    void RecursiveUnlock();
    Bool RecursiveTryLock();

    void Lock() { RecursiveLock(); }
    void Unlock() { RecursiveUnlock(); }

private:
    static void InitMutexAttr();

    pthread_mutex_t m_stMutex;
    // Read without m_stMutex by threads that test whether they already hold
    // the lock; atomic so that read is well defined (relaxed is enough: a
    // thread only ever finds its own id there if it stored it itself).
    std::atomic<pthread_t> m_stHolder;
    UInt32 m_u32HolderCount;
};

// Locks a CMutex for the extent of a block; a null pointer does nothing.
class [[nodiscard]] CMutexGuard
{
public:
    explicit CMutexGuard(CMutex *pMutex) : m_pMutex(pMutex)
    {
        if (m_pMutex != nullptr) {
            m_pMutex->Lock();
        }
    }
    ~CMutexGuard()
    {
        if (m_pMutex != nullptr) {
            m_pMutex->Unlock();
        }
        m_pMutex = nullptr;
    }
    CMutexGuard(const CMutexGuard &) = delete;
    CMutexGuard &operator=(const CMutexGuard &) = delete;

private:
    CMutex *m_pMutex;
};

// A guard without a variable name would unlock on the same line.
#define CMutexGuard(x) static_assert(false, "CMutexGuard needs a variable name")

#endif
