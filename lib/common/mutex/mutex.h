// Recursive mutex with its own record of the holding thread and depth.
// The underlying pthread mutex is an ordinary one; recursion and misuse
// checks are done here, and every misuse is a fatal assertion.
//
// CMutex is a capability for clang's thread-safety analysis: data declared
// GUARDED_BY a CMutex can only be touched with it held, through CMutexGuard.
// The analysis has no notion of re-entry: a function that takes a lock its
// caller already holds compiles silently, so every such path is documented
// where the lock is declared.
#ifndef COMMON_MUTEX_MUTEX_H
#define COMMON_MUTEX_MUTEX_H

#include <pthread.h>

#include <atomic>

#include "commontypes.h"
#include "threadsafety.h"

class CAPABILITY("mutex") CMutex
{
public:
    CMutex();
    ~CMutex();
    CMutex(const CMutex &) = delete;
    CMutex &operator=(const CMutex &) = delete;

    void RecursiveLock() ACQUIRE();
    void RecursiveUnlock() RELEASE();
    Bool RecursiveTryLock() TRY_ACQUIRE(TRUE);

    void Lock() ACQUIRE() { RecursiveLock(); }
    void Unlock() RELEASE() { RecursiveUnlock(); }
    // Fatal unless the calling thread holds the lock; tells the analysis
    // that it does (for code it cannot follow, such as a callback).
    void AssertHeld() const ASSERT_CAPABILITY(this);

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
// (The analysis cannot follow the null case, hence its exemption here.)
class [[nodiscard]] SCOPED_CAPABILITY CMutexGuard
{
public:
    explicit CMutexGuard(CMutex *pMutex) ACQUIRE(pMutex) NO_THREAD_SAFETY_ANALYSIS
        : m_pMutex(pMutex)
    {
        if (m_pMutex != nullptr) {
            m_pMutex->Lock();
        }
    }
    ~CMutexGuard() RELEASE() NO_THREAD_SAFETY_ANALYSIS
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
