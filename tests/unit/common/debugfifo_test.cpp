// CDebugFifo: registration of a command table, the pipes driven the way an
// operator drives them from a shell, ending the read loop, and the pipes'
// privacy. Keys and dispatch of any text are the debug-console fuzz
// target's to check.
#include "debugfifo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

// The console's mkfifo lands here (the executable's definition wins over
// the C library's). It makes the pipe, unless a test has put something else
// at the path first, as another user racing the service could.
std::function<void(const std::string &)> g_fnRaceMkfifo;

extern "C" int mkfifo(const char *szPath, mode_t u32Mode) noexcept
{
    if (g_fnRaceMkfifo) {
        g_fnRaceMkfifo(szPath);
        return 0;
    }
    return mknod(szPath, S_IFIFO | u32Mode, 0);
}

namespace
{

using std::chrono::milliseconds;

std::atomic<int> g_s32Calls(0);

// More than a pipe holds, so the answer cannot go out in one write.
std::string BigAnswer()
{
    std::string strAnswer;
    for (size_t i = 0; i < 200000; ++i) {
        strAnswer += static_cast<char>('a' + i % 26);
    }
    return strAnswer;
}

// Command 60 answers nothing, 70 the big answer, any other "answer <id>/<param>".
SInt32 Answer(SInt32 s32Id, uint64_t u64Param, std::string &strResponse)
{
    ++g_s32Calls;
    if (s32Id == 70) {
        strResponse = BigAnswer();
    } else if (s32Id != 60) {
        strResponse += "answer " + std::to_string(s32Id) + "/" + std::to_string(u64Param);
    }
    return 0;
}

const DebugCmd g_atTable[] = {{"help", 1, 11, Answer},
                              {"quiet", 60, 0, Answer},
                              {"big", 70, 0, Answer},
                              {"", -1, 0, nullptr}};

class DebugFifoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(std::string(SSHAPI_TEST_ROOT) + "/var");
        m_strSuffix = "_ut" + std::to_string(getpid()) + "_" +
                      testing::UnitTest::GetInstance()->current_test_info()->name();
        m_strRequest = std::string(SSHAPI_TEST_ROOT) + "/var/request" + m_strSuffix;
        m_strResponse = std::string(SSHAPI_TEST_ROOT) + "/var/response" + m_strSuffix;
        g_s32Calls = 0;
    }

    void TearDown() override
    {
        m_pFifo.reset();
        if (m_s32ReplyFd >= 0) {
            close(m_s32ReplyFd);
        }
        unlink(m_strRequest.c_str());
        unlink(m_strResponse.c_str());
    }

    // A started console on the test's pipes, with the operator's end of
    // the response pipe open.
    CDebugFifo &Open(const DebugCmd *pTable = g_atTable)
    {
        m_pFifo.reset(new CDebugFifo);
        if (m_s32ReplyFd >= 0) {
            close(m_s32ReplyFd);
            m_s32ReplyFd = -1;
        }
        m_pFifo->SetPathSuffix(m_strSuffix);
        EXPECT_EQ(0, m_pFifo->Init(pTable));
        m_s32ReplyFd = open(m_strResponse.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(m_s32ReplyFd, 0) << strerror(errno);
        m_pFifo->Start();
        return *m_pFifo;
    }

    // What "echo <text> > /var/request..." does, then what arrives in the
    // response pipe until u64Want bytes came or the time is up.
    std::string Ask(const std::string &strText, size_t u64Want, int s32TimeoutMs = 5000)
    {
        const int s32Fd = open(m_strRequest.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_GE(s32Fd, 0) << strerror(errno);
        EXPECT_EQ(static_cast<ssize_t>(strText.size()),
                  write(s32Fd, strText.data(), strText.size()));
        close(s32Fd);
        std::string strData;
        char acBuf[65536];
        WaitFor(
            [&] {
                ssize_t sRead = read(m_s32ReplyFd, acBuf, sizeof(acBuf));
                strData.append(acBuf, sRead > 0 ? static_cast<size_t>(sRead) : 0);
                return strData.size() >= u64Want;
            },
            milliseconds(s32TimeoutMs));
        return strData;
    }

    // Runs fnStop; returns how long it took. One that has not returned
    // after 3 s ends the test program: nothing else could stop it.
    static long StopMs(const std::function<void()> &fnStop)
    {
        const auto stStart = std::chrono::steady_clock::now();
        auto cDone = std::async(std::launch::async, fnStop);
        if (cDone.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            ADD_FAILURE() << "still not stopped after 3 s";
            fflush(stdout);
            _exit(1);
        }
        return ElapsedMs(stStart);
    }

    std::string m_strSuffix;
    std::string m_strRequest;
    std::string m_strResponse;
    std::unique_ptr<CDebugFifo> m_pFifo;
    int m_s32ReplyFd = -1;
};

std::string Stamp()
{
    struct timeval stNow;
    gettimeofday(&stNow, nullptr);
    struct tm stTm;
    localtime_r(&stNow.tv_sec, &stTm);
    char szStamp[16];
    strftime(szStamp, sizeof(szStamp), "%Y%m%d%H%M%S", &stTm);
    return szStamp;
}

TEST_F(DebugFifoTest, RegistrationLinesAndTableRules)
{
    // The table ends at id -1; of two texts with one key the earlier one
    // keeps it; a default id picks the first entry in key order.
    const DebugCmd atTable[] = {
        {"help", 1, 0, Answer},  {"log verbose", 3, 1, Answer}, {"log:verbose", 9, 2, Answer},
        {"zeta", 7, 3, Answer},  {"alpha", 7, 4, Answer},       {"after", -1, 0, Answer},
        {"never", 8, 0, Answer}, {"", -1, 0, nullptr},
    };
    const std::string strBefore = Stamp();
    const std::string strLog = StdoutOf([&] { Open(atTable); });
    const std::string strAfter = Stamp();
    const char *const aszExpected[] = {
        "cmd:0-keys:help-keyi:1--help+",
        "cmd:1-keys:log verbose-keyi:3--log+verbose+",
        "cmd:2-keys:log:verbose-keyi:9--log+verbose+",
        "cmd:3-keys:zeta-keyi:7--zeta+",
        "cmd:4-keys:alpha-keyi:7--alpha+",
    };
    std::istringstream cLines(strLog);
    std::string strLine;
    for (const char *szExpected : aszExpected) {
        ASSERT_TRUE(std::getline(cLines, strLine)) << strLog;
        // Local time to the millisecond, source file, line, level (as spelt).
        std::smatch cMatch;
        ASSERT_TRUE(std::regex_match(strLine, cMatch,
                                     std::regex("\\[([0-9]{14})[0-9]{3}\\]\\[file:lib/common/"
                                                "debugfifo/debugfifo\\.cpp,line:[0-9]+,"
                                                "level:IFNO\\](.*)")))
            << strLine;
        EXPECT_LE(strBefore, cMatch[1].str());
        EXPECT_GE(strAfter, cMatch[1].str());
        EXPECT_EQ(szExpected, cMatch[2].str());
    }
    EXPECT_FALSE(std::getline(cLines, strLine)) << strLine;

    auto fnAsk = [this](std::string strRequest) {
        std::string strResponse;
        m_pFifo->Dispatch(strRequest, strResponse);
        return strResponse;
    };
    EXPECT_EQ("answer 3/1", fnAsk("log verbose"));
    EXPECT_EQ("unhandle cmd :never", fnAsk("never"));
    m_pFifo->SetDefaultCmd("", 7);
    EXPECT_EQ("answer 7/4", fnAsk("never"));
}

TEST_F(DebugFifoTest, OperatorGetsAnswersThroughPrivatePipes)
{
    // Whatever is at the paths is replaced by pipes of mode 0600, whatever
    // the umask.
    std::ofstream(m_strRequest) << "stale";
    std::ofstream(m_strResponse) << "stale";
    const mode_t u32OldMask = umask(0);
    Open();
    umask(u32OldMask);
    for (const std::string &strPath : {m_strRequest, m_strResponse}) {
        struct stat stInfo;
        ASSERT_EQ(0, lstat(strPath.c_str(), &stInfo));
        EXPECT_TRUE(S_ISFIFO(stInfo.st_mode)) << strPath;
        EXPECT_EQ(0600u, stInfo.st_mode & 07777) << strPath;
    }
    EXPECT_EQ("answer 1/11", Ask("help\n", 11));
    // An empty answer writes nothing.
    Ask("quiet\n", 0);
    ASSERT_TRUE(WaitFor([] { return g_s32Calls.load() == 2; }));
    // An answer larger than the pipe arrives whole, and the loop goes on.
    const std::string strBig = Ask("big\n", BigAnswer().size());
    EXPECT_TRUE(strBig == BigAnswer()) << strBig.size() << " bytes";
    EXPECT_EQ("answer 1/11", Ask("help\n", 11));
    EXPECT_EQ("", Ask("", 1, 100)) << "no line ends, no framing";
}

TEST_F(DebugFifoTest, LoopEndsAtOnceWhetherWaitingOrStuckOnAFullPipe)
{
    // Waiting for a request: destroying the console wakes the blocked loop.
    Open();
    ASSERT_EQ("answer 1/11", Ask("help\n", 11));
    long s64Ms = 0;
    const std::string strLog = StdoutOf([&] { s64Ms = StopMs([this] { m_pFifo.reset(); }); });
    EXPECT_LT(s64Ms, 1000);
    EXPECT_NE(std::string::npos, strLog.find("level:ERROR]debuf fifo thread exit\n")) << strLog;
    EXPECT_EQ(std::string::npos, strLog.find("read pipe")) << strLog;
    // Both pipes are closed (no reader left), the files stay for the next run.
    errno = 0;
    EXPECT_EQ(-1, open(m_strRequest.c_str(), O_WRONLY | O_NONBLOCK));
    EXPECT_EQ(ENXIO, errno);
    struct stat stInfo;
    ASSERT_EQ(0, stat(m_strRequest.c_str(), &stInfo));
    EXPECT_TRUE(S_ISFIFO(stInfo.st_mode));

    // Nobody reads: a big answer fills the pipe and the loop waits for room.
    CDebugFifo &cFifo = Open();
    Ask("big\n", 0);
    ASSERT_TRUE(WaitFor([] { return g_s32Calls.load() == 2; }));
    EXPECT_LT(StopMs([&cFifo] { cFifo.Stop(); }), 1000);
}

TEST_F(DebugFifoTest, NothingButItsOwnPipesIsUsed)
{
    // Something put at a path between the service's mkfifo and its open is
    // neither used nor written through; the console does not start.
    const std::string strVictim = m_strRequest + ".victim";
    const std::string strLoop = " fail, errno " + std::to_string(ELOOP);
    const std::string strForeign = " is not a fifo owned by uid " + std::to_string(geteuid());
    auto fnLink = [&](const std::string &strPath) {
        EXPECT_EQ(0, symlink(strVictim.c_str(), strPath.c_str()));
    };
    auto fnFile = [](const std::string &strPath) { std::ofstream(strPath) << "stale"; };
    auto fnOthers = [](const std::string &strPath) {
        mknod(strPath.c_str(), S_IFIFO | 0666, 0);
        EXPECT_EQ(0, chown(strPath.c_str(), 65534, 65534)) << strerror(errno);
    };
    struct TCase
    {
        std::string strPath;
        std::function<void(const std::string &)> fnRace;
        std::string strLine;  // what the diagnostic says after the path
    };
    std::vector<TCase> vecCases = {
        {m_strRequest, fnLink, strLoop},
        {m_strResponse, fnLink, strLoop},
        {m_strRequest, fnFile, strForeign},
    };
    if (geteuid() == 0) {  // only root can make a pipe of another user here
        vecCases.push_back({m_strResponse, fnOthers, strForeign});
    }
    for (const TCase &tCase : vecCases) {
        SCOPED_TRACE(tCase.strPath + tCase.strLine);
        unlink(m_strRequest.c_str());
        unlink(m_strResponse.c_str());
        std::ofstream(strVictim) << "victim";
        g_fnRaceMkfifo = [&tCase](const std::string &strPath) {
            if (strPath == tCase.strPath) {
                tCase.fnRace(strPath);
            } else {
                mknod(strPath.c_str(), S_IFIFO | 0600, 0);
            }
        };
        CDebugFifo cFifo;
        cFifo.SetPathSuffix(m_strSuffix);
        const std::string strLog = StdoutOf([&] {
            EXPECT_EQ(-1, cFifo.Init(g_atTable));
            cFifo.Start();  // the thread ends at once
            cFifo.Stop();
        });
        g_fnRaceMkfifo = nullptr;
        EXPECT_NE(std::string::npos, strLog.find(tCase.strPath + tCase.strLine)) << strLog;
        EXPECT_NE(std::string::npos, strLog.find("open incorrectly")) << strLog;
        EXPECT_EQ("victim", ReadAll(strVictim));
        if (tCase.strLine == strForeign && tCase.strPath == m_strRequest) {
            EXPECT_EQ("stale", ReadAll(tCase.strPath)) << "neither truncated nor written";
        }
    }
    unlink(strVictim.c_str());
}

}  // namespace
