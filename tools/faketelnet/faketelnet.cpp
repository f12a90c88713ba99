// faketelnet: a stand-in for the device's telnet command service, used by the
// end-to-end tests, the demo and the benchmarks of sshapi.
//
// Every connection is expected to begin with one line (sshapi sends
// "local_ip_preview:<address>\n"); what happens after that line depends on
// the modes given on the command line:
//
//   (none)                 record only
//   --banner TEXT          send TEXT
//   --send-bytes N         send N pattern bytes, then keep reading
//   --close-after-preview  close the connection
//   --cli                  prompt "device> " and answer commands line by line
//   --sink                 count and hash the bytes instead of recording them
//   --read-rate N          read at most N bytes a second after the preview line
//
// Output after the preview line goes out in this order: banner, pattern bytes,
// then the close or the first prompt.  Every connection has a reader (its
// own thread) and a writer thread fed through a queue, so a peer that writes
// while it is being written to never deadlocks against this process; the
// queue is bounded and the reader waits when it is full.
//
// Pattern: byte i of a pattern stream ("send <N>" or --send-bytes) is
// (i * 31 + 7) mod 256, with i counted from the first byte of that stream.
// Its period is 256, so one pre-built buffer is sent in slices and the bulk
// path does no per-byte work.  The Python harness has the same pattern(n).
//
// Recording (--record-dir DIR): connection N (1, 2, 3, ... in accept order)
// appends what it receives to DIR/conn-N.bin with one write(2) per read, so a
// test can follow it while the connection is live; in --sink mode only the
// preview line is recorded.  When the connection has ended, DIR/conn-N.done
// appears (written to a temporary name, then renamed) holding
// "bytes=<total received>\n" and, in --sink mode,
// "fnv1a64=<16 hex digits>\n": FNV-1a 64 of all bytes after the preview line.

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace
{

constexpr size_t PATTERN_PERIOD = 256;
constexpr size_t PATTERN_CHUNK = 1024 * 1024;  // multiple of the period
constexpr size_t READ_BUFFER = 256 * 1024;
constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ULL;
constexpr uint64_t FNV_PRIME = 0x100000001b3ULL;
constexpr char PROMPT[] = "device> ";
constexpr size_t QUEUE_MAX = 64 * 1024 * 1024;  // output bytes queued before reading waits

struct TOptions
{
    std::string strListen = "127.0.0.1";
    std::string strPort = "0";
    std::string strPortFile;
    std::string strRecordDir;
    std::string strBanner;
    bool bBanner = false;
    bool bCli = false;
    bool bCloseAfterPreview = false;
    bool bSink = false;
    uint64_t u64SendBytes = 0;
    uint64_t u64ReadRate = 0;  // bytes a second after the preview line; 0: as fast as it comes
};

TOptions g_stOpts;
std::vector<unsigned char> g_vecPattern;  // PATTERN_CHUNK + PATTERN_PERIOD bytes
int g_as32StopPipe[2] = {-1, -1};

// Live connections: id -> socket, so that a stop can shut them all down.
std::mutex g_cLiveMutex;
std::condition_variable g_cLiveCond;
std::map<unsigned, int> g_mapLive;

std::mutex g_cStdoutMutex;

void Say(const char *szFmt, ...) __attribute__((format(printf, 1, 2)));
void Say(const char *szFmt, ...)
{
    std::lock_guard<std::mutex> cGuard(g_cStdoutMutex);
    va_list stArgs;
    va_start(stArgs, szFmt);
    vfprintf(stdout, szFmt, stArgs);
    va_end(stArgs);
    fflush(stdout);
}

void OnStopSignal(int)
{
    int s32SavedErrno = errno;
    char chByte = 's';
    ssize_t sRet = write(g_as32StopPipe[1], &chByte, 1);
    (void)sRet;
    errno = s32SavedErrno;
}

// Writes the whole buffer, across partial writes and EINTR: with write(2),
// or to a socket (bSocket) with send(2), whose MSG_NOSIGNAL keeps a gone peer
// from raising SIGPIPE.
int WriteAll(int s32Fd, const void *pData, size_t szLen, bool bSocket = false)
{
    const char *pCur = static_cast<const char *>(pData);
    while (szLen > 0) {
        ssize_t sRet = bSocket ? send(s32Fd, pCur, szLen, MSG_NOSIGNAL) : write(s32Fd, pCur, szLen);
        if (sRet < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        pCur += sRet;
        szLen -= static_cast<size_t>(sRet);
    }
    return 0;
}

int SendAll(int s32Fd, const void *pData, size_t szLen)
{
    return WriteAll(s32Fd, pData, szLen, true);
}

int ParseU64(const char *szText, uint64_t *pu64Value)
{
    if (szText == nullptr || *szText < '0' || *szText > '9') {
        return -1;
    }
    errno = 0;
    char *pEnd = nullptr;
    unsigned long long u64Val = strtoull(szText, &pEnd, 10);
    if (errno != 0 || pEnd == szText || *pEnd != '\0') {
        return -1;
    }
    *pu64Value = static_cast<uint64_t>(u64Val);
    return 0;
}

int WriteFileAtomically(const std::string &strPath, const std::string &strContent)
{
    std::string strTmp = strPath + ".tmp";
    int s32Fd = open(strTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (s32Fd < 0) {
        return -1;
    }
    int s32Err = WriteAll(s32Fd, strContent.data(), strContent.size());
    if (close(s32Fd) != 0) {
        s32Err = -1;
    }
    if (s32Err != 0 || rename(strTmp.c_str(), strPath.c_str()) != 0) {
        unlink(strTmp.c_str());
        return -1;
    }
    return 0;
}

// One accepted connection: the calling thread reads, a second thread writes.
class CConnection
{
public:
    CConnection(unsigned u32Id, int s32Fd) : m_u32Id(u32Id), m_s32Fd(s32Fd) {}
    CConnection(const CConnection &) = delete;
    CConnection &operator=(const CConnection &) = delete;

    void Run();

private:
    enum EOutKind
    {
        OUT_DATA,
        OUT_PATTERN,
        OUT_CLOSE
    };
    struct TOutItem
    {
        EOutKind eKind;
        std::string strData;
        uint64_t u64Count;
    };

    void OpenRecord();
    void Record(const char *pData, size_t szLen);
    void OnPreviewDone();
    void OnPayload(const char *pData, size_t szLen);
    void OnCliLine(const std::string &strLine);
    void Enqueue(EOutKind eKind, std::string strData, uint64_t u64Count);
    void WriterLoop();
    int SendPattern(uint64_t u64Count);
    void Finish();

    unsigned m_u32Id;
    int m_s32Fd;
    int m_s32RecordFd = -1;
    uint64_t m_u64Received = 0;
    uint64_t m_u64Hash = FNV_OFFSET;
    bool m_bPreviewDone = false;
    bool m_bClosing = false;
    std::string m_strCliLine;

    std::mutex m_cMutex;
    std::condition_variable m_cCond;
    std::deque<TOutItem> m_deqOut;
    size_t m_szQueued = 0;
    bool m_bInputEnded = false;
    bool m_bWriteFailed = false;
};

void CConnection::OpenRecord()
{
    if (g_stOpts.strRecordDir.empty()) {
        return;
    }
    std::string strPath = g_stOpts.strRecordDir + "/conn-" + std::to_string(m_u32Id) + ".bin";
    m_s32RecordFd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_s32RecordFd < 0) {
        Say("faketelnet: cannot open %s: %s\n", strPath.c_str(), strerror(errno));
    }
}

void CConnection::Record(const char *pData, size_t szLen)
{
    if (m_s32RecordFd >= 0 && WriteAll(m_s32RecordFd, pData, szLen) != 0) {
        Say("faketelnet: conn %u: record write failed: %s\n", m_u32Id, strerror(errno));
        close(m_s32RecordFd);
        m_s32RecordFd = -1;
    }
}

void CConnection::Enqueue(EOutKind eKind, std::string strData, uint64_t u64Count)
{
    std::unique_lock<std::mutex> cLock(m_cMutex);
    // Back-pressure: wait while the writer is behind, unless it has given up.
    m_cCond.wait(cLock, [this] { return m_bWriteFailed || m_szQueued < QUEUE_MAX; });
    if (m_bWriteFailed) {
        if (eKind == OUT_CLOSE) {
            shutdown(m_s32Fd, SHUT_RDWR);  // nothing left to flush: close now
        }
        return;
    }
    m_szQueued += strData.size();
    m_deqOut.push_back(TOutItem{eKind, std::move(strData), u64Count});
    m_cCond.notify_all();
}

int CConnection::SendPattern(uint64_t u64Count)
{
    uint64_t u64Pos = 0;
    while (u64Pos < u64Count) {
        uint64_t u64Left = u64Count - u64Pos;
        size_t szChunk = u64Left < PATTERN_CHUNK ? static_cast<size_t>(u64Left) : PATTERN_CHUNK;
        const unsigned char *pStart = g_vecPattern.data() + (u64Pos % PATTERN_PERIOD);
        if (SendAll(m_s32Fd, pStart, szChunk) != 0) {
            return -1;
        }
        u64Pos += szChunk;
    }
    return 0;
}

void CConnection::WriterLoop()
{
    for (;;) {
        TOutItem stItem;
        {
            std::unique_lock<std::mutex> cLock(m_cMutex);
            m_cCond.wait(cLock, [this] { return !m_deqOut.empty() || m_bInputEnded; });
            if (m_deqOut.empty()) {
                return;  // input ended and everything queued has been handled
            }
            stItem = std::move(m_deqOut.front());
            m_deqOut.pop_front();
        }
        bool bFailed;
        {
            std::lock_guard<std::mutex> cGuard(m_cMutex);
            bFailed = m_bWriteFailed;
        }
        int s32Err = 0;
        if (!bFailed) {
            switch (stItem.eKind) {
            case OUT_DATA:
                s32Err = SendAll(m_s32Fd, stItem.strData.data(), stItem.strData.size());
                break;
            case OUT_PATTERN: s32Err = SendPattern(stItem.u64Count); break;
            case OUT_CLOSE:
                // Everything before the close has been sent; the reader sees
                // end of input and finishes the connection.
                shutdown(m_s32Fd, SHUT_RDWR);
                s32Err = -1;
                break;
            }
            if (s32Err != 0 && stItem.eKind != OUT_CLOSE) {
                Say("faketelnet: conn %u: send failed: %s\n", m_u32Id, strerror(errno));
            }
        }
        std::lock_guard<std::mutex> cGuard(m_cMutex);
        m_szQueued -= stItem.strData.size();
        if (s32Err != 0 && !m_bWriteFailed) {
            m_bWriteFailed = true;
            for (const TOutItem &stLeft : m_deqOut) {
                m_szQueued -= stLeft.strData.size();
                if (stLeft.eKind == OUT_CLOSE) {
                    shutdown(m_s32Fd, SHUT_RDWR);  // a queued close still happens
                }
            }
            m_deqOut.clear();
        }
        m_cCond.notify_all();
    }
}

void CConnection::OnPreviewDone()
{
    if (g_stOpts.bBanner) {
        Enqueue(OUT_DATA, g_stOpts.strBanner, 0);
    }
    if (g_stOpts.u64SendBytes > 0) {
        Enqueue(OUT_PATTERN, std::string(), g_stOpts.u64SendBytes);
    }
    if (g_stOpts.bCloseAfterPreview) {
        m_bClosing = true;
        Enqueue(OUT_CLOSE, std::string(), 0);
    } else if (g_stOpts.bCli) {
        Enqueue(OUT_DATA, PROMPT, 0);
    }
}

void CConnection::OnCliLine(const std::string &strLine)
{
    if (strLine == "close") {
        m_bClosing = true;
        Enqueue(OUT_CLOSE, std::string(), 0);
        return;
    }
    std::string strReply;
    uint64_t u64Count = 0;
    if (strLine == "ping") {
        strReply = "pong\r\n";
    } else if (strLine == "show version") {
        strReply = "fake-device 1.0\r\n";
    } else if (strLine == "echo") {
        strReply = "\r\n";
    } else if (strLine.compare(0, 5, "echo ") == 0) {
        strReply = strLine.substr(5) + "\r\n";
    } else if (strLine.compare(0, 5, "send ") == 0 &&
               ParseU64(strLine.c_str() + 5, &u64Count) == 0) {
        if (u64Count > 0) {
            Enqueue(OUT_PATTERN, std::string(), u64Count);
        }
    } else {
        strReply = "% unknown command: " + strLine + "\r\n";
    }
    strReply += PROMPT;
    Enqueue(OUT_DATA, std::move(strReply), 0);
}

void CConnection::OnPayload(const char *pData, size_t szLen)
{
    if (g_stOpts.bSink) {
        uint64_t u64Hash = m_u64Hash;
        for (size_t i = 0; i < szLen; ++i) {
            u64Hash ^= static_cast<unsigned char>(pData[i]);
            u64Hash *= FNV_PRIME;
        }
        m_u64Hash = u64Hash;
    }
    if (m_bClosing) {
        return;
    }
    if (g_stOpts.bCli) {
        const char *pCur = pData;
        const char *pEnd = pData + szLen;
        while (pCur < pEnd && !m_bClosing) {
            const char *pStop = pCur;
            while (pStop < pEnd && *pStop != '\r' && *pStop != '\n') {
                ++pStop;
            }
            m_strCliLine.append(pCur, static_cast<size_t>(pStop - pCur));
            if (pStop == pEnd) {
                break;  // line continues in a later read
            }
            if (!m_strCliLine.empty()) {  // "\r\n" leaves an empty piece
                std::string strLine;
                strLine.swap(m_strCliLine);
                OnCliLine(strLine);
            }
            pCur = pStop + 1;
        }
    }
}

void CConnection::Finish()
{
    if (m_s32RecordFd >= 0) {
        close(m_s32RecordFd);
        m_s32RecordFd = -1;
    }
    if (!g_stOpts.strRecordDir.empty()) {
        char szDone[96];
        int s32Len = snprintf(szDone, sizeof(szDone), "bytes=%llu\n",
                              static_cast<unsigned long long>(m_u64Received));
        std::string strDone(szDone, static_cast<size_t>(s32Len));
        if (g_stOpts.bSink) {
            s32Len = snprintf(szDone, sizeof(szDone), "fnv1a64=%016llx\n",
                              static_cast<unsigned long long>(m_u64Hash));
            strDone.append(szDone, static_cast<size_t>(s32Len));
        }
        std::string strPath = g_stOpts.strRecordDir + "/conn-" + std::to_string(m_u32Id) + ".done";
        if (WriteFileAtomically(strPath, strDone) != 0) {
            Say("faketelnet: cannot write %s: %s\n", strPath.c_str(), strerror(errno));
        }
    }
    Say("faketelnet: conn %u done bytes=%llu\n", m_u32Id,
        static_cast<unsigned long long>(m_u64Received));
}

void CConnection::Run()
{
    OpenRecord();
    std::thread cWriter;
    try {
        cWriter = std::thread(&CConnection::WriterLoop, this);
    } catch (const std::system_error &cErr) {
        Say("faketelnet: conn %u: no writer thread: %s\n", m_u32Id, cErr.what());
        std::lock_guard<std::mutex> cGuard(m_cMutex);
        m_bWriteFailed = true;  // keep recording; nothing can be sent
    }

    std::vector<char> vecBuf(READ_BUFFER);
    // A slow reader reads a twentieth of its rate at a time and keeps pace
    // with a clock that starts after the preview line.
    uint64_t u64Rate = g_stOpts.u64ReadRate;
    size_t szSlice = u64Rate == 0
                         ? READ_BUFFER
                         : std::max<size_t>(1, std::min<uint64_t>(READ_BUFFER, u64Rate / 20));
    auto tPaced = std::chrono::steady_clock::now();
    uint64_t u64Paced = 0;
    for (;;) {
        if (u64Rate != 0 && m_bPreviewDone) {
            std::this_thread::sleep_until(tPaced +
                                          std::chrono::microseconds(u64Paced * 1000000 / u64Rate));
        }
        ssize_t sRet = read(m_s32Fd, vecBuf.data(), m_bPreviewDone ? szSlice : vecBuf.size());
        if (sRet < 0 && errno == EINTR) {
            continue;
        }
        if (sRet <= 0) {
            break;
        }
        const char *pData = vecBuf.data();
        size_t szLen = static_cast<size_t>(sRet);
        m_u64Received += szLen;
        if (!m_bPreviewDone) {
            const char *pNl = static_cast<const char *>(memchr(pData, '\n', szLen));
            size_t szPreview = pNl != nullptr ? static_cast<size_t>(pNl - pData) + 1 : szLen;
            Record(pData, szPreview);
            if (pNl == nullptr) {
                continue;
            }
            m_bPreviewDone = true;
            tPaced = std::chrono::steady_clock::now();
            OnPreviewDone();
            pData += szPreview;
            szLen -= szPreview;
        }
        u64Paced += szLen;
        if (szLen > 0) {
            if (!g_stOpts.bSink) {
                Record(pData, szLen);
            }
            OnPayload(pData, szLen);
        }
    }

    {
        std::lock_guard<std::mutex> cGuard(m_cMutex);
        m_bInputEnded = true;
        m_cCond.notify_all();
    }
    if (cWriter.joinable()) {
        cWriter.join();
    }
    Finish();
}

void ServeConnection(unsigned u32Id, int s32Fd)
{
    {
        CConnection cConn(u32Id, s32Fd);
        cConn.Run();
    }
    std::lock_guard<std::mutex> cGuard(g_cLiveMutex);
    g_mapLive.erase(u32Id);
    close(s32Fd);  // under the lock: a stop never shuts down a reused number
    g_cLiveCond.notify_all();
}

int OpenListener()
{
    struct addrinfo stHints;
    memset(&stHints, 0, sizeof(stHints));
    stHints.ai_family = AF_UNSPEC;
    stHints.ai_socktype = SOCK_STREAM;
    stHints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo *pList = nullptr;
    int s32Gai =
        getaddrinfo(g_stOpts.strListen.c_str(), g_stOpts.strPort.c_str(), &stHints, &pList);
    if (s32Gai != 0) {
        fprintf(stderr, "faketelnet: bad listen address %s port %s: %s\n",
                g_stOpts.strListen.c_str(), g_stOpts.strPort.c_str(), gai_strerror(s32Gai));
        return -1;
    }
    int s32Fd = -1;
    for (struct addrinfo *pAi = pList; pAi != nullptr; pAi = pAi->ai_next) {
        s32Fd = socket(pAi->ai_family, pAi->ai_socktype | SOCK_CLOEXEC, pAi->ai_protocol);
        if (s32Fd < 0) {
            continue;
        }
        int s32On = 1;
        setsockopt(s32Fd, SOL_SOCKET, SO_REUSEADDR, &s32On, sizeof(s32On));
        if (g_stOpts.u64ReadRate != 0) {
            // A slow reader keeps little in its kernel buffer, as a busy
            // device does: what the sender has not delivered stays with it.
            int s32Buf = 64 * 1024;
            setsockopt(s32Fd, SOL_SOCKET, SO_RCVBUF, &s32Buf, sizeof(s32Buf));
        }
        if (bind(s32Fd, pAi->ai_addr, pAi->ai_addrlen) == 0 && listen(s32Fd, 128) == 0) {
            break;
        }
        fprintf(stderr, "faketelnet: cannot listen on %s port %s: %s\n", g_stOpts.strListen.c_str(),
                g_stOpts.strPort.c_str(), strerror(errno));
        close(s32Fd);
        s32Fd = -1;
    }
    freeaddrinfo(pList);
    return s32Fd;
}

int BoundPort(int s32Fd)
{
    struct sockaddr_storage stAddr;
    socklen_t u32Len = sizeof(stAddr);
    if (getsockname(s32Fd, reinterpret_cast<struct sockaddr *>(&stAddr), &u32Len) != 0) {
        return -1;
    }
    if (stAddr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<struct sockaddr_in6 *>(&stAddr)->sin6_port);
    }
    return ntohs(reinterpret_cast<struct sockaddr_in *>(&stAddr)->sin_port);
}

void Usage(const char *szProg)
{
    printf("%s [options]\n"
           "    --listen ADDR            address to listen on (default 127.0.0.1; ::1 works)\n"
           "    --port N                 port (default 0: ephemeral)\n"
           "    --port-file PATH         write the bound port to PATH (atomically)\n"
           "    --record-dir DIR         record connection N to DIR/conn-N.bin, summary in "
           "conn-N.done\n"
           "    --banner TEXT            send TEXT after the preview line\n"
           "    --cli                    answer device commands (ping, show version, echo, send N, "
           "close)\n"
           "    --send-bytes N           send N pattern bytes after the preview line\n"
           "    --close-after-preview    close the connection after the preview line\n"
           "    --sink                   discard input; summary gets fnv1a64 of it\n"
           "    --read-rate N            read at most N bytes a second after the preview\n"
           "    -h --help                this text\n",
           szProg);
}

int ParseOptions(int argc, char **argv)
{
    enum
    {
        OPT_LISTEN = 1000,
        OPT_PORT,
        OPT_PORT_FILE,
        OPT_RECORD_DIR,
        OPT_BANNER,
        OPT_CLI,
        OPT_SEND_BYTES,
        OPT_CLOSE_AFTER_PREVIEW,
        OPT_SINK,
        OPT_READ_RATE
    };
    static const struct option s_astLong[] = {
        {"listen", required_argument, nullptr, OPT_LISTEN},
        {"port", required_argument, nullptr, OPT_PORT},
        {"port-file", required_argument, nullptr, OPT_PORT_FILE},
        {"record-dir", required_argument, nullptr, OPT_RECORD_DIR},
        {"banner", required_argument, nullptr, OPT_BANNER},
        {"cli", no_argument, nullptr, OPT_CLI},
        {"send-bytes", required_argument, nullptr, OPT_SEND_BYTES},
        {"close-after-preview", no_argument, nullptr, OPT_CLOSE_AFTER_PREVIEW},
        {"sink", no_argument, nullptr, OPT_SINK},
        {"read-rate", required_argument, nullptr, OPT_READ_RATE},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    uint64_t u64Val = 0;
    int s32Opt;
    while ((s32Opt = getopt_long(argc, argv, "h", s_astLong, nullptr)) != -1) {
        switch (s32Opt) {
        case OPT_LISTEN: g_stOpts.strListen = optarg; break;
        case OPT_PORT:
            if (ParseU64(optarg, &u64Val) != 0 || u64Val > 65535) {
                fprintf(stderr, "faketelnet: bad port: %s\n", optarg);
                return -1;
            }
            g_stOpts.strPort = optarg;
            break;
        case OPT_PORT_FILE: g_stOpts.strPortFile = optarg; break;
        case OPT_RECORD_DIR: g_stOpts.strRecordDir = optarg; break;
        case OPT_SEND_BYTES:
            if (ParseU64(optarg, &g_stOpts.u64SendBytes) != 0) {
                fprintf(stderr, "faketelnet: bad number: %s\n", optarg);
                return -1;
            }
            break;
        case OPT_BANNER:
            g_stOpts.strBanner = optarg;
            g_stOpts.bBanner = true;
            break;
        case OPT_CLI: g_stOpts.bCli = true; break;
        case OPT_CLOSE_AFTER_PREVIEW: g_stOpts.bCloseAfterPreview = true; break;
        case OPT_SINK: g_stOpts.bSink = true; break;
        case OPT_READ_RATE:
            if (ParseU64(optarg, &g_stOpts.u64ReadRate) != 0 || g_stOpts.u64ReadRate == 0) {
                fprintf(stderr, "faketelnet: bad rate: %s\n", optarg);
                return -1;
            }
            break;
        case 'h': Usage(argv[0]); exit(0);
        default: Usage(argv[0]); return -1;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "faketelnet: unexpected argument: %s\n", argv[optind]);
        return -1;
    }
    return 0;
}

int InstallSignals()
{
    if (pipe2(g_as32StopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    struct sigaction stAct;
    memset(&stAct, 0, sizeof(stAct));
    stAct.sa_handler = OnStopSignal;
    sigemptyset(&stAct.sa_mask);
    stAct.sa_flags = SA_RESTART;
    if (sigaction(SIGTERM, &stAct, nullptr) != 0 || sigaction(SIGINT, &stAct, nullptr) != 0) {
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

// Shut every live connection down and wait (bounded) for their threads;
// returns how many are still running.
size_t StopConnections()
{
    std::unique_lock<std::mutex> cLock(g_cLiveMutex);
    for (const auto &cLive : g_mapLive) {
        shutdown(cLive.second, SHUT_RDWR);
    }
    g_cLiveCond.wait_for(cLock, std::chrono::seconds(10), [] { return g_mapLive.empty(); });
    return g_mapLive.size();
}

}  // namespace

int main(int argc, char **argv)
{
    if (ParseOptions(argc, argv) != 0) {
        return 2;
    }
    g_vecPattern.resize(PATTERN_CHUNK + PATTERN_PERIOD);
    for (size_t i = 0; i < g_vecPattern.size(); ++i) {
        g_vecPattern[i] = static_cast<unsigned char>((i * 31 + 7) & 0xff);
    }
    if (InstallSignals() != 0) {
        perror("faketelnet: signals");
        return 1;
    }
    if (!g_stOpts.strRecordDir.empty() && mkdir(g_stOpts.strRecordDir.c_str(), 0755) != 0 &&
        errno != EEXIST) {
        fprintf(stderr, "faketelnet: cannot create %s: %s\n", g_stOpts.strRecordDir.c_str(),
                strerror(errno));
        return 1;
    }
    int s32ListenFd = OpenListener();
    if (s32ListenFd < 0) {
        return 1;
    }
    int s32Port = BoundPort(s32ListenFd);
    if (s32Port < 0) {
        perror("faketelnet: getsockname");
        return 1;
    }
    if (!g_stOpts.strPortFile.empty() &&
        WriteFileAtomically(g_stOpts.strPortFile, std::to_string(s32Port) + "\n") != 0) {
        fprintf(stderr, "faketelnet: cannot write %s: %s\n", g_stOpts.strPortFile.c_str(),
                strerror(errno));
        return 1;
    }
    Say("faketelnet listening on %d\n", s32Port);

    unsigned u32NextId = 1;
    for (;;) {
        struct pollfd astPoll[2];
        astPoll[0].fd = s32ListenFd;
        astPoll[0].events = POLLIN;
        astPoll[1].fd = g_as32StopPipe[0];
        astPoll[1].events = POLLIN;
        int s32Ready = poll(astPoll, 2, -1);
        if (s32Ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("faketelnet: poll");
            break;
        }
        if (astPoll[1].revents != 0) {
            break;
        }
        if ((astPoll[0].revents & POLLIN) == 0) {
            continue;
        }
        int s32Fd = accept4(s32ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (s32Fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                Say("faketelnet: accept: %s\n", strerror(errno));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let connections end
            }
            continue;  // EINTR, ECONNABORTED and other per-connection errors
        }
        int s32On = 1;
        setsockopt(s32Fd, IPPROTO_TCP, TCP_NODELAY, &s32On, sizeof(s32On));
        unsigned u32Id = u32NextId++;
        std::lock_guard<std::mutex> cGuard(g_cLiveMutex);
        g_mapLive[u32Id] = s32Fd;
        try {
            std::thread(ServeConnection, u32Id, s32Fd).detach();
        } catch (const std::system_error &cErr) {
            Say("faketelnet: conn %u: no thread: %s\n", u32Id, cErr.what());
            g_mapLive.erase(u32Id);
            close(s32Fd);
        }
    }
    close(s32ListenFd);
    size_t szBusy = StopConnections();
    if (szBusy > 0) {
        // Their threads still use the globals: leave without destructors.
        Say("faketelnet: %zu connections still busy at exit\n", szBusy);
        _exit(1);
    }
    Say("faketelnet: stopped\n");
    return 0;
}
