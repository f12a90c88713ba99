#include "debugfifo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "devicepaths.h"

namespace
{

const SInt32 LEVEL_DEBUG = 0;
const SInt32 LEVEL_INFO = 1;
const SInt32 LEVEL_ERROR = 3;

// One read of the request pipe is one request.
const size_t REQUEST_MAX = 10240;
const char KEY_DELIMS[] = " \t:,";

void LogLine(const char *szFile, int s32Line, SInt32 s32Level, const char *szFmt, ...)
    __attribute__((format(printf, 4, 5)));

// Writes one diagnostic line: local time to the millisecond, source file,
// line and level, then the message. The line is formatted first and written
// in one piece so that lines of different threads do not interleave.
void LogLine(const char *szFile, int s32Line, SInt32 s32Level, const char *szFmt, ...)
{
    struct timeval stNow;
    gettimeofday(&stNow, nullptr);
    struct tm stTm;
    memset(&stTm, 0, sizeof(stTm));
    localtime_r(&stNow.tv_sec, &stTm);

    char szPrefix[256];
    snprintf(
        szPrefix, sizeof(szPrefix), "[%04d%02d%02d%02d%02d%02d%03ld][file:%s,line:%d,level:%s]",
        stTm.tm_year + 1900, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min, stTm.tm_sec,
        static_cast<long>(stNow.tv_usec / 1000), szFile, s32Line, CDebugFifo::LevelName(s32Level));

    va_list stArgs;
    va_start(stArgs, szFmt);
    va_list stCopy;
    va_copy(stCopy, stArgs);
    int s32Len = vsnprintf(nullptr, 0, szFmt, stCopy);
    va_end(stCopy);
    std::string strLine(szPrefix);
    if (s32Len > 0) {
        std::vector<char> vecMsg(static_cast<size_t>(s32Len) + 1);
        vsnprintf(vecMsg.data(), vecMsg.size(), szFmt, stArgs);
        strLine.append(vecMsg.data(), static_cast<size_t>(s32Len));
    }
    va_end(stArgs);

    fwrite(strLine.data(), 1, strLine.size(), stdout);
    fflush(stdout);
}

#define FIFO_LOG(level, ...) LogLine(__FILE__, __LINE__, (level), __VA_ARGS__)

void CloseFd(SInt32 &s32Fd)
{
    if (s32Fd >= 0) {
        close(s32Fd);
        s32Fd = -1;
    }
}

// Creates a named pipe that only this user can use and opens it for
// reading and writing: the open does not wait for a peer, and the pipe
// keeps a writer, so a reader never sees end of file. Whatever another user
// may have put at the path meanwhile is not used: the open follows no link,
// creates and truncates nothing, does not wait, and what it opened must be
// a FIFO of this effective user. The descriptor is non-blocking. Returns
// it, or -1 after a diagnostic line.
SInt32 MakeFifo(const std::string &strPath)
{
    if (mkfifo(strPath.c_str(), 0600) != 0) {
        int s32Errno = errno;
        FIFO_LOG(LEVEL_ERROR, "mkfifo %s, errno %d:%s\n", strPath.c_str(), s32Errno,
                 strerror(s32Errno));
        return -1;
    }
    SInt32 s32Fd = open(strPath.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (s32Fd < 0) {
        int s32Errno = errno;
        FIFO_LOG(LEVEL_ERROR, "open %s fail, errno %d:%s\n", strPath.c_str(), s32Errno,
                 strerror(s32Errno));
        return -1;
    }
    struct stat stInfo;
    if (fstat(s32Fd, &stInfo) != 0 || !S_ISFIFO(stInfo.st_mode) || stInfo.st_uid != geteuid()) {
        FIFO_LOG(LEVEL_ERROR, "%s is not a fifo owned by uid %u, not used\n", strPath.c_str(),
                 static_cast<unsigned>(geteuid()));
        close(s32Fd);
        return -1;
    }
    return s32Fd;
}

}  // namespace

CDebugFifo::CDebugFifo()
    : m_s32ReadFd(-1), m_s32WriteFd(-1), m_s32DefaultCmdId(0), m_aWakeFd{-1, -1}
{
    if (pipe2(m_aWakeFd, O_CLOEXEC | O_NONBLOCK) != 0) {
        int s32Errno = errno;
        FIFO_LOG(LEVEL_ERROR, "wake pipe, errno %d:%s\n", s32Errno, strerror(s32Errno));
        m_aWakeFd[0] = -1;
        m_aWakeFd[1] = -1;
    }
}

CDebugFifo::~CDebugFifo()
{
    // The read loop uses the members below, so it has to end before they go;
    // CThread's own destructor would join only after that.
    Stop();
    Close();
    CloseFd(m_aWakeFd[0]);
    CloseFd(m_aWakeFd[1]);
}

void CDebugFifo::Stop()
{
    if (m_aWakeFd[1] >= 0) {
        // The byte stays in the pipe, so the loop sees it even if it only
        // reaches poll() later.
        const char cWake = 1;
        ssize_t sRet;
        do {
            sRet = write(m_aWakeFd[1], &cWake, 1);
        } while (sRet < 0 && errno == EINTR);
    }
    CThread::Stop();
}

void CDebugFifo::SetPathSuffix(const std::string &strSuffix)
{
    m_strPathSuffix = strSuffix;
}

void CDebugFifo::SetDefaultCmd(const std::string &strCmd, SInt32 s32Id)
{
    m_strDefaultCmd = strCmd;
    m_s32DefaultCmdId = s32Id;
}

const char *CDebugFifo::LevelName(SInt32 s32Level)
{
    // The texts are what existing log readers match; keep them as they are.
    switch (s32Level) {
    case LEVEL_DEBUG: return "DEBUG";
    case LEVEL_INFO: return "IFNO";
    case 2: return "WARN";
    case LEVEL_ERROR: return "ERROR";
    default: return "UNKONWN";
    }
}

void CDebugFifo::Split(const std::string &strText, const char *szDelims,
                       std::vector<std::string> &vecOut)
{
    std::vector<char> vecBuf(strText.begin(), strText.end());
    vecBuf.push_back('\0');
    const size_t u64Before = vecOut.size();
    char *pSave = nullptr;
    for (char *pTok = strtok_r(vecBuf.data(), szDelims, &pSave); pTok != nullptr;
         pTok = strtok_r(nullptr, szDelims, &pSave)) {
        vecOut.emplace_back(pTok);
    }
    if (vecOut.size() == u64Before) {
        vecOut.push_back(strText);
    }
}

std::string CDebugFifo::MakeKey(std::string &strText)
{
    strText.erase(std::remove(strText.begin(), strText.end(), '\r'), strText.end());
    strText.erase(std::remove(strText.begin(), strText.end(), '\n'), strText.end());
    std::vector<std::string> vecTokens;
    Split(strText, KEY_DELIMS, vecTokens);
    std::string strKey;
    for (const std::string &strToken : vecTokens) {
        strKey += strToken;
        strKey += '+';
    }
    return strKey;
}

SInt32 CDebugFifo::Init(const DebugCmd *pTable)
{
    for (SInt32 i = 0; pTable != nullptr && !pTable[i].strName.empty() && pTable[i].s32Id != -1;
         ++i) {
        std::string strName = pTable[i].strName;
        std::string strKey = MakeKey(strName);
        FIFO_LOG(LEVEL_INFO, "cmd:%d-keys:%s-keyi:%d--%s\n", i, pTable[i].strName.c_str(),
                 pTable[i].s32Id, strKey.c_str());
        m_mapCmd.insert(std::make_pair(strKey, &pTable[i]));  // an earlier entry keeps its key
    }

    // A repeated Init replaces the pipes of the previous one.
    Close();
    m_strRequestPath = std::string(g_szDebugRequestPipe) + m_strPathSuffix;
    m_strResponsePath = std::string(g_szDebugResponsePipe) + m_strPathSuffix;

    // Whatever an earlier run left there, pipe or not, is replaced.
    unlink(m_strRequestPath.c_str());
    unlink(m_strResponsePath.c_str());

    m_s32ReadFd = MakeFifo(m_strRequestPath);
    if (m_s32ReadFd < 0) {
        return -1;
    }
    // The loop reads a request once poll() has seen one: a blocking read.
    int s32Flags = fcntl(m_s32ReadFd, F_GETFL);
    if (s32Flags >= 0) {
        fcntl(m_s32ReadFd, F_SETFL, s32Flags & ~O_NONBLOCK);
    }
    // The response pipe stays non-blocking: answers nobody reads pile up in
    // it, and once it is full a blocking write would stall the loop beyond
    // the reach of Stop().
    m_s32WriteFd = MakeFifo(m_strResponsePath);
    if (m_s32WriteFd < 0) {
        return -1;
    }
    return 0;
}

void CDebugFifo::Close()
{
    CloseFd(m_s32ReadFd);
    CloseFd(m_s32WriteFd);
}

SInt32 CDebugFifo::Dispatch(std::string &strRequest, std::string &strResponse)
{
    const DebugCmd *pCmd = nullptr;
    std::string strKey = MakeKey(strRequest);
    auto itCmd = m_mapCmd.find(strKey);
    if (itCmd != m_mapCmd.end()) {
        pCmd = itCmd->second;
    }
    if (pCmd == nullptr && !m_strDefaultCmd.empty()) {
        std::string strDefault = m_strDefaultCmd;
        strKey = MakeKey(strDefault);
        itCmd = m_mapCmd.find(strKey);
        if (itCmd != m_mapCmd.end()) {
            pCmd = itCmd->second;
        }
    }
    if (pCmd == nullptr && m_s32DefaultCmdId > 0) {
        for (const auto &itEntry : m_mapCmd) {
            if (itEntry.second->s32Id == m_s32DefaultCmdId) {
                pCmd = itEntry.second;
                break;
            }
        }
    }
    if (pCmd == nullptr) {
        strResponse += "unhandle cmd :";
        strResponse += strRequest;
        FIFO_LOG(LEVEL_INFO, "%s:%s\n", strRequest.c_str(), strKey.c_str());
        return 0;
    }
    if (pCmd->pfnHandler == nullptr) {
        return 0;
    }
    return pCmd->pfnHandler(pCmd->s32Id, pCmd->pParam, strResponse);
}

// Writes a whole answer to the non-blocking response pipe. While the pipe is
// full it waits for room or for the wake pipe; returns -1 when woken, so the
// loop can end, and 0 otherwise (a failed write only loses this answer).
static SInt32 WriteAnswer(SInt32 s32Fd, SInt32 s32WakeFd, const std::string &strAnswer)
{
    const char *pData = strAnswer.data();
    size_t u64Left = strAnswer.size();
    while (u64Left > 0) {
        ssize_t sWritten = write(s32Fd, pData, u64Left);
        if (sWritten > 0) {
            pData += sWritten;
            u64Left -= static_cast<size_t>(sWritten);
            continue;
        }
        if (sWritten < 0 && errno == EINTR) {
            continue;
        }
        if (sWritten < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd astFd[2] = {{s32Fd, POLLOUT, 0}, {s32WakeFd, POLLIN, 0}};
            if (poll(astFd, 2, -1) < 0 && errno != EINTR) {
                return 0;
            }
            if (astFd[1].revents != 0) {
                return -1;
            }
            continue;
        }
        return 0;
    }
    return 0;
}

void CDebugFifo::Run()
{
    if (m_s32ReadFd < 0 || m_s32WriteFd < 0) {
        FIFO_LOG(LEVEL_ERROR, "mkfifo read:%d or write:%d open incorrectly\n", m_s32ReadFd,
                 m_s32WriteFd);
        return;
    }
    if (m_aWakeFd[0] < 0) {
        // Without the wake pipe the loop could not be ended from outside.
        FIFO_LOG(LEVEL_ERROR, "wake pipe not open, debug fifo not started\n");
        return;
    }

    std::vector<char> vecBuf(REQUEST_MAX + 1);
    Bool bStopRequested = FALSE;
    int s32Errno = 0;
    for (;;) {
        struct pollfd astFd[2] = {{m_s32ReadFd, POLLIN, 0}, {m_aWakeFd[0], POLLIN, 0}};
        if (poll(astFd, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            s32Errno = errno;
            break;
        }
        if (astFd[1].revents != 0) {
            bStopRequested = TRUE;
            break;
        }
        if (astFd[0].revents == 0) {
            continue;
        }
        std::fill(vecBuf.begin(), vecBuf.end(), '\0');
        ssize_t sRead = read(m_s32ReadFd, vecBuf.data(), REQUEST_MAX);
        if (sRead < 0) {
            if (errno == EINTR) {
                continue;
            }
            s32Errno = errno;
            break;
        }
        std::string strRequest(vecBuf.data());
        std::string strResponse;
        Dispatch(strRequest, strResponse);
        if (!strResponse.empty() && WriteAnswer(m_s32WriteFd, m_aWakeFd[0], strResponse) != 0) {
            bStopRequested = TRUE;
            break;
        }
    }

    if (!bStopRequested) {
        FIFO_LOG(LEVEL_ERROR, "read pipe %s fail, errno %d:%s\n", m_strRequestPath.c_str(),
                 s32Errno, strerror(s32Errno));
        Close();
    }
    FIFO_LOG(LEVEL_ERROR, "debuf fifo thread exit\n");
}
