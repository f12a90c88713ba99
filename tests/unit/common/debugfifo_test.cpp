// CDebugFifo: the pipes driven the way an operator drives them from a
// shell, ending the read loop, and the pipes' privacy. Keys and dispatch of
// any text, with the service's table, are the fuzz target's to check.
#include "debugfifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <future>
#include <memory>
#include <regex>
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

// Command 70 answers the big answer, any other "answer <id>/<param>".
SInt32 Answer(SInt32 s32Id, uint64_t u64Param, std::string &strResponse)
{
    ++g_s32Calls;
    strResponse = (s32Id == 70)
                      ? BigAnswer()
                      : "answer " + std::to_string(s32Id) + "/" + std::to_string(u64Param);
    return 0;
}

const DebugCmd g_atTable[] = {{"help", 1, 11, Answer},
                              {"log verbose", 3, 0, Answer},
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
        close(m_s32ReplyFd);
        unlink(m_strRequest.c_str());
        unlink(m_strResponse.c_str());
    }

    // A started console on the test's pipes, with the operator's end of
    // the response pipe open.
    CDebugFifo &Open()
    {
        m_pFifo.reset(new CDebugFifo);
        close(m_s32ReplyFd);
        m_pFifo->SetPathSuffix(m_strSuffix);
        EXPECT_EQ(0, m_pFifo->Init(g_atTable));
        m_s32ReplyFd = open(m_strResponse.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(m_s32ReplyFd, 0) << strerror(errno);
        m_pFifo->Start();
        return *m_pFifo;
    }

    // What "echo <text> > /var/request..." does, then what arrives in the
    // response pipe until u64Want bytes came or the time is up.
    std::string Ask(const std::string &strText, size_t u64Want)
    {
        const int s32Fd = open(m_strRequest.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_GE(s32Fd, 0) << strerror(errno);
        EXPECT_EQ(static_cast<ssize_t>(strText.size()),
                  write(s32Fd, strText.data(), strText.size()));
        close(s32Fd);
        std::string strData;
        char acBuf[65536];
        WaitFor([&] {
            ssize_t sRead = read(m_s32ReplyFd, acBuf, sizeof(acBuf));
            strData.append(acBuf, sRead > 0 ? static_cast<size_t>(sRead) : 0);
            return strData.size() >= u64Want;
        });
        return strData;
    }

    // How long fnStop took; after 3 s it ends the test program instead.
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
    char szStamp[16];
    strftime(szStamp, sizeof(szStamp), "%Y%m%d%H%M%S", localtime_r(&stNow.tv_sec, &stTm));
    return szStamp;
}

TEST_F(DebugFifoTest, OperatorGetsAnswersThroughPrivatePipes)
{
    // Whatever is at the paths is replaced by pipes of mode 0600, whatever
    // the umask; a line per command says so.
    std::ofstream(m_strRequest) << "stale";
    std::ofstream(m_strResponse) << "stale";
    const mode_t u32OldMask = umask(0);
    const std::string strBefore = Stamp();
    const std::string strLog = StdoutOf([&] { Open(); });
    const std::string strAfter = Stamp();
    umask(u32OldMask);
    // Local time to the millisecond, source file, line, level (as spelt).
    const std::regex cPrefix("\\[([0-9]{14})[0-9]{3}\\]\\[file:lib/common/debugfifo/"
                             "debugfifo\\.cpp,line:[0-9]+,level:IFNO\\]");
    EXPECT_EQ("cmd:0-keys:help-keyi:1--help+\n"
              "cmd:1-keys:log verbose-keyi:3--log+verbose+\n"
              "cmd:2-keys:big-keyi:70--big+\n",
              std::regex_replace(strLog, cPrefix, ""))
        << strLog;
    for (std::sregex_iterator it(strLog.begin(), strLog.end(), cPrefix), itEnd; it != itEnd; ++it) {
        EXPECT_LE(strBefore, (*it)[1].str());
        EXPECT_GE(strAfter, (*it)[1].str());
    }
    for (const std::string &strPath : {m_strRequest, m_strResponse}) {
        struct stat stInfo;
        ASSERT_EQ(0, lstat(strPath.c_str(), &stInfo));
        EXPECT_TRUE(S_ISFIFO(stInfo.st_mode)) << strPath;
        EXPECT_EQ(0600u, stInfo.st_mode & 07777) << strPath;
    }
    EXPECT_EQ("answer 3/0", Ask("log verbose\n", 10));
    // An answer larger than the pipe arrives whole, and the loop goes on.
    const std::string strBig = Ask("big\n", BigAnswer().size());
    EXPECT_TRUE(strBig == BigAnswer()) << strBig.size() << " bytes";
    EXPECT_EQ("answer 1/11", Ask("help\n", 11));
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
    // Both pipes are closed: no reader left.
    errno = 0;
    EXPECT_EQ(-1, open(m_strRequest.c_str(), O_WRONLY | O_NONBLOCK));
    EXPECT_EQ(ENXIO, errno);

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
    struct TCase
    {
        std::string strPath;  // the path raced
        char cWhat;           // put there: a link, a file or another user's pipe
        std::string strLine;  // what the diagnostic says after the path
    };
    std::vector<TCase> vecCases = {{m_strRequest, 'l', strLoop},
                                   {m_strResponse, 'l', strLoop},
                                   {m_strRequest, 'f', strForeign}};
    if (geteuid() == 0) {  // only root can make a pipe of another user here
        vecCases.push_back({m_strResponse, 'p', strForeign});
    }
    for (const TCase &tCase : vecCases) {
        SCOPED_TRACE(tCase.strPath + tCase.strLine);
        unlink(m_strRequest.c_str());
        unlink(m_strResponse.c_str());
        std::ofstream(strVictim) << "victim";
        g_fnRaceMkfifo = [&](const std::string &strPath) {
            if (strPath != tCase.strPath) {
                mknod(strPath.c_str(), S_IFIFO | 0600, 0);
            } else if (tCase.cWhat == 'l') {
                EXPECT_EQ(0, symlink(strVictim.c_str(), strPath.c_str()));
            } else if (tCase.cWhat == 'f') {
                std::ofstream(strPath) << "stale";
            } else {
                mknod(strPath.c_str(), S_IFIFO | 0666, 0);
                EXPECT_EQ(0, chown(strPath.c_str(), 65534, 65534)) << strerror(errno);
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
        if (tCase.cWhat == 'f') {
            EXPECT_EQ("stale", ReadAll(tCase.strPath)) << "neither truncated nor written";
        }
    }
    unlink(strVictim.c_str());
}

}  // namespace
