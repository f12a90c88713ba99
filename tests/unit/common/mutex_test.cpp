// CMutex: recursion and ownership between threads, mutual exclusion under
// contention, misuse as fatal assertions.
#include "mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace
{

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

TEST(Mutex, EveryLevelMustBeUnlockedBeforeAnotherThreadGetsIt)
{
    CMutex cMutex;
    cMutex.RecursiveLock();
    EXPECT_TRUE(cMutex.RecursiveTryLock()) << "the holder's try-lock adds a level";
    {
        CMutexGuard cGuard(&cMutex);
        CMutexGuard cNone(nullptr);  // neither locks nor unlocks
    }
    EXPECT_FALSE(FreeForOthers(cMutex));

    std::atomic<bool> bEntered(false);
    std::thread cWaiter([&] {
        cMutex.RecursiveLock();
        bEntered = true;
        cMutex.RecursiveUnlock();
    });
    cMutex.RecursiveUnlock();
    // Absence of progress can only be observed over some time.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(bEntered.load()) << "waiter got the lock before the last unlock";
    cMutex.RecursiveUnlock();
    EXPECT_TRUE(WaitFor([&] { return bEntered.load(); }));
    cWaiter.join();
    EXPECT_TRUE(FreeForOthers(cMutex));
}

TEST(Mutex, ThreadsCreatingAndContendingStayExact)
{
    // Mutexes made from several threads at once share one attribute set up
    // once; a shared one, locked twice per turn, keeps a counter exact.
    CMutex cShared;
    long s64Counter = 0;
    std::atomic<int> s32Ready(0);
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < 4; ++i) {
        vecThreads.emplace_back([&] {
            ++s32Ready;
            WaitFor([&] { return s32Ready.load() == 4; });
            for (int j = 0; j < 2000; ++j) {
                CMutex cOwn;
                CMutexGuard cOwnGuard(&cOwn);
                CMutexGuard cGuard(&cShared);
                CMutexGuard cAgain(&cShared);
                ++s64Counter;
            }
        });
    }
    for (std::thread &cThread : vecThreads) {
        cThread.join();
    }
    EXPECT_EQ(8000, s64Counter);
}

// Misuse aborts with the module path, the function and the expression.
TEST(MutexDeathTest, UnlockByThreadThatDoesNotHoldIt)
{
    EXPECT_DEATH(
        {
            CMutex cMutex;
            cMutex.RecursiveLock();
            std::thread cOther([&] { cMutex.RecursiveUnlock(); });
            cOther.join();
        },
        "lib/common/mutex/.*void CMutex::RecursiveUnlock\\(\\).*pthread_self\\(\\) == m_stHolder");
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
