// CThread: Stop waits for Run and joins once, the current-object key and
// the class-wide attributes.
#include "thread.h"

#include <pthread.h>

#include <atomic>

#include "testsupport.h"

namespace
{

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
    std::atomic<int> s32Runs(0);
    CThread *pSeen = nullptr;
    {
        CTestThread cThread([&] {
            pSeen = CThread::GetCurrent();
            std::this_thread::sleep_for(milliseconds(50));  // a Stop that does not wait is seen
            ++s32Runs;
        });
        cThread.Start();
        cThread.Stop();
        EXPECT_EQ(1, s32Runs.load()) << "Stop returned before Run did";
        cThread.Stop();
        EXPECT_EQ(&cThread, pSeen);
    }  // and the destructors stop it twice more
    EXPECT_EQ(1, s32Runs.load());
    std::thread([&] { pSeen = CThread::GetCurrent(); }).join();
    EXPECT_EQ(nullptr, pSeen) << "a thread that is no CThread has no object";
}

TEST(Thread, InitAttrSetsTheStackOfLaterThreadsOnce)
{
    CThread::InitAttr(STACK_SIZE);  // as the service does before its first thread
    CThread::InitAttr(0x40000);     // a second call could change it under starting threads
    size_t u64Size = 0;
    CTestThread cThread([&] {
        pthread_attr_t stAttr;
        if (pthread_getattr_np(pthread_self(), &stAttr) == 0) {
            pthread_attr_getstacksize(&stAttr, &u64Size);
            pthread_attr_destroy(&stAttr);
        }
    });
    cThread.Start();
    cThread.Stop();
    // The first call's size holds (the kernel may round it up).
    EXPECT_GE(u64Size, STACK_SIZE);
    EXPECT_LT(u64Size, STACK_SIZE + 0x10000);
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
