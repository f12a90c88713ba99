// CThread: Stop waits for Run and joins once, the current-object key and
// the class-wide attributes.
#include "thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <thread>

#include "testsupport.h"

namespace
{

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const UInt32 STACK_SIZE = 0x180000;

// A worker whose body is given by the test. Like every owner, it stops
// itself in its own destructor, before the body goes.
class CTestThread : public CThread
{
public:
    explicit CTestThread(std::function<void()> fnBody) : m_fnBody(std::move(fnBody)) {}
    ~CTestThread() override { Stop(); }

protected:
    void Run() override { m_fnBody(); }

private:
    std::function<void()> m_fnBody;
};

TEST(Thread, StopWaitsForRunJoinsOnceAndRunKnowsItsObject)
{
    std::atomic<bool> bRelease(false);
    std::atomic<int> s32Runs(0);
    CThread *pSeen = nullptr;
    {
        CTestThread cThread([&] {
            pSeen = CThread::GetCurrent();
            WaitFor([&] { return bRelease.load(); });
            ++s32Runs;
        });
        cThread.Start();
        std::thread cReleaser([&] {
            std::this_thread::sleep_for(milliseconds(50));
            bRelease = true;
        });
        cThread.Stop();
        EXPECT_EQ(1, s32Runs.load()) << "Stop returned before Run did";
        cThread.Stop();
        cReleaser.join();
        EXPECT_EQ(&cThread, pSeen);
    }  // and the destructors stop it twice more
    EXPECT_EQ(1, s32Runs.load());
    EXPECT_EQ(nullptr, CThread::GetCurrent());
    std::thread cPlain([&] { pSeen = CThread::GetCurrent(); });
    cPlain.join();
    EXPECT_EQ(nullptr, pSeen) << "a thread that is no CThread has no object";

    // A never-started object has nothing to join: no wait, no crash.
    const auto stStart = steady_clock::now();
    {
        CTestThread cIdle([] {});
        cIdle.Stop();
    }
    CTestThread([] {});
    EXPECT_LT(ElapsedMs(stStart), 100);
}

size_t OwnStackSize()
{
    pthread_attr_t stAttr;
    size_t u64Size = 0;
    if (pthread_getattr_np(pthread_self(), &stAttr) == 0) {
        pthread_attr_getstacksize(&stAttr, &u64Size);
        pthread_attr_destroy(&stAttr);
    }
    return u64Size;
}

TEST(Thread, SecondInitAttrLeavesRunningAndLaterThreadsAlone)
{
    // Re-initialising the attribute could change it under threads being
    // started with it: only the first call counts.
    CThread::InitAttr(STACK_SIZE);  // as the service does before its first thread
    std::atomic<bool> bRelease(false);
    size_t u64First = 0;
    size_t u64Later = 0;
    CTestThread cFirst([&] {
        u64First = OwnStackSize();
        WaitFor([&] { return bRelease.load(); });
    });
    cFirst.Start();
    CThread::InitAttr(0x40000);  // small enough that no cached stack fits
    bRelease = true;
    cFirst.Stop();
    CTestThread cLater([&] { u64Later = OwnStackSize(); });
    cLater.Start();
    cLater.Stop();
    // The stack size of the first call holds (the kernel may round it up).
    EXPECT_GE(u64First, STACK_SIZE);
    EXPECT_LT(u64First, STACK_SIZE + 0x10000);
    EXPECT_EQ(u64First, u64Later);
}

TEST(ThreadDeathTest, SecondJoinAborts)
{
    EXPECT_DEATH(
        {
            CTestThread cThread([] {});
            cThread.Start();
            cThread.Join();
            cThread.Join();
        },
        "lib/common/thread/.*void CThread::Join\\(\\).*!m_bJoined");
}

}  // namespace
