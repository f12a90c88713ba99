// CMutex: recursion, ownership between threads, misuse as fatal assertions.
#include "mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace
{

using std::chrono::milliseconds;

// Whether another thread could take the lock right now.
bool FreeForOthers(CMutex &cMutex)
{
    Bool bGot = FALSE;
    std::thread cOther([&] {
        bGot = cMutex.RecursiveTryLock();
        if (bGot) {
            cMutex.RecursiveUnlock();
        }
    });
    cOther.join();
    return bGot == TRUE;
}

TEST(MutexRecursion, ThirdUnlockReleasesToWaitingThread)
{
    CMutex cMutex;
    cMutex.RecursiveLock();
    cMutex.RecursiveLock();
    cMutex.RecursiveLock();

    std::atomic<bool> bEntered(false);
    std::thread cWaiter([&] {
        cMutex.RecursiveLock();
        bEntered = true;
        cMutex.RecursiveUnlock();
    });

    cMutex.RecursiveUnlock();
    cMutex.RecursiveUnlock();
    // Absence of progress can only be observed over some time.
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(bEntered.load()) << "waiter got the lock before the last unlock";

    cMutex.RecursiveUnlock();
    EXPECT_TRUE(WaitFor([&] { return bEntered.load(); }));
    cWaiter.join();
    EXPECT_TRUE(FreeForOthers(cMutex));
}

TEST(MutexRecursion, TryLockFailsForOthersAndNestsForHolder)
{
    CMutex cMutex;
    cMutex.RecursiveLock();
    EXPECT_FALSE(FreeForOthers(cMutex));

    // The holder's try-lock adds a level: two unlocks are needed again.
    EXPECT_TRUE(cMutex.RecursiveTryLock());
    cMutex.RecursiveUnlock();
    EXPECT_FALSE(FreeForOthers(cMutex));
    cMutex.RecursiveUnlock();
    EXPECT_TRUE(FreeForOthers(cMutex));

    // A free lock is taken by try-lock and blocks others.
    EXPECT_TRUE(cMutex.RecursiveTryLock());
    EXPECT_FALSE(FreeForOthers(cMutex));
    cMutex.RecursiveUnlock();
}

TEST(MutexRecursion, GuardLocksForItsScopeAndNests)
{
    CMutex cMutex;
    {
        CMutexGuard cOuter(&cMutex);
        {
            CMutexGuard cInner(&cMutex);
            EXPECT_FALSE(FreeForOthers(cMutex));
        }
        EXPECT_FALSE(FreeForOthers(cMutex));
    }
    EXPECT_TRUE(FreeForOthers(cMutex));

    // A guard without a mutex neither locks nor unlocks anything.
    {
        CMutexGuard cNone(nullptr);
    }
    EXPECT_TRUE(FreeForOthers(cMutex));
}

TEST(MutexRecursion, ManyMutexesFromSeveralThreadsAtOnce)
{
    const int s32Threads = 8;
    const int s32PerThread = 200;
    std::atomic<int> s32Ready(0);
    std::atomic<int> s32Locked(0);
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < s32Threads; ++i) {
        vecThreads.emplace_back([&] {
            ++s32Ready;
            WaitFor([&] { return s32Ready.load() == s32Threads; });
            std::vector<CMutex *> vecMutex;
            for (int j = 0; j < s32PerThread; ++j) {
                vecMutex.push_back(new CMutex);
            }
            for (CMutex *pMutex : vecMutex) {
                if (pMutex->RecursiveTryLock()) {
                    ++s32Locked;
                    pMutex->RecursiveUnlock();
                }
                delete pMutex;
            }
        });
    }
    for (std::thread &cThread : vecThreads) {
        cThread.join();
    }
    EXPECT_EQ(s32Threads * s32PerThread, s32Locked.load());
}

TEST(MutexRecursion, ContendedCounterStaysExact)
{
    CMutex cMutex;
    long s64Counter = 0;
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < 4; ++i) {
        vecThreads.emplace_back([&] {
            for (int j = 0; j < 5000; ++j) {
                CMutexGuard cGuard(&cMutex);
                CMutexGuard cAgain(&cMutex);
                ++s64Counter;
            }
        });
    }
    for (std::thread &cThread : vecThreads) {
        cThread.join();
    }
    EXPECT_EQ(20000, s64Counter);
}

// Misuse aborts with the expression, the module path and the function.
TEST(MutexDeathTest, UnlockOfFreeLock)
{
    EXPECT_DEATH(
        {
            CMutex cMutex;
            cMutex.RecursiveUnlock();
        },
        "lib/common/mutex/.*void CMutex::RecursiveUnlock\\(\\).*pthread_self\\(\\) == m_stHolder");
}

TEST(MutexDeathTest, UnlockByThreadThatDoesNotHoldIt)
{
    EXPECT_DEATH(
        {
            CMutex cMutex;
            cMutex.RecursiveLock();
            std::thread cOther([&] { cMutex.RecursiveUnlock(); });
            cOther.join();
        },
        "pthread_self\\(\\) == m_stHolder");
}

TEST(MutexDeathTest, DestroyingHeldLock)
{
    EXPECT_DEATH(
        {
            CMutex *pMutex = new CMutex;
            pMutex->RecursiveLock();
            delete pMutex;
        },
        "lib/common/mutex/.*CMutex::~CMutex\\(\\).*0 == m_u32HolderCount");
}

}  // namespace
