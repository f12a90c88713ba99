// Base class of every long-running worker: a thin layer over POSIX threads.
// A derived class implements Run(); the owner calls Start() and, before it
// deletes the object, Stop() (or Join()), which waits for Run() to return.
#ifndef COMMON_THREAD_THREAD_H
#define COMMON_THREAD_THREAD_H

#include <pthread.h>

#include <atomic>

#include "commontypes.h"

class CThread
{
public:
    CThread();
    CThread(SInt32 s32Policy, SInt32 s32Priority);
    virtual ~CThread();
    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;

    // Class-wide set-up: stack size and scope of every thread started later,
    // and the key behind GetCurrent(). Only the first call has an effect.
    static void InitAttr(UInt32 u32StackSize);
    static CThread *GetCurrent();
    static void Yield();
    static void Sleep(UInt32 u32Ms);

    // Starts the thread; a failed pthread_create is fatal.
    void Start();
    // Like Start(), but reports a failed pthread_create as -1 (errno-style
    // code in *pErr when given) so that the caller can recover.
    SInt32 TryStart(SInt32 *pErr = nullptr);
    void Join();
    void Stop();
    Bool ClearStop();

    // Act on the calling thread; meant for use inside Run().
    static void SetName(const char *szName);
    static void SetAffinity(SInt32 s32Cpu, const char *szLabel);

protected:
    virtual void Run() = 0;

private:
    static void *ThreadEntry(void *pArg);

    std::atomic<Bool> m_bStop;
    Bool m_bJoined;
    pthread_t m_stThread;
    SInt32 m_s32Policy;
    SInt32 m_s32Priority;
};

#endif
