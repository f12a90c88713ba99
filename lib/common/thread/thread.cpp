#include "thread.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "commonassert.h"

static pthread_attr_t g_stThreadAttr;
static pthread_key_t g_stThreadKey;
static pthread_once_t g_stThreadKeyOnce = PTHREAD_ONCE_INIT;
static std::atomic<bool> g_bAttrCalled(false);
static std::atomic<bool> g_bAttrReady(false);

static void CreateThreadKey()
{
    pthread_key_create(&g_stThreadKey, nullptr);
}

void CThread::InitAttr(UInt32 u32StackSize)
{
    pthread_once(&g_stThreadKeyOnce, CreateThreadKey);
    // A second call must not re-initialise the attribute under threads that
    // may be using it: only the first call has an effect.
    if (g_bAttrCalled.exchange(true)) {
        return;
    }
    pthread_attr_init(&g_stThreadAttr);
    pthread_attr_setscope(&g_stThreadAttr, PTHREAD_SCOPE_SYSTEM);
    pthread_attr_setstacksize(&g_stThreadAttr, u32StackSize);
    g_bAttrReady.store(true, std::memory_order_release);
}

CThread *CThread::GetCurrent()
{
    pthread_once(&g_stThreadKeyOnce, CreateThreadKey);
    return static_cast<CThread *>(pthread_getspecific(g_stThreadKey));
}

void CThread::Yield()
{
    sched_yield();
}

void CThread::Sleep(UInt32 u32Ms)
{
    usleep(u32Ms * 1000U);
}

CThread::CThread() : CThread(SCHED_OTHER, 0) {}

CThread::CThread(SInt32 s32Policy, SInt32 s32Priority)
    : m_bStop(FALSE), m_bJoined(FALSE), m_stThread(0), m_s32Policy(s32Policy),
      m_s32Priority(s32Priority)
{
}

CThread::~CThread()
{
    Stop();
}

void CThread::Start()
{
    SInt32 s32Err = 0;
    TryStart(&s32Err);
    COMMON_ASSERT(0 == s32Err);
}

SInt32 CThread::TryStart(SInt32 *pErr)
{
    // Without InitAttr() the threads get the system's default attributes.
    pthread_once(&g_stThreadKeyOnce, CreateThreadKey);
    const pthread_attr_t *pAttr =
        g_bAttrReady.load(std::memory_order_acquire) ? &g_stThreadAttr : nullptr;
    SInt32 s32Err = pthread_create(&m_stThread, pAttr, ThreadEntry, this);
    if (pErr != nullptr) {
        *pErr = s32Err;
    }
    if (s32Err != 0) {
        m_stThread = 0;
        return -1;
    }
    return 0;
}

void CThread::Join()
{
    COMMON_ASSERT(!m_bJoined);
    m_bJoined = TRUE;
    if (m_stThread != 0) {
        pthread_join(m_stThread, nullptr);
    }
}

void CThread::Stop()
{
    m_bStop = TRUE;
    if (!m_bJoined) {
        Join();
    }
}

Bool CThread::ClearStop()
{
    m_bStop = FALSE;
    return TRUE;
}

void *CThread::ThreadEntry(void *pArg)
{
    CThread *pThread = static_cast<CThread *>(pArg);
    // pthread_create stores the same handle; setting it from here too would
    // race with that store, so the thread uses pthread_self() directly.
    struct sched_param stParam;
    memset(&stParam, 0, sizeof(stParam));
    stParam.sched_priority = pThread->m_s32Priority;
    pthread_setschedparam(pthread_self(), pThread->m_s32Policy, &stParam);
    pthread_setspecific(g_stThreadKey, pThread);
    pThread->Run();
    return nullptr;
}

void CThread::SetName(const char *szName)
{
    if (szName != nullptr) {
        prctl(PR_SET_NAME, szName, 0, 0, 0);
    }
}

void CThread::SetAffinity(SInt32 s32Cpu, const char *szLabel)
{
    long s64Cpus = sysconf(_SC_NPROCESSORS_CONF);
    cpu_set_t stSet;  // 1024 bits, 128 bytes
    CPU_ZERO(&stSet);
    if (s32Cpu >= 0 && s32Cpu < CPU_SETSIZE) {
        CPU_SET(s32Cpu, &stSet);
    }
    if (sched_setaffinity(0, sizeof(stSet), &stSet) != 0) {
        puts("sched_setaffinity failed ");
        fflush(stdout);
        return;
    }
    CPU_ZERO(&stSet);
    if (sched_getaffinity(0, sizeof(stSet), &stSet) != 0) {
        puts("sched_getaffinity failed");
        fflush(stdout);
        return;
    }
    unsigned long u64Tid = static_cast<unsigned long>(syscall(SYS_gettid));
    for (int i = 0; i < s64Cpus && i < CPU_SETSIZE; ++i) {
        if (CPU_ISSET(i, &stSet)) {
            if (szLabel != nullptr) {
                printf("[%s] thread %lu run on processor %d\n", szLabel, u64Tid, i);
            } else {
                printf("thread %lu run on processor %d\n", u64Tid, i);
            }
        }
    }
    fflush(stdout);
}
