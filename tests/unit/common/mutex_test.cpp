// CMutex: recursion and mutual exclusion under contention, misuse as fatal
// assertions.
#include "mutex.h"

#include <atomic>
#include <vector>

#include "testsupport.h"

// These tests take locks again and release them from other threads on
// purpose, which the thread-safety analysis rightly rejects.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace
{

TEST(Mutex, ThreadsCreatingAndContendingStayExact)
{
    // Mutexes made from several threads at once share one attribute. A
    // shared one, locked twice per turn, keeps a counter exact: only the
    // last unlock lets another thread in, and no holder finds the previous
    // one still recorded.
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
TEST(MutexDeathTest, UnlockByAnotherThreadAndDestroyingAHeldLock)
{
    EXPECT_DEATH(
        {
            CMutex cMutex;
            cMutex.RecursiveLock();
            std::thread([&] { cMutex.RecursiveUnlock(); }).join();
        },
        "lib/common/mutex/.*void CMutex::RecursiveUnlock\\(\\).*pthread_self\\(\\) == m_stHolder");
    EXPECT_DEATH(
        {
            CMutex *pMutex = new CMutex;
            pMutex->RecursiveLock();
            delete pMutex;
        },
        "lib/common/mutex/.*CMutex::~CMutex\\(\\).*0 == m_u32HolderCount");
    EXPECT_DEATH(CMutex().AssertHeld(), "void CMutex::AssertHeld\\(\\) const.*pthread_self");
}

}  // namespace
