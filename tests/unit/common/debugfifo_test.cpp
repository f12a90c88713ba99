// CDebugFifo: command keys, the dispatch fallbacks, and the pipes driven the
// way an operator drives them from a shell.
#include "debugfifo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
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
using std::chrono::steady_clock;

// What the handlers were called with, in call order.
struct TCall
{
    SInt32 s32Id;
    uint64_t u64Param;
};
std::mutex g_cCallLock;
std::vector<TCall> g_vecCalls;
std::atomic<int> g_s32CallCount(0);

void RecordCall(SInt32 s32Id, uint64_t u64Param)
{
    std::lock_guard<std::mutex> cLock(g_cCallLock);
    g_vecCalls.push_back({s32Id, u64Param});
    ++g_s32CallCount;
}

std::vector<TCall> TakeCalls()
{
    std::lock_guard<std::mutex> cLock(g_cCallLock);
    std::vector<TCall> vecCalls;
    vecCalls.swap(g_vecCalls);
    g_s32CallCount = 0;
    return vecCalls;
}

SInt32 AnswerHandler(SInt32 s32Id, uint64_t u64Param, std::string &strResponse)
{
    strResponse += "answer " + std::to_string(s32Id) + "/" + std::to_string(u64Param);
    RecordCall(s32Id, u64Param);
    return 0;
}

SInt32 SilentHandler(SInt32 s32Id, uint64_t u64Param, std::string &)
{
    RecordCall(s32Id, u64Param);
    return 0;
}

// More than a pipe holds, so the answer cannot go out in one write.
const size_t BIG_ANSWER = 200000;

SInt32 BigHandler(SInt32 s32Id, uint64_t u64Param, std::string &strResponse)
{
    strResponse.reserve(BIG_ANSWER);
    for (size_t i = 0; i < BIG_ANSWER; ++i) {
        strResponse += static_cast<char>('a' + i % 26);
    }
    RecordCall(s32Id, u64Param);
    return 0;
}

const DebugCmd g_atTable[] = {
    {"help", 1, 11, AnswerHandler},
    {"status", 2, 22, AnswerHandler},
    {"log verbose", 3, 33, AnswerHandler},
    {"log quiet", 4, 44, AnswerHandler},
    {"default", 5, 55, AnswerHandler},
    {"quiet", 6, 66, SilentHandler},
    {"big", 7, 77, BigHandler},
    {"", -1, 0, nullptr},
};

std::string ReadAll(const std::string &strPath)
{
    std::ifstream cIn(strPath, std::ios::binary);
    std::ostringstream cText;
    cText << cIn.rdbuf();
    return cText.str();
}

std::vector<std::string> Lines(const std::string &strText)
{
    std::vector<std::string> vecLines;
    std::istringstream cIn(strText);
    std::string strLine;
    while (std::getline(cIn, strLine)) {
        vecLines.push_back(strLine);
    }
    return vecLines;
}

// ---------------------------------------------------------------- keys

TEST(DebugFifoKeys, WordsJoinedWhateverTheSeparators)
{
    const char *aszSame[] = {"log verbose", "log:verbose", "log , verbose", "log   verbose\n",
                             "\tlog\t:verbose,,\r\n"};
    for (const char *szText : aszSame) {
        std::string strText = szText;
        EXPECT_EQ("log+verbose+", CDebugFifo::MakeKey(strText)) << "text: " << szText;
    }
    // The text itself loses its line ends.
    std::string strText = "help\r\n";
    EXPECT_EQ("help+", CDebugFifo::MakeKey(strText));
    EXPECT_EQ("help", strText);
    // Line ends are removed, not taken as separators.
    strText = "log\r\nverbose";
    EXPECT_EQ("logverbose+", CDebugFifo::MakeKey(strText));
}

TEST(DebugFifoKeys, TextWithoutWordsIsItsOwnKey)
{
    std::string strEmpty = "\n";
    EXPECT_EQ("+", CDebugFifo::MakeKey(strEmpty));
    EXPECT_EQ("", strEmpty);
    std::string strDelims = " :,";
    EXPECT_EQ(" :,+", CDebugFifo::MakeKey(strDelims));
}

TEST(DebugFifoKeys, SplitAppendsTokensLikeStrtok)
{
    std::vector<std::string> vecOut = {"kept"};
    CDebugFifo::Split(",,a,,b,", ",", vecOut);
    EXPECT_EQ((std::vector<std::string>{"kept", "a", "b"}), vecOut);

    vecOut.clear();
    CDebugFifo::Split(",,,", ",", vecOut);
    EXPECT_EQ((std::vector<std::string>{",,,"}), vecOut);
}

// ---------------------------------------------------------------- fixture

class DebugFifoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        MakeDirs(std::string(SSHAPI_TEST_ROOT) + "/var");
        static int s_s32Serial = 0;
        m_strSuffix = "_ut" + std::to_string(getpid()) + "_" + std::to_string(++s_s32Serial);
        m_strRequest = std::string(SSHAPI_TEST_ROOT) + "/var/request" + m_strSuffix;
        m_strResponse = std::string(SSHAPI_TEST_ROOT) + "/var/response" + m_strSuffix;
        TakeCalls();
    }

    void TearDown() override
    {
        if (m_pFifo) {
            DestroyMs();
        }
        if (m_s32ReplyFd >= 0) {
            close(m_s32ReplyFd);
        }
        unlink(m_strRequest.c_str());
        unlink(m_strResponse.c_str());
    }

    // A channel with the test table and its pipes, not started.
    CDebugFifo &MakeFifo(const DebugCmd *pTable = g_atTable)
    {
        m_pFifo.reset(new CDebugFifo);
        m_pFifo->SetPathSuffix(m_strSuffix);
        EXPECT_EQ(0, m_pFifo->Init(pTable));
        return *m_pFifo;
    }

    // Started channel, with the operator's end of the response pipe open.
    CDebugFifo &StartFifo(const DebugCmd *pTable = g_atTable)
    {
        CDebugFifo &cFifo = MakeFifo(pTable);
        m_s32ReplyFd = open(m_strResponse.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(m_s32ReplyFd, 0) << strerror(errno);
        cFifo.Start();
        return cFifo;
    }

    // What "echo <text> > /var/request..." does.
    void Send(const std::string &strText)
    {
        int s32Fd = open(m_strRequest.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(s32Fd, 0) << strerror(errno);
        EXPECT_EQ(static_cast<ssize_t>(strText.size()),
                  write(s32Fd, strText.data(), strText.size()));
        close(s32Fd);
    }

    // Reads from the response pipe until u64Want bytes came or nothing more
    // arrives within the timeout.
    std::string Receive(size_t u64Want, int s32TimeoutMs = 5000)
    {
        std::string strData;
        const auto stEnd = steady_clock::now() + milliseconds(s32TimeoutMs);
        while (strData.size() < u64Want && steady_clock::now() < stEnd) {
            struct pollfd stFd = {m_s32ReplyFd, POLLIN, 0};
            if (poll(&stFd, 1, 50) <= 0) {
                continue;
            }
            char acBuf[65536];
            ssize_t sRead = read(m_s32ReplyFd, acBuf, sizeof(acBuf));
            if (sRead > 0) {
                strData.append(acBuf, static_cast<size_t>(sRead));
            }
        }
        return strData;
    }

    // Sends a request and reads its answer.
    std::string Ask(const std::string &strText, size_t u64Want)
    {
        Send(strText);
        return Receive(u64Want);
    }

    // Runs fnAction on a helper thread and returns how long it took. If it
    // has not finished after 3 s, fnRelease is called until it does, so a
    // channel that cannot be stopped fails the test instead of hanging it.
    long TimeBounded(const std::function<void()> &fnAction, const std::function<void()> &fnRelease)
    {
        auto pDone = std::make_shared<std::atomic<bool>>(false);
        const auto stStart = steady_clock::now();
        std::thread cHelper([fnAction, pDone] {
            fnAction();
            *pDone = true;
        });
        WaitFor([&] { return pDone->load(); }, milliseconds(3000));
        const long s64Ms = ElapsedMs(stStart);
        for (int i = 0; i < 50 && !pDone->load(); ++i) {
            fnRelease();
            WaitFor([&] { return pDone->load(); }, milliseconds(100));
        }
        if (pDone->load()) {
            cHelper.join();
        } else {
            ADD_FAILURE() << "still blocked after release attempts";
            cHelper.detach();
        }
        return s64Ms;
    }

    // Destroys the channel and returns how long that took.
    long DestroyMs()
    {
        CDebugFifo *pFifo = m_pFifo.release();
        return TimeBounded([pFifo] { delete pFifo; }, [this] { Release(); });
    }

    // What ends a loop that only an operator can end: a request, and room
    // in the response pipe.
    void Release()
    {
        int s32Fd = open(m_strRequest.c_str(), O_WRONLY | O_NONBLOCK);
        if (s32Fd >= 0) {
            ssize_t sRet = write(s32Fd, "\n", 1);
            (void)sRet;
            close(s32Fd);
        }
        Receive(1000000, 10);
    }

    std::string m_strSuffix;
    std::string m_strRequest;
    std::string m_strResponse;
    std::unique_ptr<CDebugFifo> m_pFifo;
    int m_s32ReplyFd = -1;
};

const std::string PREFIX_RE =
    "\\[([0-9]{17})\\]\\[file:lib/common/debugfifo/debugfifo\\.cpp,line:[0-9]+,level:";

// ---------------------------------------------------------------- registration and dispatch

TEST_F(DebugFifoTest, RegistrationPrintsOneTimeStampedLinePerCommand)
{
    const DebugCmd atTable[] = {
        {"help", 1, 0, AnswerHandler},        {"status", 2, 0, AnswerHandler},
        {"log verbose", 3, 0, AnswerHandler}, {"log quiet", 4, 0, AnswerHandler},
        {"default", 5, 0, AnswerHandler},     {"", -1, 0, nullptr},
    };
    std::vector<std::string> vecLines = Lines(StdoutOf([&] { MakeFifo(atTable); }));
    const time_t s64Now = time(nullptr);

    const char *aszExpected[] = {
        "cmd:0-keys:help-keyi:1--help\\+",
        "cmd:1-keys:status-keyi:2--status\\+",
        "cmd:2-keys:log verbose-keyi:3--log\\+verbose\\+",
        "cmd:3-keys:log quiet-keyi:4--log\\+quiet\\+",
        "cmd:4-keys:default-keyi:5--default\\+",
    };
    ASSERT_EQ(5u, vecLines.size());
    for (size_t i = 0; i < vecLines.size(); ++i) {
        std::smatch cMatch;
        ASSERT_TRUE(std::regex_match(vecLines[i], cMatch,
                                     std::regex(PREFIX_RE + "IFNO\\]" + aszExpected[i])))
            << vecLines[i];
        // The 17 digits are the local time, to the millisecond.
        struct tm stTm;
        memset(&stTm, 0, sizeof(stTm));
        const std::string strStamp = cMatch[1];
        stTm.tm_year = std::stoi(strStamp.substr(0, 4)) - 1900;
        stTm.tm_mon = std::stoi(strStamp.substr(4, 2)) - 1;
        stTm.tm_mday = std::stoi(strStamp.substr(6, 2));
        stTm.tm_hour = std::stoi(strStamp.substr(8, 2));
        stTm.tm_min = std::stoi(strStamp.substr(10, 2));
        stTm.tm_sec = std::stoi(strStamp.substr(12, 2));
        stTm.tm_isdst = -1;
        EXPECT_LE(std::labs(static_cast<long>(mktime(&stTm) - s64Now)), 5L) << strStamp;
    }
}

TEST_F(DebugFifoTest, TableEndsAtIdMinusOneAndEarlierDuplicateKeepsKey)
{
    const DebugCmd atTable[] = {
        {"log verbose", 3, 1, AnswerHandler},
        {"log:verbose", 9, 2, AnswerHandler},
        {"after", -1, 0, AnswerHandler},
        {"never", 8, 0, AnswerHandler},
        {"", -1, 0, nullptr},
    };
    EXPECT_EQ(2u, Lines(StdoutOf([&] { MakeFifo(atTable); })).size());
    CDebugFifo &cFifo = *m_pFifo;

    std::string strRequest = "log verbose";
    std::string strResponse;
    cFifo.Dispatch(strRequest, strResponse);
    EXPECT_EQ("answer 3/1", strResponse);

    strRequest = "never";
    strResponse.clear();
    cFifo.Dispatch(strRequest, strResponse);
    EXPECT_EQ("unhandle cmd :never", strResponse);
}

TEST_F(DebugFifoTest, DispatchMatchesWordsAndFallsBackInOrder)
{
    const DebugCmd atTable[] = {
        {"zeta", 7, 1, AnswerHandler}, {"alpha", 7, 2, AnswerHandler},
        {"help", 1, 3, AnswerHandler}, {"log verbose", 3, 4, AnswerHandler},
        {"", -1, 0, nullptr},
    };
    CDebugFifo &cFifo = MakeFifo(atTable);
    auto fnAsk = [&](const std::string &strText) {
        std::string strRequest = strText;
        std::string strResponse;
        cFifo.Dispatch(strRequest, strResponse);
        return strResponse;
    };

    // Direct hits, any separators.
    EXPECT_EQ("answer 3/4", fnAsk("log   verbose\n"));
    EXPECT_EQ("answer 3/4", fnAsk("log,verbose"));

    // No default: the request is echoed back without its line end.
    std::string strLog =
        StdoutOf([&] { EXPECT_EQ("unhandle cmd :no such thing", fnAsk("no such thing\r\n")); });
    EXPECT_TRUE(std::regex_match(
        strLog, std::regex(PREFIX_RE + "IFNO\\]no such thing:no\\+such\\+thing\\+\n")))
        << strLog;

    // Default id only: the first entry in key order with that id.
    cFifo.SetDefaultCmd("", 7);
    EXPECT_EQ("answer 7/2", fnAsk("unknown"));

    // A default text that matches no key falls through to the id.
    cFifo.SetDefaultCmd("missing", 7);
    EXPECT_EQ("answer 7/2", fnAsk("unknown"));

    // A matching default text wins over the id; an empty request runs it.
    cFifo.SetDefaultCmd("help", 7);
    EXPECT_EQ("answer 1/3", fnAsk("\n"));
    EXPECT_EQ("answer 1/3", fnAsk("unknown"));

    // Neither matches: the last key tried is the default text's.
    cFifo.SetDefaultCmd("missing", 5);
    strLog = StdoutOf([&] { EXPECT_EQ("unhandle cmd :unknown", fnAsk("unknown")); });
    EXPECT_NE(std::string::npos, strLog.find("]unknown:missing+\n")) << strLog;
}

// ---------------------------------------------------------------- pipes

TEST_F(DebugFifoTest, OperatorGetsAnswersThroughThePipes)
{
    StartFifo();
    EXPECT_EQ("answer 1/11", Ask("help\n", 11));
    EXPECT_EQ("answer 3/33", Ask("log , verbose\n", 11));
    EXPECT_EQ("unhandle cmd :bogus", Ask("bogus\n", 19));
    // Nothing else was written: no line ends, no framing.
    EXPECT_EQ("", Receive(1, 100));
}

TEST_F(DebugFifoTest, EmptyAnswerWritesNothing)
{
    StartFifo();
    Send("quiet\n");
    ASSERT_TRUE(WaitFor([] { return g_s32CallCount.load() >= 1; }));
    EXPECT_EQ("answer 1/11", Ask("help\n", 11));
    EXPECT_EQ("", Receive(1, 100));
    std::vector<TCall> vecCalls = TakeCalls();
    ASSERT_EQ(2u, vecCalls.size());
    EXPECT_EQ(6, vecCalls[0].s32Id);
    EXPECT_EQ(1, vecCalls[1].s32Id);
}

TEST_F(DebugFifoTest, AnswerLargerThanThePipeArrivesWhole)
{
    StartFifo();
    const std::string strAnswer = Ask("big\n", BIG_ANSWER);
    ASSERT_EQ(BIG_ANSWER, strAnswer.size());
    for (size_t i = 0; i < BIG_ANSWER; i += 997) {
        ASSERT_EQ(static_cast<char>('a' + i % 26), strAnswer[i]) << "at " << i;
    }
    // The loop goes on afterwards.
    EXPECT_EQ("answer 1/11", Ask("help\n", 11));
}

TEST_F(DebugFifoTest, DestructorEndsLoopWaitingForARequest)
{
    StartFifo();
    // One answered request proves the loop runs; it is now waiting again.
    ASSERT_EQ("answer 1/11", Ask("help\n", 11));

    long s64Ms = 0;
    const std::string strLog = StdoutOf([&] { s64Ms = DestroyMs(); });
    EXPECT_LT(s64Ms, 1000);
    EXPECT_NE(std::string::npos, strLog.find("level:ERROR]debuf fifo thread exit\n")) << strLog;
    EXPECT_EQ(std::string::npos, strLog.find("read pipe")) << strLog;

    // Both pipes were closed (no reader left on the request pipe) and the
    // files stay for the next run.
    errno = 0;
    EXPECT_EQ(-1, open(m_strRequest.c_str(), O_WRONLY | O_NONBLOCK));
    EXPECT_EQ(ENXIO, errno);
    struct stat stInfo;
    ASSERT_EQ(0, stat(m_strRequest.c_str(), &stInfo));
    EXPECT_TRUE(S_ISFIFO(stInfo.st_mode));
}

TEST_F(DebugFifoTest, StopEndsLoopStuckOnAFullResponsePipe)
{
    CDebugFifo &cFifo = StartFifo();
    // Nobody reads: the answer fills the pipe and the loop waits for room.
    Send("big\n");
    ASSERT_TRUE(WaitFor([] { return g_s32CallCount.load() >= 1; }));
    EXPECT_LT(TimeBounded([&cFifo] { cFifo.Stop(); }, [this] { Release(); }), 1000);
    EXPECT_LT(DestroyMs(), 1000);
}

TEST_F(DebugFifoTest, UnstartedChannelIsDestroyedAtOnce)
{
    MakeFifo();
    EXPECT_LT(DestroyMs(), 1000);
    m_pFifo.reset(new CDebugFifo);
    EXPECT_LT(DestroyMs(), 1000);
}

TEST_F(DebugFifoTest, ExistingFilesAtThePipePathsAreReplaced)
{
    for (const std::string &strPath : {m_strRequest, m_strResponse}) {
        int s32Fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(s32Fd, 0);
        ASSERT_EQ(5, write(s32Fd, "stale", 5));
        close(s32Fd);
    }
    const mode_t u32OldMask = umask(0);
    StartFifo();
    umask(u32OldMask);
    for (const std::string &strPath : {m_strRequest, m_strResponse}) {
        struct stat stInfo;
        ASSERT_EQ(0, lstat(strPath.c_str(), &stInfo));
        EXPECT_TRUE(S_ISFIFO(stInfo.st_mode)) << strPath;
        EXPECT_EQ(0600u, stInfo.st_mode & 07777) << "the service's alone, whatever the umask";
    }
    EXPECT_EQ("answer 1/11", Ask("help\n", 11));
}

TEST_F(DebugFifoTest, OnlyItsOwnPrivatePipesAreUsed)
{
    // Something else put at a path between the service's mkfifo and its
    // open is neither used nor written through.
    const std::string strVictim = m_strRequest + ".victim";
    const std::string strLoop =
        " fail, errno " + std::to_string(ELOOP) + ":" + strerror(ELOOP) + "\n";
    const std::string strForeign =
        " is not a fifo owned by uid " + std::to_string(geteuid()) + ", not used\n";
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
        std::string strLine;  // the diagnostic: "open " for a failed open, then the path and this
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
        const std::string strLog = StdoutOf([&] { EXPECT_EQ(-1, cFifo.Init(g_atTable)); });
        g_fnRaceMkfifo = nullptr;
        const std::string strOpen = (tCase.strLine == strLoop) ? "open " : "";
        EXPECT_NE(std::string::npos,
                  strLog.find("level:ERROR]" + strOpen + tCase.strPath + tCase.strLine))
            << strLog;
        EXPECT_EQ("victim", ReadAll(strVictim));
        if (tCase.strLine == strForeign && tCase.strPath == m_strRequest) {
            EXPECT_EQ("stale", ReadAll(tCase.strPath)) << "neither truncated nor written";
        }
    }
    unlink(strVictim.c_str());
}

TEST_F(DebugFifoTest, MissingDirectoryFailsInitAndThreadEndsAtOnce)
{
    const std::string strSuffix = m_strSuffix + "_missing/x";
    const std::string strPath = std::string(SSHAPI_TEST_ROOT) + "/var/request" + strSuffix;
    CDebugFifo cFifo;
    cFifo.SetPathSuffix(strSuffix);
    const std::string strLog = StdoutOf([&] {
        EXPECT_EQ(-1, cFifo.Init(g_atTable));
        cFifo.Start();
        cFifo.Stop();
    });
    EXPECT_NE(std::string::npos,
              strLog.find("level:ERROR]mkfifo " + strPath + ", errno " + std::to_string(ENOENT) +
                          ":" + strerror(ENOENT) + "\n"))
        << strLog;
    EXPECT_NE(std::string::npos,
              strLog.find("level:ERROR]mkfifo read:-1 or write:-1 open incorrectly\n"))
        << strLog;
}

}  // namespace
