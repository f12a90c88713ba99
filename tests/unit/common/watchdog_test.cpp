// CreateWatchdog with real processes: every test forks a child that turns
// into the supervisor; its workers play one scenario (a counter file tells a
// worker which run it is), and the test checks the supervisor's output and
// exit status. Each supervisor gets its own process group, so nothing
// outlives a test.
#include "watchdog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace
{

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const int TIMEOUT_MS = 15000;

struct TSupervision
{
    bool bEnded = false;  // the supervisor ended within the time limit
    int s32ExitCode = -1;
    int s32Signal = 0;
    bool bLeftovers = false;  // processes of its group were still alive
    std::string strOut;
    std::string strErr;
    std::vector<long> vecWorkers;  // worker ids in start order
    long s64Ms = 0;
};

// State the scenario child sets up before it becomes the supervisor; plain
// globals because they live in the forked processes only.
std::string g_strRunsFile;
int g_s32NotifyRead = -1;
int g_s32NotifyWrite = -1;
pid_t g_s32Foreign = -1;
int g_s32GateWrite = -1;

// Records this worker in the counter file and returns its run number (1 for
// the first worker). Workers run one after another.
int RecordRun()
{
    char szLine[32];
    int s32Len = snprintf(szLine, sizeof(szLine), "%ld\n", static_cast<long>(getpid()));
    int s32Fd = open(g_strRunsFile.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (s32Fd < 0 || write(s32Fd, szLine, static_cast<size_t>(s32Len)) != s32Len) {
        _exit(120);
    }
    close(s32Fd);
    std::ifstream cIn(g_strRunsFile);
    std::string strLine;
    int s32Runs = 0;
    while (std::getline(cIn, strLine)) {
        ++s32Runs;
    }
    return s32Runs;
}

[[noreturn]] void DieBy(int s32Signal)
{
    if (s32Signal == SIGABRT) {
        abort();
    }
    // Sanitizer run-times catch some of these; the worker wants the plain death.
    signal(s32Signal, SIG_DFL);
    raise(s32Signal);
    _exit(121);
}

class WatchdogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string strName = std::string(pInfo->test_suite_name()) + "." + pInfo->name();
        for (char &c : strName) {
            if (c == '/') {
                c = '_';
            }
        }
        m_strDir =
            std::string(SSHAPI_TEST_TMP) + "/watchdog/" + std::to_string(getpid()) + "-" + strName;
        MakeDirs(m_strDir);
        g_strRunsFile = m_strDir + "/runs";
        unlink(g_strRunsFile.c_str());
    }

    // Forks the supervisor, lets fnPrepare run in it before CreateWatchdog
    // and fnWorker(run number) in every worker; collects everything.
    TSupervision Supervise(const std::function<void(int)> &fnWorker,
                           const std::function<void()> &fnPrepare = nullptr)
    {
        TSupervision tRes;
        int aOut[2];
        int aErr[2];
        if (pipe2(aOut, O_CLOEXEC) != 0 || pipe2(aErr, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return tRes;
        }
        fflush(stdout);
        fflush(stderr);
        const auto stStart = steady_clock::now();
        pid_t s32Sup = fork();
        if (s32Sup < 0) {
            ADD_FAILURE() << "fork: " << strerror(errno);
            return tRes;
        }
        if (s32Sup == 0) {
            setpgid(0, 0);
            dup2(aOut[1], STDOUT_FILENO);
            dup2(aErr[1], STDERR_FILENO);
            struct rlimit stNoCore = {0, 0};
            setrlimit(RLIMIT_CORE, &stNoCore);
            if (fnPrepare) {
                fnPrepare();
            }
            CreateWatchdog("watchdog_test");
            // A worker that prints shows whether the supervisor handed it
            // unflushed output of its own.
            const int s32Run = RecordRun();
            printf("worker %d\n", s32Run);
            fflush(stdout);
            fnWorker(s32Run);
            _exit(0);
        }
        setpgid(s32Sup, s32Sup);
        close(aOut[1]);
        close(aErr[1]);

        const auto stDeadline = stStart + milliseconds(TIMEOUT_MS);
        struct pollfd astFd[2] = {{aOut[0], POLLIN, 0}, {aErr[0], POLLIN, 0}};
        std::string *apText[2] = {&tRes.strOut, &tRes.strErr};
        int s32Open = 2;
        while (s32Open > 0 && steady_clock::now() < stDeadline) {
            if (poll(astFd, 2, 100) <= 0) {
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                if (astFd[i].fd < 0 || astFd[i].revents == 0) {
                    continue;
                }
                char acBuf[4096];
                ssize_t sRead = read(astFd[i].fd, acBuf, sizeof(acBuf));
                if (sRead > 0) {
                    apText[i]->append(acBuf, static_cast<size_t>(sRead));
                } else {
                    close(astFd[i].fd);
                    astFd[i].fd = -1;
                    --s32Open;
                }
            }
        }
        int s32Status = 0;
        const auto stLeft =
            std::chrono::duration_cast<milliseconds>(stDeadline - steady_clock::now());
        tRes.bEnded = ReapWithin(s32Sup, stLeft, s32Status);
        if (!tRes.bEnded) {
            kill(-s32Sup, SIGKILL);
            waitpid(s32Sup, &s32Status, 0);
        }
        tRes.s64Ms = ElapsedMs(stStart);
        if (kill(-s32Sup, 0) == 0) {
            tRes.bLeftovers = true;
            kill(-s32Sup, SIGKILL);
        }
        for (int i = 0; i < 2; ++i) {
            if (astFd[i].fd >= 0) {
                close(astFd[i].fd);
            }
        }
        if (WIFEXITED(s32Status)) {
            tRes.s32ExitCode = WEXITSTATUS(s32Status);
        } else if (WIFSIGNALED(s32Status)) {
            tRes.s32Signal = WTERMSIG(s32Status);
        }
        std::ifstream cIn(g_strRunsFile);
        long s64Pid = 0;
        while (cIn >> s64Pid) {
            tRes.vecWorkers.push_back(s64Pid);
        }
        return tRes;
    }

    std::string m_strDir;
};

std::string WaitLine(long s64Child, long s64Waited, int s32Status, int s32Code)
{
    std::ostringstream cOut;
    cOut << "Child Process " << s64Child << " wait exited with s32PID=" << s64Waited
         << " s32Status=" << s32Status << " exit s32Status=" << s32Code << "\n";
    return cOut.str();
}

// What worker number s32Run prints when it starts.
std::string WorkerLine(int s32Run)
{
    return "worker " + std::to_string(s32Run) + "\n";
}

std::string CleanEnd(long s64Worker)
{
    return WaitLine(s64Worker, s64Worker, 0, 0) + "child exited cleanly so parent is exiting\n";
}

void ExpectNormalEnd(const TSupervision &tRes, int s32ExitCode)
{
    EXPECT_TRUE(tRes.bEnded) << "supervisor still running after " << TIMEOUT_MS << " ms";
    EXPECT_EQ(s32ExitCode, tRes.s32ExitCode);
    EXPECT_FALSE(tRes.bLeftovers);
}

TEST_F(WatchdogTest, CleanExitEndsSupervisorWithZero)
{
    TSupervision tRes = Supervise([](int) { _exit(0); });
    ExpectNormalEnd(tRes, 0);
    ASSERT_EQ(1u, tRes.vecWorkers.size());
    EXPECT_EQ(WorkerLine(1) + CleanEnd(tRes.vecWorkers[0]), tRes.strOut);
    EXPECT_EQ("", tRes.strErr);
}

TEST_F(WatchdogTest, NonZeroExitRestartsAfterOneSecond)
{
    TSupervision tRes = Supervise([](int s32Run) { _exit(s32Run == 1 ? 1 : 0); });
    ExpectNormalEnd(tRes, 0);
    ASSERT_EQ(2u, tRes.vecWorkers.size());
    EXPECT_EQ(WorkerLine(1) + WaitLine(tRes.vecWorkers[0], tRes.vecWorkers[0], 256, 1) +
                  "child exited with s32Status=1\n" + WorkerLine(2) + CleanEnd(tRes.vecWorkers[1]),
              tRes.strOut);
    EXPECT_EQ("", tRes.strErr);
    EXPECT_GE(tRes.s64Ms, 900);
}

TEST_F(WatchdogTest, ExitCodeAbove127ReadsNegativeAndRestarts)
{
    TSupervision tRes = Supervise([](int s32Run) { _exit(s32Run == 1 ? 200 : 0); });
    ExpectNormalEnd(tRes, 0);
    ASSERT_EQ(2u, tRes.vecWorkers.size());
    EXPECT_EQ(WorkerLine(1) + WaitLine(tRes.vecWorkers[0], tRes.vecWorkers[0], 200 << 8, -56) +
                  "child exited with s32Status=-56\n" + WorkerLine(2) +
                  CleanEnd(tRes.vecWorkers[1]),
              tRes.strOut);
}

TEST_F(WatchdogTest, Exit255IsFatalForSupervisor)
{
    TSupervision tRes = Supervise([](int) { _exit(255); });
    ExpectNormalEnd(tRes, 1);
    ASSERT_EQ(1u, tRes.vecWorkers.size());
    EXPECT_EQ(WorkerLine(1) + WaitLine(tRes.vecWorkers[0], tRes.vecWorkers[0], 255 << 8, -1) +
                  "child exited with s32Status=-1\n",
              tRes.strOut);
    EXPECT_EQ("child exited with -1 fatal error so parent is exiting too.\n", tRes.strErr);
}

class WatchdogCrashTest : public WatchdogTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(WatchdogCrashTest, CrashRestartsWorker)
{
    const char *szEmulator = getenv("SSHAPI_EMULATOR");
    if (szEmulator != nullptr && *szEmulator != '\0') {
        GTEST_SKIP() << "under an emulator (" << szEmulator
                     << ") a crashed worker's standard error also holds the emulator's own "
                        "line; this test runs natively";
    }
    const int s32Signal = GetParam();
    TSupervision tRes = Supervise([s32Signal](int s32Run) {
        if (s32Run == 1) {
            DieBy(s32Signal);
        }
        _exit(0);
    });
    ExpectNormalEnd(tRes, 0);
    ASSERT_EQ(2u, tRes.vecWorkers.size());
    EXPECT_EQ(WorkerLine(1) + WaitLine(tRes.vecWorkers[0], tRes.vecWorkers[0], s32Signal, 0) +
                  "child was signalled, " + std::to_string(s32Signal) + ".\n" + WorkerLine(2) +
                  CleanEnd(tRes.vecWorkers[1]),
              tRes.strOut);
    EXPECT_EQ("", tRes.strErr);
}

INSTANTIATE_TEST_SUITE_P(CrashSignals, WatchdogCrashTest,
                         ::testing::Values(SIGABRT, SIGBUS, SIGFPE, SIGSEGV));

class WatchdogKillTest : public WatchdogTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(WatchdogKillTest, OtherSignalEndsSupervisorSilentlyWithOne)
{
    const int s32Signal = GetParam();
    TSupervision tRes = Supervise([s32Signal](int) { DieBy(s32Signal); });
    ExpectNormalEnd(tRes, 1);
    ASSERT_EQ(1u, tRes.vecWorkers.size());
    EXPECT_EQ(WorkerLine(1) + WaitLine(tRes.vecWorkers[0], tRes.vecWorkers[0], s32Signal, 0),
              tRes.strOut);
    EXPECT_EQ("", tRes.strErr);
}

INSTANTIATE_TEST_SUITE_P(StopSignals, WatchdogKillTest,
                         ::testing::Values(SIGTERM, SIGKILL, SIGINT));

char ProcessState(pid_t s32Pid)
{
    std::ifstream cIn("/proc/" + std::to_string(s32Pid) + "/stat");
    std::string strStat((std::istreambuf_iterator<char>(cIn)), std::istreambuf_iterator<char>());
    size_t u64Pos = strStat.rfind(')');
    return (u64Pos == std::string::npos || u64Pos + 2 >= strStat.size()) ? '?'
                                                                         : strStat[u64Pos + 2];
}

void NotifyOnSignal(int)
{
    const char cByte = 1;
    ssize_t sRet = write(g_s32NotifyWrite, &cByte, 1);
    (void)sRet;
}

TEST_F(WatchdogTest, InterruptedWaitWaitsAgain)
{
    auto fnPrepare = [] {
        int aNotify[2];
        if (pipe(aNotify) != 0) {
            _exit(122);
        }
        g_s32NotifyRead = aNotify[0];
        g_s32NotifyWrite = aNotify[1];
        struct sigaction stAct;
        memset(&stAct, 0, sizeof(stAct));
        stAct.sa_handler = NotifyOnSignal;  // no SA_RESTART: wait() fails with EINTR
        sigaction(SIGUSR1, &stAct, nullptr);
    };
    auto fnWorker = [](int) {
        // The supervisor sleeps only in wait(); interrupt it there.
        if (!WaitFor([] { return ProcessState(getppid()) == 'S'; })) {
            _exit(123);
        }
        kill(getppid(), SIGUSR1);
        struct pollfd stFd = {g_s32NotifyRead, POLLIN, 0};
        _exit(poll(&stFd, 1, 5000) == 1 ? 0 : 124);
    };
    TSupervision tRes = Supervise(fnWorker, fnPrepare);
    ExpectNormalEnd(tRes, 0);
    ASSERT_EQ(1u, tRes.vecWorkers.size());
    EXPECT_EQ(WorkerLine(1) + WaitLine(tRes.vecWorkers[0], -1, 0, 0) +
                  "handled signal continue waiting\n" + CleanEnd(tRes.vecWorkers[0]),
              tRes.strOut);
}

TEST_F(WatchdogTest, NoChildToWaitForEndsSupervisorInsteadOfSpinning)
{
    // With SIGCHLD ignored the system reaps the worker and wait() fails with
    // ECHILD; waiting again would return at once, for ever.
    TSupervision tRes = Supervise([](int) { _exit(0); }, [] { signal(SIGCHLD, SIG_IGN); });
    ExpectNormalEnd(tRes, 1);
    ASSERT_EQ(1u, tRes.vecWorkers.size());
    EXPECT_EQ(WorkerLine(1) + WaitLine(tRes.vecWorkers[0], -1, 0, 0), tRes.strOut);
    EXPECT_EQ("wait failed, errno " + std::to_string(ECHILD) + ":" + strerror(ECHILD) + "\n",
              tRes.strErr);
}

TEST_F(WatchdogTest, EndOfAnEarlierChildDoesNotEndSupervision)
{
    auto fnPrepare = [] {
        int aGate[2];
        if (pipe(aGate) != 0) {
            _exit(122);
        }
        g_s32Foreign = fork();
        if (g_s32Foreign == 0) {
            char cByte = 0;
            _exit(read(aGate[0], &cByte, 1) == 1 ? 0 : 125);
        }
        close(aGate[0]);
        g_s32GateWrite = aGate[1];
    };
    auto fnWorker = [](int) {
        // Let the earlier child end and wait until the supervisor reaped it.
        const char cByte = 1;
        if (write(g_s32GateWrite, &cByte, 1) != 1) {
            _exit(126);
        }
        if (!WaitFor([] { return kill(g_s32Foreign, 0) != 0 && errno == ESRCH; })) {
            _exit(127);
        }
        // Tell the test the earlier child's id.
        FILE *pFile = fopen((g_strRunsFile + ".foreign").c_str(), "w");
        if (pFile != nullptr) {
            fprintf(pFile, "%ld\n", static_cast<long>(g_s32Foreign));
            fclose(pFile);
        }
        _exit(0);
    };
    TSupervision tRes = Supervise(fnWorker, fnPrepare);
    ExpectNormalEnd(tRes, 0);
    ASSERT_EQ(1u, tRes.vecWorkers.size());
    long s64Foreign = 0;
    std::ifstream(g_strRunsFile + ".foreign") >> s64Foreign;
    ASSERT_GT(s64Foreign, 0);
    EXPECT_EQ(WorkerLine(1) + WaitLine(tRes.vecWorkers[0], s64Foreign, 0, 0) +
                  CleanEnd(tRes.vecWorkers[0]),
              tRes.strOut);
}

}  // namespace
