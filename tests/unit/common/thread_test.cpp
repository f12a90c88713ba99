// CThread: start, join exactly once, the current-object key, and the
// operations a worker applies to itself.
#include "thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "testsupport.h"

namespace
{

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const UInt32 STACK_SIZE = 0x180000;

// A worker whose body is given by the test. Like every owner, it joins in
// its own destructor, before the body goes.
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

class ThreadTest : public ::testing::Test
{
protected:
    // The service sets the attributes once before the first thread.
    void SetUp() override { CThread::InitAttr(STACK_SIZE); }
};

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

TEST_F(ThreadTest, StopWaitsForRunAndJoinsOnlyOnce)
{
    std::atomic<bool> bRelease(false);
    std::atomic<bool> bDone(false);
    std::atomic<int> s32Runs(0);
    {
        CTestThread cThread([&] {
            ++s32Runs;
            WaitFor([&] { return bRelease.load(); });
            bDone = true;
        });
        cThread.Start();
        std::thread cReleaser([&] {
            std::this_thread::sleep_for(milliseconds(50));
            bRelease = true;
        });
        cThread.Stop();
        EXPECT_TRUE(bDone.load()) << "Stop returned before Run did";
        cThread.Stop();
        cReleaser.join();
    }  // and the destructors stop it twice more
    EXPECT_EQ(1, s32Runs.load());
}

TEST_F(ThreadTest, NeverStartedObjectStopsAndDiesWithoutWaiting)
{
    const auto stStart = steady_clock::now();
    {
        CTestThread cThread([] {});
        cThread.Stop();
    }
    {
        CTestThread cThread([] {});
    }
    EXPECT_LT(ElapsedMs(stStart), 100);
}

TEST_F(ThreadTest, GetCurrentFindsOwnObjectOnlyInsideRun)
{
    CThread *pSeen = nullptr;
    CTestThread cThread([&] { pSeen = CThread::GetCurrent(); });
    cThread.Start();
    cThread.Stop();
    EXPECT_EQ(&cThread, pSeen);

    EXPECT_EQ(nullptr, CThread::GetCurrent());
    CThread *pForeign = &cThread;
    std::thread cPlain([&] { pForeign = CThread::GetCurrent(); });
    cPlain.join();
    EXPECT_EQ(nullptr, pForeign);
}

TEST_F(ThreadTest, SecondInitAttrLeavesRunningAndLaterThreadsAlone)
{
    std::atomic<bool> bRelease(false);
    std::atomic<bool> bFinished(false);
    size_t u64First = 0;
    size_t u64Later = 0;
    CTestThread cFirst([&] {
        u64First = OwnStackSize();
        WaitFor([&] { return bRelease.load(); });
        bFinished = true;
    });
    cFirst.Start();
    CThread::InitAttr(0x100000);
    bRelease = true;
    cFirst.Stop();
    EXPECT_TRUE(bFinished.load());

    CTestThread cLater([&] { u64Later = OwnStackSize(); });
    cLater.Start();
    cLater.Stop();
    // The stack size of the first call holds (the kernel may round it up).
    EXPECT_GE(u64First, STACK_SIZE);
    EXPECT_LT(u64First, STACK_SIZE + 0x10000);
    EXPECT_EQ(u64First, u64Later);
}

TEST_F(ThreadTest, SleepHandlesMoreThanOneSecond)
{
    // usleep() may refuse a full second or more; 1100 ms must still sleep.
    const auto stStart = steady_clock::now();
    CThread::Sleep(1100);
    const long s64Ms = ElapsedMs(stStart);
    EXPECT_GE(s64Ms, 1100);
    EXPECT_LT(s64Ms, 5000);
}

// The lowest CPU this process may run on (CPU 0 unless a cpuset says otherwise).
int FirstAllowedCpu()
{
    cpu_set_t stSet;
    CPU_ZERO(&stSet);
    if (sched_getaffinity(0, sizeof(stSet), &stSet) != 0) {
        return 0;
    }
    for (int i = 0; i < CPU_SETSIZE; ++i) {
        if (CPU_ISSET(i, &stSet)) {
            return i;
        }
    }
    return 0;
}

// Runs SetAffinity on a fresh worker and returns what it printed and the
// worker's kernel thread id.
std::string AffinityOutput(SInt32 s32Cpu, const char *szLabel, unsigned long *pTid)
{
    unsigned long u64Tid = 0;
    CTestThread cThread([&] {
        u64Tid = static_cast<unsigned long>(syscall(SYS_gettid));
        CThread::SetAffinity(s32Cpu, szLabel);
    });
    std::string strOut = StdoutOf([&] {
        cThread.Start();
        cThread.Stop();
    });
    *pTid = u64Tid;
    return strOut;
}

TEST_F(ThreadTest, SetAffinityReportsPinnedProcessor)
{
    const int s32Cpu = FirstAllowedCpu();
    unsigned long u64Tid = 0;
    std::string strOut = AffinityOutput(s32Cpu, "ssh", &u64Tid);
    EXPECT_EQ("[ssh] thread " + std::to_string(u64Tid) + " run on processor " +
                  std::to_string(s32Cpu) + "\n",
              strOut);

    strOut = AffinityOutput(s32Cpu, nullptr, &u64Tid);
    EXPECT_EQ("thread " + std::to_string(u64Tid) + " run on processor " + std::to_string(s32Cpu) +
                  "\n",
              strOut);
}

TEST_F(ThreadTest, SetAffinityOutsideTheSetFails)
{
    unsigned long u64Tid = 0;
    EXPECT_EQ("sched_setaffinity failed \n", AffinityOutput(-1, "ssh", &u64Tid));
    EXPECT_EQ("sched_setaffinity failed \n", AffinityOutput(1024, "ssh", &u64Tid));
}

using ThreadDeathTest = ThreadTest;

TEST_F(ThreadDeathTest, SecondJoinAborts)
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

TEST_F(ThreadDeathTest, JoinAfterStopOfNeverStartedObjectAborts)
{
    // Stop marks even a never-started object joined.
    EXPECT_DEATH(
        {
            CTestThread cThread([] {});
            cThread.Stop();
            cThread.Join();
        },
        "!m_bJoined");
}

}  // namespace
