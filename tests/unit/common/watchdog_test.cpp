// CreateWatchdog with real processes: a child turns into the supervisor in
// a process group of its own, its workers play a scenario (a file of worker
// ids tells each which run it is); checked are the supervisor's output, exit
// status and leftovers.
#include "watchdog.h"

#include <sys/resource.h>

#include <csignal>
#include <sstream>
#include <vector>

#include "testsupport.h"

namespace
{

// Plain globals: they are used in the forked processes only.
std::string g_strRunsFile;
pid_t g_s32Foreign = -1;

struct TSupervision
{
    int s32Exit = -1;         // exit status; -1 when it did not exit within the limit
    bool bLeftovers = false;  // processes of its group were still alive
    std::string strOut;
    std::string strErr;
    std::vector<long> vecWorkers;  // worker ids in start order
    long s64Ms = 0;
};

// Forks the supervisor, its output in files of strDir; fnPrepare runs in it
// before CreateWatchdog, fnWorker(run number) in every worker after it
// printed "worker <run>" (twice if the supervisor did not flush its output).
TSupervision Supervise(
    const std::string &strDir, const std::function<void(int)> &fnWorker,
    const std::function<void()> &fnPrepare = [] {})
{
    g_strRunsFile = strDir + "/runs";
    fflush(stdout);
    const auto stStart = std::chrono::steady_clock::now();
    const pid_t s32Sup = fork();
    if (s32Sup == 0) {
        setpgid(0, 0);
        if (freopen((strDir + "/out").c_str(), "w", stdout) == nullptr ||
            freopen((strDir + "/err").c_str(), "w", stderr) == nullptr) {
            _exit(9);
        }
        printf("supervisor\n");  // left unflushed: no worker may print it again
        struct rlimit stNoCore = {0, 0};
        setrlimit(RLIMIT_CORE, &stNoCore);
        fnPrepare();
        CreateWatchdog("watchdog_test");
        std::ofstream(g_strRunsFile, std::ios::app) << getpid() << std::endl;
        const std::string strRuns = ReadAll(g_strRunsFile);
        const int s32Run = static_cast<int>(std::count(strRuns.begin(), strRuns.end(), '\n'));
        printf("worker %d\n", s32Run);
        fflush(stdout);
        fnWorker(s32Run);
        _exit(0);
    }
    setpgid(s32Sup, s32Sup);
    TSupervision tRes;
    int s32Status = 0;
    if (!ReapWithin(s32Sup, milliseconds(15000), s32Status)) {
        kill(-s32Sup, SIGKILL);
        waitpid(s32Sup, &s32Status, 0);
    } else if (WIFEXITED(s32Status)) {
        tRes.s32Exit = WEXITSTATUS(s32Status);
    }
    tRes.s64Ms = ElapsedMs(stStart);
    tRes.bLeftovers = kill(-s32Sup, SIGKILL) == 0;
    tRes.strOut = ReadAll(strDir + "/out");
    tRes.strErr = ReadAll(strDir + "/err");
    std::istringstream cRuns(ReadAll(g_strRunsFile));
    for (long s64Pid = 0; cRuns >> s64Pid;) {
        tRes.vecWorkers.push_back(s64Pid);
    }
    return tRes;
}

std::string WaitLine(long s64Child, long s64Waited, int s32Status, int s32Code)
{
    return "Child Process " + std::to_string(s64Child) +
           " wait exited with s32PID=" + std::to_string(s64Waited) +
           " s32Status=" + std::to_string(s32Status) +
           " exit s32Status=" + std::to_string(s32Code) + "\n";
}

const std::string CLEAN_LINE = "child exited cleanly so parent is exiting\n";
const std::string FATAL_LINE = "child exited with -1 fatal error so parent is exiting too.\n";

// How a worker ends: an exit status, or minus a signal number; the exit
// code its wait line shows; the line that follows.
struct TEnding
{
    int s32How;
    int s32Code;
    std::string strLine;
};
const TEnding EXIT_0 = {0, 0, CLEAN_LINE};
const TEnding EXIT_1 = {1, 1, "child exited with s32Status=1\n"};
const TEnding EXIT_200 = {200, -56, "child exited with s32Status=-56\n"};
const TEnding EXIT_255 = {255, -1, "child exited with s32Status=-1\n"};
const TEnding BY_ABRT = {-SIGABRT, 0, "child was signalled, " + std::to_string(SIGABRT) + ".\n"};
const TEnding BY_SEGV = {-SIGSEGV, 0, "child was signalled, " + std::to_string(SIGSEGV) + ".\n"};
const TEnding BY_TERM = {-SIGTERM, 0, ""};
const TEnding BY_KILL = {-SIGKILL, 0, ""};

struct TScenario
{
    const char *szName;
    std::vector<TEnding> vecRuns;  // one ending per worker, in order
    int s32Exit;
    std::string strErr;
    bool bCrashes;
};

void PrintTo(const TScenario &tCase, std::ostream *pOut)
{
    *pOut << tCase.szName;
}

class WatchdogEndings : public ::testing::TestWithParam<TScenario>
{
};

TEST_P(WatchdogEndings, RestartOrLeaveByHowTheWorkerEnded)
{
    const TScenario &tCase = GetParam();
    const char *szEmulator = getenv("SSHAPI_EMULATOR");
    if (tCase.bCrashes && szEmulator != nullptr && *szEmulator != '\0') {
        GTEST_SKIP() << "under an emulator (" << szEmulator
                     << ") a crashed worker's standard error also holds the emulator's own "
                        "line; this test runs natively";
    }
    const std::vector<TEnding> vecRuns = tCase.vecRuns;
    TSupervision tRes = Supervise(FreshTestDir(), [vecRuns](int s32Run) {
        const int s32How = vecRuns[static_cast<size_t>(s32Run - 1)].s32How;
        if (s32How < 0) {
            // Sanitizer run-times catch some signals; the worker wants the plain death.
            signal(-s32How, SIG_DFL);
            raise(-s32How);
        }
        _exit(s32How);
    });
    EXPECT_EQ(tCase.s32Exit, tRes.s32Exit);
    EXPECT_FALSE(tRes.bLeftovers);
    ASSERT_EQ(vecRuns.size(), tRes.vecWorkers.size());
    std::string strExpected = "supervisor\n";
    for (size_t i = 0; i < vecRuns.size(); ++i) {
        const long s64Pid = tRes.vecWorkers[i];
        const int s32Raw = vecRuns[i].s32How >= 0 ? vecRuns[i].s32How << 8 : -vecRuns[i].s32How;
        strExpected += "worker " + std::to_string(i + 1) + "\n" +
                       WaitLine(s64Pid, s64Pid, s32Raw, vecRuns[i].s32Code) + vecRuns[i].strLine;
    }
    EXPECT_EQ(strExpected, tRes.strOut);
    EXPECT_EQ(tCase.strErr, tRes.strErr);
    EXPECT_GE(tRes.s64Ms, 900 * static_cast<long>(vecRuns.size() - 1)) << "a second per restart";
}

INSTANTIATE_TEST_SUITE_P(
    Watchdog, WatchdogEndings,
    ::testing::Values(TScenario{"CleanExit", {EXIT_0}, 0, "", false},
                      TScenario{"NonZeroExitsRestart", {EXIT_1, EXIT_200, EXIT_0}, 0, "", false},
                      TScenario{"Exit255IsFatal", {EXIT_255}, 1, FATAL_LINE, false},
                      TScenario{"CrashesRestart", {BY_ABRT, BY_SEGV, EXIT_0}, 0, "", true},
                      TScenario{"SigtermEnds", {BY_TERM}, 1, "", false},
                      TScenario{"SigkillEnds", {BY_KILL}, 1, "", false}),
    [](const testing::TestParamInfo<TScenario> &tInfo) { return tInfo.param.szName; });

TEST(Watchdog, NoChildToWaitForEndsSupervisorInsteadOfSpinning)
{
    // With SIGCHLD ignored the system reaps the worker and wait() fails with
    // ECHILD; waiting again would return at once, for ever.
    TSupervision tRes = Supervise(
        FreshTestDir(), [](int) { _exit(0); }, [] { signal(SIGCHLD, SIG_IGN); });
    EXPECT_EQ(1, tRes.s32Exit);
    ASSERT_EQ(1u, tRes.vecWorkers.size());
    EXPECT_EQ("supervisor\nworker 1\n" + WaitLine(tRes.vecWorkers[0], -1, 0, 0), tRes.strOut);
    EXPECT_EQ("wait failed, errno " + std::to_string(ECHILD) + ":" + strerror(ECHILD) + "\n",
              tRes.strErr);
}

TEST(Watchdog, EndOfAnEarlierChildDoesNotEndSupervision)
{
    TSupervision tRes = Supervise(
        FreshTestDir(),
        [](int) {
            // Wait until the supervisor reaped the earlier child, and tell
            // the test its id.
            if (!WaitFor([] { return kill(g_s32Foreign, 0) != 0 && errno == ESRCH; })) {
                _exit(2);
            }
            std::ofstream(g_strRunsFile + ".foreign") << g_s32Foreign << std::endl;
            _exit(0);
        },
        [] {
            fflush(stdout);  // the earlier child must not print it again
            g_s32Foreign = fork();
            if (g_s32Foreign == 0) {
                _exit(0);
            }
        });
    EXPECT_EQ(0, tRes.s32Exit);
    ASSERT_EQ(1u, tRes.vecWorkers.size());
    const long s64Foreign = std::stol("0" + ReadAll(g_strRunsFile + ".foreign"));
    ASSERT_GT(s64Foreign, 0);
    const long s64Pid = tRes.vecWorkers[0];
    EXPECT_EQ("supervisor\nworker 1\n" + WaitLine(s64Pid, s64Foreign, 0, 0) +
                  WaitLine(s64Pid, s64Pid, 0, 0) + CLEAN_LINE,
              tRes.strOut);
}

}  // namespace
