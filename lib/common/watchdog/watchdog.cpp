#include "watchdog.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commonassert.h"

namespace
{

// Flushes both standard streams so that a fork does not hand buffered
// output to the child (which would print it a second time) and an exit
// loses nothing.
void FlushOutput()
{
    fflush(stdout);
    fflush(stderr);
}

[[noreturn]] void ExitSupervisor(int s32Code)
{
    FlushOutput();
    exit(s32Code);
}

Bool IsCrashSignal(int s32Signal)
{
    return (s32Signal == SIGABRT || s32Signal == SIGBUS || s32Signal == SIGFPE ||
            s32Signal == SIGSEGV)
               ? TRUE
               : FALSE;
}

}  // namespace

SInt32 CreateWatchdog(const char *szName)
{
    (void)szName;
    for (;;) {
        FlushOutput();
        pid_t processID = fork();
        COMMON_ASSERT(processID >= 0);
        if (processID == 0) {
            return 0;
        }

        // The supervisor: wait until the worker ends, then restart it or
        // leave, depending on how it ended.
        int s32Status = 0;
        for (;;) {
            pid_t s32PID = wait(&s32Status);
            int s32WaitErrno = errno;
            // Bits 8..15 of the status word as a signed 8-bit number, so that
            // exit status 255 reads -1.
            SInt32 s32ExitCode = static_cast<signed char>((s32Status >> 8) & 0xff);
            printf("Child Process %d wait exited with s32PID=%d s32Status=%d exit s32Status=%d\n",
                   static_cast<int>(processID), static_cast<int>(s32PID), s32Status, s32ExitCode);

            if (s32PID > 0 && s32PID != processID) {
                // A child the caller had started before turning into the
                // supervisor; its end says nothing about the worker.
                s32Status = 0;
                continue;
            }
            if (WIFEXITED(s32Status) && s32PID > 0 && s32Status != 0) {
                printf("child exited with s32Status=%d\n", s32ExitCode);
                if (s32ExitCode == -1) {
                    fflush(stdout);
                    fprintf(stderr, "child exited with -1 fatal error so parent is exiting too.\n");
                    ExitSupervisor(1);
                }
                break;  // restart
            }
            if (WIFSIGNALED(s32Status) && IsCrashSignal(WTERMSIG(s32Status))) {
                printf("child was signalled, %d.\n", WTERMSIG(s32Status));
                break;  // restart
            }
            if (s32PID == -1 && s32Status == 0) {
                if (s32WaitErrno == EINTR) {
                    puts("handled signal continue waiting");
                    continue;
                }
                // No child to wait for (for example SIGCHLD ignored, so the
                // worker was reaped by the system): its end is unknown and
                // waiting again would never block.
                fprintf(stderr, "wait failed, errno %d:%s\n", s32WaitErrno, strerror(s32WaitErrno));
                ExitSupervisor(1);
            }
            if (s32PID > 0 && s32Status == 0) {
                puts("child exited cleanly so parent is exiting");
                ExitSupervisor(0);
            }
            // Killed by any other signal: the worker was stopped on purpose.
            ExitSupervisor(1);
        }
        FlushOutput();
        sleep(1);
    }
}
