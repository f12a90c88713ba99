#include "sshsvr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "commonutils.h"
#include "svclog.h"

CSshSvr g_cSshSvr;

namespace
{

const int RELAY_BUF_SIZE = 262144;     // one read of a telnet socket
const int POLL_TIMEOUT_MS = 100;       // one pass of the session loops
const int AUTH_MAX_POLLS = 1000;       // authentication wait, about 100 s
const int AUTH_MAX_FAILURES = 3;
const int GRACE_MAX_POLLS = 50;        // teardown: client gets about 5 s to leave
const long KEX_TIMEOUT_SECONDS = 100;  // a client silent in the key exchange is dropped
const int ACCEPT_RETRY_PAUSE_MS = 100;
const size_t MAX_CHANNELS_PER_SESSION = 64;  // channels (telnet connections) per connection
// Echo text of at least this size is held back while at least this much
// client input is already queued on the session socket (one full read of
// libssh), until a relay buffer's worth has gathered. See FlushEcho.
const int ECHO_HOLD_MIN = 4096;
const size_t ECHO_KEEP_CAPACITY = 32768;  // echo buffers larger than this are kept only in bulk

// Per session thread (each session has its own): the echo text being
// written, whose buffer goes back to the channel record for the next round,
// and a scratch copy of a client chunk. Reusing them keeps a bulk transfer
// from allocating, faulting in and freeing large buffers for every packet.
thread_local std::string g_strEchoOut;
thread_local std::string g_strClientChunk;
const int LISTEN_BACKLOG = 128;        // pending connections the kernel queues

const char KEX_ALGORITHMS[] =
    "curve25519-sha256,curve25519-sha256@libssh.org,diffie-hellman-group14-sha1,"
    "diffie-hellman-group-exchange-sha256,ecdh-sha2-nistp256,ecdh-sha2-nistp384,"
    "ecdh-sha2-nistp521,diffie-hellman-group16-sha512,diffie-hellman-group18-sha512";
const char HMAC_ALGORITHMS[] =
    "hmac-sha2-256,hmac-sha2-512,hmac-sha1,umac-64-etm@openssh.com,umac-128-etm@openssh.com,"
    "hmac-sha2-256-etm@openssh.com,hmac-sha2-512-etm@openssh.com,hmac-sha1-etm@openssh.com";
const char CIPHER_ALGORITHMS[] =
    "aes128-ctr,aes192-ctr,aes256-ctr,aes128-gcm@openssh.com,aes256-gcm@openssh.com";

// The session object of the calling thread; every libssh callback of a
// connection runs on that connection's own session thread.
CSshSvrChn *CurrentSvrChn()
{
    return dynamic_cast<CSshSvrChn *>(CThread::GetCurrent());
}

// libssh's log output, passed into the service's log at INFO.
void SshLogBridge(int s32Priority, const char *szFunction, const char *szBuffer, void *)
{
    if (!SvcLogEnabled(LOG_PRIO_INFO)) {
        return;
    }
    std::string strMsg = szBuffer != nullptr ? EscapeForLog(szBuffer, strlen(szBuffer)) : "";
    LOG_INFO("ssh-log[%d][%s][%s]", s32Priority, szFunction != nullptr ? szFunction : "",
             strMsg.c_str());
}

// Turns off Nagle's algorithm on a socket. The relay often sends two small
// packets in a row (the echo of a line, then the telnet service's answer);
// with Nagle the second waits for the client's delayed acknowledgement,
// about 40 ms on Linux, and so does every step of the login.
int SetNoDelay(int s32Fd)
{
    int s32On = 1;
    return setsockopt(s32Fd, IPPROTO_TCP, TCP_NODELAY, &s32On, sizeof(s32On)) == 0 ? 0 : -1;
}

// Sends all of a buffer on a blocking socket, resuming after signals and
// partial sends. Returns the count sent, which is short only on an error.
ssize_t SendAll(int s32Fd, const char *pData, size_t u64Len)
{
    size_t u64Sent = 0;
    while (u64Sent < u64Len) {
        ssize_t s64Ret = send(s32Fd, pData + u64Sent, u64Len - u64Sent, 0);
        if (s64Ret < 0) {
            if (errno == EINTR) {
                continue;
            }
            return u64Sent == 0 ? -1 : static_cast<ssize_t>(u64Sent);
        }
        u64Sent += static_cast<size_t>(s64Ret);
    }
    return static_cast<ssize_t>(u64Sent);
}

// A protocol error on an established session (a packet length out of range,
// a bad MAC) puts libssh's session into its error state without making
// ssh_event_dopoll fail; libssh then keeps buffering whatever the peer sends,
// up to 256 MiB per session, and the session would last until the client
// leaves. The session loops end such a session at once.
bool SessionBroken(ssh_session pSession)
{
    return (ssh_get_status(pSession) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0;
}

// Bytes of client input waiting in the kernel on the session socket of a
// channel, 0 when none or unknown.
int ClientInputQueued(ssh_channel pChannel)
{
    int s32Fd = ssh_get_fd(ssh_channel_get_session(pChannel));
    int s32Pending = 0;
    if (s32Fd < 0 || ioctl(s32Fd, FIONREAD, &s32Pending) != 0) {
        return 0;
    }
    return s32Pending;
}

// ---- server callbacks ----------------------------------------------------

int auth_password(ssh_session, const char *szUser, const char *szPassword, void *pUserdata)
{
    TAuthState *pAuth = static_cast<TAuthState *>(pUserdata);
    std::string strUser = szUser != nullptr ? szUser : "";
    std::string strPwd = szPassword != nullptr ? szPassword : "";

    LOG_INFO("check user [%s]", EscapeForLog(strUser).c_str());
    // One poll can carry many pipelined password requests: once the limit
    // is reached, refuse without checking so no further guesses are made.
    if (pAuth->s32AuthAttempts >= AUTH_MAX_FAILURES) {
        LOG_ERROR("too many failed attempts (%d), request refused", pAuth->s32AuthAttempts);
        pAuth->s32AuthAttempts++;
        return SSH_AUTH_DENIED;
    }
    if (pAuth->pSvrChn == nullptr) {
        LOG_ERROR("ssh server chn is not init");
        pAuth->s32AuthAttempts++;
        return SSH_AUTH_DENIED;
    }
    if (pAuth->pSvrChn->CheckUser(strUser, strPwd) == 1) {
        pAuth->s32Authenticated = 1;
        return SSH_AUTH_SUCCESS;
    }
    pAuth->s32AuthAttempts++;
    return SSH_AUTH_DENIED;
}

ssh_channel channel_open(ssh_session pSession, void *pUserdata)
{
    TAuthState *pAuth = static_cast<TAuthState *>(pUserdata);
    ssh_channel pChannel = ssh_channel_new(pSession);
    if (pChannel == nullptr) {
        LOG_ERROR("new channel fail");
        return nullptr;
    }
    if (pAuth->pChannel == nullptr) {
        pAuth->pChannel = pChannel;
    }
    if (pAuth->pSvrChn != nullptr && pAuth->pSvrChn->OpenTelnet(pChannel) == 0) {
        LOG_INFO("open new channel=%p, telnet fd:%d", static_cast<void *>(pChannel),
                 pAuth->pSvrChn->GetTelnetFd(pChannel));
        // Installed before the open is confirmed, so no request of the
        // client can reach a channel that has no callbacks yet.
        pAuth->pSvrChn->InstallChannelCallbacks(pChannel);
        return pChannel;
    }
    LOG_INFO("init ssh channel fail");
    ssh_channel_free(pChannel);
    return nullptr;
}

// ---- channel callbacks ---------------------------------------------------

int data_function(ssh_session, ssh_channel pChannel, void *pData, uint32_t u32Len, int,
                  void *pUserdata)
{
    TChnCbCtx *pCtx = static_cast<TChnCbCtx *>(pUserdata);
    const char *pBytes = static_cast<const char *>(pData);

    if (SvcLogEnabled(LOG_PRIO_DEBUG)) {
        LOG_DEBUG("#### data_function get data[%s] len %d from ssh client",
                  EscapeForLog(pBytes, u32Len, true).c_str(), static_cast<int>(u32Len));
    }
    int s32Fd = pCtx->pSvrChn->GetTelnetFd(pChannel);
    if (s32Fd == -1) {
        LOG_ERROR("telnet connection isnot open, %d, channel:%p", s32Fd,
                  static_cast<void *>(pChannel));
        return 0;
    }
    ssize_t s64Sent = SendAll(s32Fd, pBytes, u32Len);
    if (s64Sent != static_cast<ssize_t>(u32Len)) {
        LOG_ERROR("write telnet socket len :%d less then buf len :%d", static_cast<int>(s64Sent),
                  static_cast<int>(u32Len));
    }
    if (u32Len == 1 && pBytes[0] == '\r') {
        pCtx->pSvrChn->AddEcho(pChannel, std::string("\r\n"));
    } else {
        g_strClientChunk.assign(pBytes, strnlen(pBytes, u32Len));
        pCtx->pSvrChn->AddEcho(pChannel, g_strClientChunk);
    }
    return static_cast<int>(u32Len);
}

int pty_request(ssh_session, ssh_channel, const char *, int s32Width, int s32Height,
                int s32PxWidth, int s32PxHeight, void *)
{
    LOG_INFO("#### pty_request %d-%d-%d-%d", s32Height, s32Width, s32PxHeight, s32PxWidth);
    return 0;
}

int pty_resize(ssh_session, ssh_channel, int s32Width, int s32Height, int s32PxWidth,
               int s32PxHeight, void *)
{
    LOG_INFO("#### pty_resize %d-%d-%d-%d", s32Height, s32Width, s32PxHeight, s32PxWidth);
    return 0;
}

int shell_request(ssh_session, ssh_channel, void *pUserdata)
{
    TChnCbCtx *pCtx = static_cast<TChnCbCtx *>(pUserdata);
    LOG_INFO("#### shell_request %d:%d", pCtx->s32PtyMaster, pCtx->s32PtySlave);
    return 0;
}

int exec_request(ssh_session, ssh_channel, const char *szCommand, void *pUserdata)
{
    TChnCbCtx *pCtx = static_cast<TChnCbCtx *>(pUserdata);
    std::string strCmd = szCommand != nullptr ? EscapeForLog(szCommand, strlen(szCommand)) : "";
    LOG_INFO("#### exec_request %d-%d-[%s]", pCtx->s32PtyMaster, pCtx->s32PtySlave,
             strCmd.c_str());
    return -1;
}

int subsystem_request(ssh_session, ssh_channel, const char *szSubsystem, void *)
{
    std::string strName =
        szSubsystem != nullptr ? EscapeForLog(szSubsystem, strlen(szSubsystem)) : "";
    LOG_INFO("#### subsystem_request [%s]", strName.c_str());
    return -1;
}

// Telnet socket readable: relay what it has to the channel. End of file or
// an error only marks the record; the session loop then takes the socket
// out of the event context (the channel itself stays open). The callback
// can be re-entered from blocking libssh calls, so it is idempotent.
int read_telnet(socket_t s32Fd, int s32Events, void *pUserdata)
{
    ssh_channel pChannel = static_cast<ssh_channel>(pUserdata);
    CSshSvrChn *pSvrChn = CurrentSvrChn();
    if (pChannel == nullptr || pSvrChn == nullptr) {
        return 0;
    }
    if ((s32Events & POLLIN) == 0) {
        if ((s32Events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            pSvrChn->MarkTelnetEof(pChannel);
        }
        return 0;
    }
    char *pBuf = pSvrChn->AcquireRelayBuffer();
    std::unique_ptr<char[]> pNested;
    if (pBuf == nullptr) {
        pNested.reset(new char[RELAY_BUF_SIZE]);
        pBuf = pNested.get();
    }
    ssize_t s64Count = read(s32Fd, pBuf, RELAY_BUF_SIZE);
    if (s64Count >= 0 && SvcLogEnabled(LOG_PRIO_DEBUG)) {
        LOG_DEBUG("read telnet [%s][%d]",
                  EscapeForLog(pBuf, static_cast<size_t>(s64Count), true).c_str(),
                  static_cast<int>(s64Count));
    }
    if (s64Count > 0) {
        int s32Ret = ssh_channel_write(pChannel, pBuf, static_cast<uint32_t>(s64Count));
        if (s32Ret != s64Count) {
            LOG_ERROR("wirte channel err, n:%d ret:%d", static_cast<int>(s64Count), s32Ret);
        }
    } else if (s64Count == 0) {
        pSvrChn->MarkTelnetEof(pChannel);
    } else if (errno != EINTR && errno != EAGAIN) {
        LOG_ERROR("read telnet fd:%d fail, errno=%d", s32Fd, errno);
        pSvrChn->MarkTelnetEof(pChannel);
    }
    if (pNested == nullptr) {
        pSvrChn->ReleaseRelayBuffer();
    }
    return 0;
}

}  // namespace

// ---- ConnectServer -------------------------------------------------------

int ConnectServer(const char *szHost, int s32Port, const char *szProtocol)
{
    struct sockaddr_in stAddr;
    memset(&stAddr, 0, sizeof(stAddr));
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(static_cast<uint16_t>(s32Port));

    // Several session threads connect at the same time. glibc's name-service
    // set-up (loading nsswitch.conf on first use or after it changes) guards
    // its tables with internal locks that ThreadSanitizer cannot see, so the
    // lookups run one at a time under a lock of our own; it is never
    // destroyed, so a session thread still connecting at exit cannot touch a
    // dead mutex. A numeric address, the usual case, needs no lookup at all.
    static CMutex *const s_pLookupMutex = new CMutex();
    int s32Proto = 0;
    {
        CMutexGuard cLookupGuard(s_pLookupMutex);
        if (inet_pton(AF_INET, szHost, &stAddr.sin_addr) != 1) {
            struct hostent stHost;
            struct hostent *pHost = nullptr;
            char acHostBuf[2048];
            int s32HErr = 0;
            if (gethostbyname_r(szHost, &stHost, acHostBuf, sizeof(acHostBuf), &pHost, &s32HErr) != 0 ||
                pHost == nullptr || pHost->h_addrtype != AF_INET ||
                pHost->h_length != static_cast<int>(sizeof(stAddr.sin_addr))) {
                LOG_ERROR("can't get \"%s\" host entry \n", szHost);
                return -1;
            }
            memcpy(&stAddr.sin_addr, pHost->h_addr_list[0], static_cast<size_t>(pHost->h_length));
        }

        struct protoent stProto;
        struct protoent *pProto = nullptr;
        char acProtoBuf[1024];
        if (getprotobyname_r(szProtocol, &stProto, acProtoBuf, sizeof(acProtoBuf), &pProto) != 0 ||
            pProto == nullptr) {
            LOG_ERROR("can't get \"%s\" protocol entry\n", szProtocol);
            return -1;
        }
        s32Proto = pProto->p_proto;
    }
    int s32Type = strcmp(szProtocol, "udp") == 0 ? SOCK_DGRAM : SOCK_STREAM;
    int s32Fd = socket(AF_INET, s32Type | SOCK_CLOEXEC, s32Proto);
    if (s32Fd < 0) {
        LOG_ERROR("can't create socket: %s\n", strerror(errno));
        return -1;
    }
    if (connect(s32Fd, reinterpret_cast<struct sockaddr *>(&stAddr), sizeof(stAddr)) == 0) {
        LOG_DEBUG("connect to telnet server ok");
        return s32Fd;
    }
    LOG_ERROR("can't connect to %s.%d:%s\n", szHost, s32Port, strerror(errno));
    close(s32Fd);
    return -1;
}

// ---- CSshSvrChn ----------------------------------------------------------

CSshSvrChn::CSshSvrChn(int s32Key, CSshSvr *pSvr, int s32Verbose)
    : m_bRunning(1), m_s32Key(s32Key), m_pSvr(pSvr),
      m_u32Verbose(static_cast<uint32_t>(s32Verbose)),
      m_u32CurVerbose(static_cast<uint32_t>(s32Verbose)), m_pChnCb(nullptr),
      m_bRelayBufBusy(false), m_bClosing(false)
{
}

CSshSvrChn::~CSshSvrChn() = default;

void CSshSvrChn::SetTelnetPort(const std::string &strPort)
{
    m_strTelnetPort = strPort;
}

void CSshSvrChn::SetVerbose(int s32Verbose)
{
    m_u32Verbose = static_cast<uint32_t>(s32Verbose);
}

int CSshSvrChn::IsRunning()
{
    return m_bRunning;
}

int CSshSvrChn::CheckUser(const std::string &strUser, const std::string &strPwd)
{
    return m_pSvr->CheckUser(strUser, strPwd);
}

TChnRecord *CSshSvrChn::FindRecord(ssh_channel pChannel)
{
    for (TChnRecord &tRec : m_vecChn) {
        if (tRec.pChannel == pChannel) {
            return &tRec;
        }
    }
    return nullptr;
}

char *CSshSvrChn::AcquireRelayBuffer()
{
    // One buffer per session, allocated on first use; a read nested inside
    // another relay write finds it taken and brings its own.
    if (m_bRelayBufBusy) {
        return nullptr;
    }
    if (m_pRelayBuf == nullptr) {
        m_pRelayBuf.reset(new char[RELAY_BUF_SIZE]);
    }
    m_bRelayBufBusy = true;
    return m_pRelayBuf.get();
}

void CSshSvrChn::ReleaseRelayBuffer()
{
    m_bRelayBufBusy = false;
}

int CSshSvrChn::OpenTelnet(ssh_channel pChannel)
{
    // A session that is ending takes no new channel: the channels have been
    // closed already, so its telnet connection would outlive the session.
    if (m_bClosing) {
        LOG_INFO("session key:%d is closing, channel refused", m_s32Key);
        return -1;
    }
    // Each channel holds a telnet connection: without a cap one client
    // could take every descriptor of the process and lock other users out.
    if (m_vecChn.size() >= MAX_CHANNELS_PER_SESSION) {
        LOG_WARN("session key:%d has %zu channels open, channel refused", m_s32Key,
                 m_vecChn.size());
        return -1;
    }
    TChnRecord tRec;
    tRec.pChannel = pChannel;
    tRec.s32ChnReg = 0;
    tRec.s32Status = 0;
    tRec.s32FdReg = 0;
    tRec.s32TelnetEof = 0;

    int s32Port = atoi(m_strTelnetPort.c_str());
    int s32Fd = ConnectServer("127.0.0.1", s32Port, "tcp");
    if (s32Fd < 0) {
        LOG_ERROR("Failed to connect telnet server: %s:%d", "127.0.0.1", s32Port);
        return -1;
    }
    tRec.s32TelnetFd = s32Fd;
    {
        std::lock_guard<std::mutex> cLock(m_mtxChn);
        m_vecChn.push_back(tRec);
    }

    ssh_session pSession = m_pSvr->GetSession(m_s32Key);
    int s32SshFd = pSession != nullptr ? ssh_get_fd(pSession) : -1;
    std::string strPeer;
    std::string strLocal;
    int s32PeerPort = 0;
    int s32LocalPort = 0;
    bool bOk = false;
    if (GetSocketInfo(s32SshFd, strPeer, s32PeerPort, strLocal, s32LocalPort) != 0) {
        LOG_ERROR("get ssh fd:%d socket info err", s32SshFd);
    } else {
        LOG_INFO("ssh cli: [%s]  ----ssh svr: [%s]", strPeer.c_str(), strLocal.c_str());
        std::string strLine = "local_ip_preview:" + strLocal + "\n";
        ssize_t s64Sent = SendAll(s32Fd, strLine.data(), strLine.size());
        if (s64Sent != static_cast<ssize_t>(strLine.size())) {
            LOG_ERROR("write telnet socket len :%d less then buf len :%d",
                      static_cast<int>(s64Sent), static_cast<int>(strLine.size()));
        } else {
            bOk = true;
        }
    }
    if (bOk) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> cLock(m_mtxChn);
        for (auto it = m_vecChn.begin(); it != m_vecChn.end(); ++it) {
            if (it->pChannel == pChannel && it->s32TelnetFd == s32Fd) {
                m_vecChn.erase(it);
                break;
            }
        }
    }
    close(s32Fd);
    return -1;
}

int CSshSvrChn::GetTelnetFd(ssh_channel pChannel)
{
    for (const TChnRecord &tRec : m_vecChn) {
        if (tRec.pChannel == pChannel && tRec.s32TelnetFd > 0) {
            return tRec.s32TelnetFd;
        }
    }
    return -1;
}

void CSshSvrChn::AddEcho(ssh_channel pChannel, const std::string &strText)
{
    TChnRecord *pRec = FindRecord(pChannel);
    if (pRec == nullptr) {
        LOG_ERROR("unknow to echo channel %p", static_cast<void *>(pChannel));
        return;
    }
    pRec->strEcho += strText;
}

void CSshSvrChn::AddEcho(ssh_channel pChannel, const char *szText)
{
    AddEcho(pChannel, std::string(szText != nullptr ? szText : ""));
}

void CSshSvrChn::InstallChannelCallbacks(ssh_channel pChannel)
{
    TChnRecord *pRec = FindRecord(pChannel);
    if (pRec == nullptr || pRec->s32ChnReg != 0 || m_pChnCb == nullptr) {
        return;
    }
    ssh_set_channel_callbacks(pChannel, m_pChnCb);
    std::lock_guard<std::mutex> cLock(m_mtxChn);
    pRec->s32ChnReg = 1;
}

void CSshSvrChn::MarkTelnetEof(ssh_channel pChannel)
{
    for (TChnRecord &tRec : m_vecChn) {
        if (tRec.pChannel == pChannel && tRec.s32TelnetEof == 0) {
            LOG_INFO("telnet fd:%d closed by the telnet service, channel stays open",
                     tRec.s32TelnetFd);
            std::lock_guard<std::mutex> cLock(m_mtxChn);
            tRec.s32TelnetEof = 1;
        }
    }
}

int CSshSvrChn::GetSocketInfo(int s32Fd, std::string &strPeerAddr, int &s32PeerPort,
                              std::string &strLocalAddr, int &s32LocalPort)
{
    // Storage of any family: an IPv6 listen address works as well.
    struct sockaddr_storage stPeer;
    struct sockaddr_storage stLocal;
    socklen_t u32Len = sizeof(stPeer);
    if (getpeername(s32Fd, reinterpret_cast<struct sockaddr *>(&stPeer), &u32Len) != 0) {
        LOG_ERROR("getpeername failed, fd=%d, errno=%d(%#x)", s32Fd, errno,
                  static_cast<unsigned>(errno));
        return -1;
    }
    u32Len = sizeof(stLocal);
    if (getsockname(s32Fd, reinterpret_cast<struct sockaddr *>(&stLocal), &u32Len) != 0) {
        LOG_ERROR("getsockname failed, fd=%d, errno=%d(%#x)", s32Fd, errno,
                  static_cast<unsigned>(errno));
        return -1;
    }
    auto Convert = [](const struct sockaddr_storage &stAddr, std::string &strAddr,
                      int &s32Port) -> int {
        char acText[INET6_ADDRSTRLEN];  // 46 bytes
        memset(acText, 0, sizeof(acText));
        const void *pAddr = nullptr;
        uint16_t u16Port = 0;
        int s32Family = stAddr.ss_family;
        if (stAddr.ss_family == AF_INET) {
            const auto *pIn = reinterpret_cast<const struct sockaddr_in *>(&stAddr);
            pAddr = &pIn->sin_addr;
            u16Port = pIn->sin_port;
        } else if (stAddr.ss_family == AF_INET6) {
            const auto *pIn6 = reinterpret_cast<const struct sockaddr_in6 *>(&stAddr);
            pAddr = &pIn6->sin6_addr;
            u16Port = pIn6->sin6_port;
            // An IPv4 client of a dual-stack listener is shown as the IPv4
            // address it is, not as ::ffff:a.b.c.d.
            if (IN6_IS_ADDR_V4MAPPED(&pIn6->sin6_addr)) {
                s32Family = AF_INET;
                pAddr = &pIn6->sin6_addr.s6_addr[12];
            }
        }
        if (pAddr == nullptr || inet_ntop(s32Family, pAddr, acText, sizeof(acText)) == nullptr) {
            if (pAddr == nullptr) {
                errno = EAFNOSUPPORT;
            }
            return -1;
        }
        strAddr += acText;
        s32Port = ntohs(u16Port);
        return 0;
    };
    if (Convert(stPeer, strPeerAddr, s32PeerPort) != 0) {
        LOG_ERROR("convert client information failed, fd=%d, errno=%d(%#x)", s32Fd, errno,
                  static_cast<unsigned>(errno));
        return -1;
    }
    if (Convert(stLocal, strLocalAddr, s32LocalPort) != 0) {
        LOG_ERROR("convert local information failed, fd=%d, errno=%d(%#x)", s32Fd, errno,
                  static_cast<unsigned>(errno));
        return -1;
    }
    return 0;
}

void CSshSvrChn::GetConnInfo(std::string &strInfo)
{
    ssh_session pSession = m_pSvr->GetSession(m_s32Key);
    int s32SshFd = pSession != nullptr ? ssh_get_fd(pSession) : -1;
    std::string strPeer;
    std::string strLocal;
    int s32PeerPort = 0;
    int s32LocalPort = 0;
    if (GetSocketInfo(s32SshFd, strPeer, s32PeerPort, strLocal, s32LocalPort) != 0) {
        LOG_ERROR("get ssh fd:%d socket info err", s32SshFd);
        return;
    }
    strInfo += "ssh cli[" + strPeer + ":" + std::to_string(s32PeerPort) + "]<--fd:" +
               std::to_string(s32SshFd) + "-->ssh svr[" + strLocal + ":" +
               std::to_string(s32LocalPort) + "]\r\n";

    // A copy made under the session's lock: the session thread changes the
    // records while this runs on the debug thread.
    std::vector<TChnRecord> vecCopy;
    {
        std::lock_guard<std::mutex> cLock(m_mtxChn);
        vecCopy.reserve(m_vecChn.size());
        for (const TChnRecord &tRec : m_vecChn) {
            TChnRecord tCopy;
            tCopy.pChannel = tRec.pChannel;
            tCopy.s32ChnReg = tRec.s32ChnReg;
            tCopy.s32Status = tRec.s32Status;
            tCopy.s32TelnetFd = tRec.s32TelnetFd;
            tCopy.s32FdReg = tRec.s32FdReg;
            tCopy.s32TelnetEof = tRec.s32TelnetEof;
            vecCopy.push_back(tCopy);
        }
    }
    for (const TChnRecord &tRec : vecCopy) {
        strPeer.clear();
        strLocal.clear();
        s32PeerPort = 0;
        s32LocalPort = 0;
        if (tRec.s32TelnetFd < 0) {
            LOG_ERROR("channel:%p,reg:%d,status:%d, telned fd:%d,reg:%d error",
                      static_cast<void *>(tRec.pChannel), tRec.s32ChnReg, tRec.s32Status,
                      tRec.s32TelnetFd, tRec.s32FdReg);
            continue;
        }
        if (GetSocketInfo(tRec.s32TelnetFd, strPeer, s32PeerPort, strLocal, s32LocalPort) != 0) {
            LOG_ERROR("get telnet fd:%d socket info err", tRec.s32TelnetFd);
            continue;
        }
        strInfo += "telnet cli[" + strLocal + ":" + std::to_string(s32LocalPort) + "]<--fd:" +
                   std::to_string(tRec.s32TelnetFd) + "-->telnet svr[" + strPeer + ":" +
                   std::to_string(s32PeerPort) + "]\r\n";
    }
    strInfo += "\r\n";
}

void CSshSvrChn::ApplyVerbose(int s32Verbose)
{
    uint32_t u32Wanted = static_cast<uint32_t>(s32Verbose);
    if (u32Wanted == m_u32CurVerbose) {
        return;
    }
    m_u32CurVerbose = u32Wanted;
    ssh_set_log_level(u32Wanted != 0 ? SSH_LOG_PACKET : SSH_LOG_NOLOG);
}

int CSshSvrChn::HasOpenChannel()
{
    int s32Open = 0;
    for (TChnRecord &tRec : m_vecChn) {
        if (ssh_channel_is_open(tRec.pChannel)) {
            s32Open = 1;
        } else if (tRec.s32Status == 0) {
            std::lock_guard<std::mutex> cLock(m_mtxChn);
            tRec.s32Status = 1;
        }
    }
    return s32Open;
}

void CSshSvrChn::Run()
{
    SetName("sshapi-session");
    if (m_u32CurVerbose != 0) {
        ssh_set_log_level(SSH_LOG_PACKET);
    }
    ssh_set_log_callback(SshLogBridge);
    ssh_event pEvent = ssh_event_new();
    ssh_session pSession = m_pSvr->GetSession(m_s32Key);
    if (pEvent == nullptr || pSession == nullptr) {
        LOG_ERROR("session key:%d has no %s", m_s32Key,
                  pEvent == nullptr ? "event context" : "registered session");
    } else {
        ServeSession(pEvent, pSession);
    }
    if (pEvent != nullptr) {
        ssh_event_free(pEvent);
    }
    m_bRunning = 0;
    m_pSvr->EraseSession(m_s32Key);
}

void CSshSvrChn::ServeSession(ssh_event pEvent, ssh_session pSession)
{
    TAuthState tAuth;
    tAuth.pChannel = nullptr;
    tAuth.s32AuthAttempts = 0;
    tAuth.s32Authenticated = 0;
    tAuth.pSvrChn = this;

    TChnCbCtx tCbCtx;
    tCbCtx.s32PtyMaster = -1;
    tCbCtx.s32PtySlave = -1;
    tCbCtx.pSvrChn = this;

    struct ssh_server_callbacks_struct tServerCb;
    memset(&tServerCb, 0, sizeof(tServerCb));
    tServerCb.userdata = &tAuth;
    tServerCb.auth_password_function = auth_password;
    tServerCb.channel_open_request_session_function = channel_open;
    ssh_callbacks_init(&tServerCb);

    struct ssh_channel_callbacks_struct tChnCb;
    memset(&tChnCb, 0, sizeof(tChnCb));
    tChnCb.userdata = &tCbCtx;
    tChnCb.channel_data_function = data_function;
    tChnCb.channel_pty_request_function = pty_request;
    tChnCb.channel_shell_request_function = shell_request;
    tChnCb.channel_pty_window_change_function = pty_resize;
    tChnCb.channel_exec_request_function = exec_request;
    tChnCb.channel_subsystem_request_function = subsystem_request;
    ssh_callbacks_init(&tChnCb);
    m_pChnCb = &tChnCb;

    ssh_set_auth_methods(pSession, SSH_AUTH_METHOD_PASSWORD);
    ssh_set_server_callbacks(pSession, &tServerCb);

    // Bound the key exchange, then lift the timeout again: left in place it
    // would also cut short the blocking channel writes of the relay.
    long s64Timeout = KEX_TIMEOUT_SECONDS;
    ssh_options_set(pSession, SSH_OPTIONS_TIMEOUT, &s64Timeout);
    int s32Rc = ssh_handle_key_exchange(pSession);
    s64Timeout = 0;
    ssh_options_set(pSession, SSH_OPTIONS_TIMEOUT, &s64Timeout);
    // A client that pipelines its login right behind the key exchange can
    // be authenticated inside it; libssh then reports a timeout.
    if (s32Rc != SSH_OK && !(s32Rc == SSH_AGAIN && tAuth.s32Authenticated != 0)) {
        LOG_ERROR("key exchange err [%s]", EscapeForLog(ssh_get_error(pSession),
                                                        strlen(ssh_get_error(pSession))).c_str());
        m_pChnCb = nullptr;
        return;
    }
    ssh_event_add_session(pEvent, pSession);

    if (WaitForAuth(pEvent, pSession, tAuth) == 0) {
        LOG_INFO("authorization ok");
        for (TChnRecord &tRec : m_vecChn) {
            InstallChannelCallbacks(tRec.pChannel);
        }
        RelayLoop(pEvent, pSession);
        Teardown(pEvent, pSession);
    } else {
        // A login and a channel can arrive in the same poll as the error
        // that ends the wait: that channel's telnet connection goes too.
        m_bClosing = true;
        CloseChannels(pEvent);
    }
    ssh_event_remove_session(pEvent, pSession);
    m_pChnCb = nullptr;
}

int CSshSvrChn::WaitForAuth(ssh_event pEvent, ssh_session pSession, TAuthState &tAuth)
{
    for (int s32Pass = 0;; ++s32Pass) {
        if (tAuth.s32Authenticated != 0 && tAuth.pChannel != nullptr) {
            return 0;
        }
        if (tAuth.s32AuthAttempts >= AUTH_MAX_FAILURES || s32Pass >= AUTH_MAX_POLLS) {
            LOG_ERROR("authorization fail attempts:%d time:%d ms", tAuth.s32AuthAttempts,
                      s32Pass * POLL_TIMEOUT_MS);
            return -1;
        }
        if (ssh_event_dopoll(pEvent, POLL_TIMEOUT_MS) == SSH_ERROR || SessionBroken(pSession)) {
            const char *szErr = ssh_get_error(pSession);
            LOG_ERROR("poll err [%s]", EscapeForLog(szErr, strlen(szErr)).c_str());
            return -1;
        }
    }
}

void CSshSvrChn::FlushEcho()
{
    for (size_t i = 0; i < m_vecChn.size(); ++i) {
        if (m_vecChn[i].strEcho.empty()) {
            continue;
        }
        // While the client streams (more input already queued on the
        // socket), the echo gathers up to a relay buffer's worth and goes out
        // in one write. Written per pass, every 32 KiB input packet gave a
        // full packet and a 10-byte one (libssh sends at most 32758 bytes per
        // packet to OpenSSH), each with its own MAC and send. Short echo
        // (typing, a command line) goes out at once without a look at the
        // socket, and interactive input never has a full read queued.
        size_t u64EchoLen = m_vecChn[i].strEcho.size();
        if (u64EchoLen >= static_cast<size_t>(ECHO_HOLD_MIN) &&
            u64EchoLen < static_cast<size_t>(RELAY_BUF_SIZE) &&
            ClientInputQueued(m_vecChn[i].pChannel) >= ECHO_HOLD_MIN) {
            continue;
        }
        // Taken out first: the write below may poll and run data_function,
        // which appends new input for the next pass.
        // The record gets the (empty) buffer of the previous round back.
        std::string &strEcho = g_strEchoOut;
        strEcho.swap(m_vecChn[i].strEcho);
        ssh_channel pChannel = m_vecChn[i].pChannel;
        if (SvcLogEnabled(LOG_PRIO_DEBUG)) {
            LOG_DEBUG("echo client [%s][%d]", EscapeForLog(strEcho).c_str(),
                      static_cast<int>(strEcho.size()));
        }
        ssh_channel_write(pChannel, strEcho.data(), static_cast<uint32_t>(strEcho.size()));
        // Large buffers are kept while bulk echo goes on; a small echo
        // (typing again) gives them back.
        bool bBulk = strEcho.size() > ECHO_KEEP_CAPACITY;
        strEcho.clear();
        if (!bBulk && strEcho.capacity() > ECHO_KEEP_CAPACITY) {
            std::string().swap(strEcho);
        }
    }
}

void CSshSvrChn::DropEofTelnetFds(ssh_event pEvent)
{
    for (TChnRecord &tRec : m_vecChn) {
        if (tRec.s32TelnetEof != 0 && tRec.s32FdReg != 0) {
            ssh_event_remove_fd(pEvent, tRec.s32TelnetFd);
            std::lock_guard<std::mutex> cLock(m_mtxChn);
            tRec.s32FdReg = 0;
        }
    }
}

void CSshSvrChn::RegisterTelnetFds(ssh_event pEvent)
{
    for (auto it = m_vecChn.begin(); it != m_vecChn.end(); ++it) {
        if (it->s32FdReg != 0 || it->s32TelnetEof != 0) {
            continue;
        }
        if (ssh_event_add_fd(pEvent, it->s32TelnetFd, POLLIN, read_telnet, it->pChannel) ==
            SSH_OK) {
            std::lock_guard<std::mutex> cLock(m_mtxChn);
            it->s32FdReg = 1;
            continue;
        }
        LOG_ERROR("Failed to register telnet fd:%d to poll context", it->s32TelnetFd);
        ssh_channel_close(it->pChannel);
        if (it->s32TelnetFd > 0) {
            close(it->s32TelnetFd);
        }
        std::lock_guard<std::mutex> cLock(m_mtxChn);
        m_vecChn.erase(it);
        break;
    }
}

void CSshSvrChn::RetireClosedChannels(ssh_event pEvent)
{
    size_t i = 0;
    while (i < m_vecChn.size()) {
        if (m_vecChn[i].s32Status == 0) {
            ++i;
            continue;
        }
        int s32Fd = m_vecChn[i].s32TelnetFd;
        ssh_channel pChannel = m_vecChn[i].pChannel;
        LOG_INFO("erase err channel fd:%d", s32Fd);
        if (s32Fd > 0) {
            if (m_vecChn[i].s32FdReg != 0) {
                ssh_event_remove_fd(pEvent, s32Fd);
            }
            close(s32Fd);
            std::lock_guard<std::mutex> cLock(m_mtxChn);
            m_vecChn[i].s32TelnetFd = -1;
            m_vecChn[i].s32FdReg = 0;
        }
        // The calls below may poll and run callbacks that look records up;
        // the record is erased only afterwards, by position of its channel.
        ssh_channel_send_eof(pChannel);
        ssh_channel_close(pChannel);
        std::lock_guard<std::mutex> cLock(m_mtxChn);
        for (size_t j = 0; j < m_vecChn.size(); ++j) {
            if (m_vecChn[j].pChannel == pChannel) {
                m_vecChn.erase(m_vecChn.begin() + static_cast<std::ptrdiff_t>(j));
                i = j;
                break;
            }
        }
    }
}

void CSshSvrChn::RelayLoop(ssh_event pEvent, ssh_session pSession)
{
    do {
        int s32Rc = ssh_event_dopoll(pEvent, POLL_TIMEOUT_MS);
        if (s32Rc != SSH_ERROR && SessionBroken(pSession)) {
            const char *szErr = ssh_get_error(pSession);
            LOG_ERROR("ssh session broken [%s]", EscapeForLog(szErr, strlen(szErr)).c_str());
            s32Rc = SSH_ERROR;
        }
        ApplyVerbose(static_cast<int>(m_u32Verbose.load()));
        for (size_t i = 0; i < m_vecChn.size(); ++i) {
            InstallChannelCallbacks(m_vecChn[i].pChannel);
        }
        FlushEcho();
        if (s32Rc == SSH_ERROR) {
            LOG_ERROR("poll error, close all channel");
            return;
        }
        DropEofTelnetFds(pEvent);
        RegisterTelnetFds(pEvent);
        RetireClosedChannels(pEvent);
    } while (HasOpenChannel());
}

void CSshSvrChn::CloseChannels(ssh_event pEvent)
{
    for (size_t i = 0; i < m_vecChn.size(); ++i) {
        int s32Fd = m_vecChn[i].s32TelnetFd;
        if (s32Fd > 0) {
            if (m_vecChn[i].s32FdReg != 0) {
                ssh_event_remove_fd(pEvent, s32Fd);
            }
            close(s32Fd);
            std::lock_guard<std::mutex> cLock(m_mtxChn);
            m_vecChn[i].s32TelnetFd = -1;
            m_vecChn[i].s32FdReg = 0;
        }
        ssh_channel pChannel = m_vecChn[i].pChannel;
        ssh_channel_send_eof(pChannel);
        ssh_channel_close(pChannel);
    }
}

void CSshSvrChn::Teardown(ssh_event pEvent, ssh_session pSession)
{
    // From here on channel opens are refused: the grace wait below still
    // polls, and a channel opened during it would never be closed.
    m_bClosing = true;
    CloseChannels(pEvent);
    LOG_INFO("close ssh client connection");
    for (int s32Pass = 0; s32Pass < GRACE_MAX_POLLS &&
                          (ssh_get_status(pSession) & (SSH_CLOSED | SSH_CLOSED_ERROR)) == 0;
         ++s32Pass) {
        ssh_event_dopoll(pEvent, POLL_TIMEOUT_MS);
    }
}

// ---- CSshSvr -------------------------------------------------------------

CSshSvr::CSshSvr()
    : m_bInit(0), m_u32Verbose(0), m_u32CurVerbose(0), m_s32SessionKey(0),
      m_pUserInfo(std::make_shared<const UserInfoMap>()), m_pSshBind(nullptr),
      m_s32ListenFd(-1), m_bShutdown(false)
{
}

CSshSvr::~CSshSvr()
{
    Shutdown();
    UninitSsh();
}

void CSshSvr::SetUserInfo(UserInfoMap mapUserInfo)
{
    auto pNew = std::make_shared<const UserInfoMap>(std::move(mapUserInfo));
    std::lock_guard<std::mutex> cLock(m_mtxUserInfo);
    m_pUserInfo.swap(pNew);
}

void CSshSvr::SetAddr(const std::string &strIp, const std::string &strPort)
{
    m_strIp = strIp;
    m_strPort = strPort;
}

void CSshSvr::SetKeyFile(const std::string &strRsa, const std::string &strDsa,
                         const std::string &strEcdsa, const std::string &strEd25519)
{
    m_strRsaKey = strRsa;
    m_strDsaKey = strDsa;
    m_strEcdsaKey = strEcdsa;
    m_strEd25519Key = strEd25519;
}

void CSshSvr::SetVerbose(int s32Verbose)
{
    m_u32Verbose = static_cast<uint32_t>(s32Verbose);
    m_u32CurVerbose = static_cast<uint32_t>(s32Verbose);
}

void CSshSvr::SetTelnetPort(const std::string &strPort)
{
    m_strTelnetPort = strPort;
}

void CSshSvr::SetAdmissionLimits(const TAdmissionLimits &tLimits)
{
    m_tLimits = tLimits;
}

int CSshSvr::Init()
{
    if (m_strRsaKey.empty() && m_strDsaKey.empty() && m_strEcdsaKey.empty() &&
        m_strEd25519Key.empty()) {
        LOG_ERROR("key file empty");
        return -1;
    }
    if (m_strIp.empty() || m_strPort.empty()) {
        LOG_ERROR("ip or port empty");
        return -1;
    }
    if (m_strTelnetPort.empty()) {
        LOG_ERROR("telnet port empty");
        return -1;
    }
    std::lock_guard<std::mutex> cLock(m_mtxUserInfo);
    if (m_pUserInfo->empty()) {
        LOG_ERROR("user info empty");
        return -1;
    }
    return 0;
}

void CSshSvr::SetPendingVerbose(int s32Verbose)
{
    m_u32Verbose = static_cast<uint32_t>(s32Verbose);
}

int CSshSvr::InitSsh()
{
    if (ssh_init() < 0) {
        LOG_ERROR("ssh_init failed");
        return -1;
    }
    m_pSshBind = ssh_bind_new();
    if (m_pSshBind == nullptr) {
        LOG_ERROR("ssh_bind_new failed");
        return -1;
    }
    // Each configured key is loaded now, one by one: a key that cannot be
    // used (missing file, DSA without DSA support) is skipped with a line of
    // its own, and the others are still served.
    int s32Keys = 0;
    const std::string *apKeys[] = {&m_strRsaKey, &m_strDsaKey, &m_strEcdsaKey, &m_strEd25519Key};
    for (const std::string *pKey : apKeys) {
        if (pKey->empty()) {
            continue;
        }
        if (ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_HOSTKEY, pKey->c_str()) == SSH_OK) {
            ++s32Keys;
        } else {
            const char *szErr = ssh_get_error(m_pSshBind);
            LOG_ERROR("host key %s not loaded: %s", pKey->c_str(),
                      (szErr != nullptr && szErr[0] != '\0') ? szErr : "cannot read or use it");
        }
    }
    if (m_u32CurVerbose != 0) {
        ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_LOG_VERBOSITY_STR, "3");
    }
    // A server configuration file on the device must not replace the
    // algorithm lists below.
    bool bProcessConfig = false;
    ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_PROCESS_CONFIG, &bProcessConfig);
    ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_BINDADDR, m_strIp.c_str());
    ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_BINDPORT_STR, m_strPort.c_str());
    ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_KEY_EXCHANGE, KEX_ALGORITHMS);
    ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_HMAC_C_S, HMAC_ALGORITHMS);
    ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_HMAC_S_C, HMAC_ALGORITHMS);
    ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_CIPHERS_C_S, CIPHER_ALGORITHMS);
    ssh_bind_options_set(m_pSshBind, SSH_BIND_OPTIONS_CIPHERS_S_C, CIPHER_ALGORITHMS);
    ssh_set_log_callback(SshLogBridge);

    if (s32Keys == 0) {
        LOG_ERROR("listne fail: %s", "no host key could be loaded");
        return -1;
    }
    if (ssh_bind_listen(m_pSshBind) < 0) {
        LOG_ERROR("listne fail: %s", ssh_get_error(m_pSshBind));
        return -1;
    }
    m_bInit = 1;
    m_s32ListenFd = ssh_bind_get_fd(m_pSshBind);
    LOG_INFO("listening on %s port %s", m_strIp.c_str(), m_strPort.c_str());
    // libssh listens with a queue of 10. A burst of connection attempts
    // overflows it: the kernel then drops handshakes (legitimate clients
    // wait for a retransmission, a second or more) and answers the rest
    // with SYN cookies that reach the service only when their bytes are
    // retransmitted. A longer queue takes the burst while the loop accepts.
    if (m_s32ListenFd >= 0 && listen(m_s32ListenFd, LISTEN_BACKLOG) != 0) {
        LOG_WARN("listen backlog %d not set: %s", LISTEN_BACKLOG, strerror(errno));
    }
    return 0;
}

int CSshSvr::UninitSsh()
{
    if (m_bInit == 1) {
        ssh_bind_free(m_pSshBind);
        m_pSshBind = nullptr;
        // Session threads still registered may be inside libssh: the
        // library is finalised only when none is left.
        CMutexGuard cGuard(&m_cMutex);
        if (m_mapSvrChn.empty()) {
            ssh_finalize();
        }
        m_bInit = 0;
    }
    return 0;
}

int CSshSvr::SetKeepAlive(ssh_session pSession, int s32Enable, int s32Idle, int s32Interval,
                          int s32Count)
{
    if (pSession == nullptr) {
        return -1;
    }
    int s32Fd = ssh_get_fd(pSession);
    if (s32Fd < 0) {
        return -1;
    }
    if (setsockopt(s32Fd, SOL_SOCKET, SO_KEEPALIVE, &s32Enable, sizeof(s32Enable)) != 0) {
        return -1;
    }
    if (s32Enable == 0) {
        return 0;
    }
    if (setsockopt(s32Fd, IPPROTO_TCP, TCP_KEEPIDLE, &s32Idle, sizeof(s32Idle)) != 0 ||
        setsockopt(s32Fd, IPPROTO_TCP, TCP_KEEPINTVL, &s32Interval, sizeof(s32Interval)) != 0 ||
        setsockopt(s32Fd, IPPROTO_TCP, TCP_KEEPCNT, &s32Count, sizeof(s32Count)) != 0) {
        return -1;
    }
#ifdef TCP_USER_TIMEOUT
    // Keep-alive probes are sent only while no data is outstanding: a peer
    // that vanishes during a transfer would hold its session until TCP gives
    // up retransmitting (about 15 minutes). Data left unacknowledged for as
    // long as the keep-alive allows an idle peer ends the connection too.
    unsigned int u32UserTimeoutMs =
        static_cast<unsigned int>(s32Idle + s32Interval * s32Count) * 1000U;
    if (setsockopt(s32Fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &u32UserTimeoutMs,
                   sizeof(u32UserTimeoutMs)) != 0) {
        return -1;
    }
#endif
    return 0;
}

void CSshSvr::UpdateVerbose(uint32_t u32Verbose)
{
    if (u32Verbose != m_u32CurVerbose) {
        m_u32CurVerbose = u32Verbose;
        ssh_set_log_level(u32Verbose != 0 ? SSH_LOG_PACKET : SSH_LOG_NOLOG);
    }
    CMutexGuard cGuard(&m_cMutex);
    for (auto &tEntry : m_mapSvrChn) {
        tEntry.second->SetVerbose(static_cast<int>(u32Verbose));
    }
}

void CSshSvr::AcceptOne(ssh_session pSession)
{
    UpdateVerbose(m_u32Verbose);
    int s32Key = ++m_s32SessionKey;
    LOG_INFO("new session key:%d", s32Key);
    SetKeepAlive(pSession, 1, 1, 1, 5);
    SetNoDelay(ssh_get_fd(pSession));

    CMutexGuard cGuard(&m_cMutex);
    m_mapSession[s32Key] = pSession;
    CSshSvrChn *pSvrChn = new CSshSvrChn(s32Key, this, static_cast<int>(m_u32CurVerbose));
    pSvrChn->SetTelnetPort(m_strTelnetPort);
    m_mapSvrChn[s32Key] = pSvrChn;
    int s32Err = 0;
    if (pSvrChn->TryStart(&s32Err) != 0) {
        // Out of threads: this one connection is dropped, every other
        // session and the listener go on.
        LOG_ERROR("create session thread for key:%d fail: %s, connection closed", s32Key,
                  strerror(s32Err));
        m_mapSvrChn.erase(s32Key);
        m_mapSession.erase(s32Key);
        delete pSvrChn;
        ssh_disconnect(pSession);
        ssh_free(pSession);
    }
}

void CSshSvr::Run()
{
    SetName("sshapi-listen");
    if (InitSsh() != 0) {
        LOG_ERROR("InitSsh fail");
        return;
    }
    while (!m_bShutdown) {
        ssh_session pSession = ssh_new();
        if (pSession == nullptr) {
            LOG_ERROR("Failed to allocate session");
            continue;
        }
        if (ssh_bind_accept(m_pSshBind, pSession) == SSH_ERROR) {
            if (m_bShutdown) {
                ssh_free(pSession);
                break;
            }
            LOG_ERROR("%s", ssh_get_error(m_pSshBind));
            ssh_free(pSession);
            // A connection that cannot be accepted (no descriptors left)
            // stays queued: pause instead of failing again at once.
            usleep(ACCEPT_RETRY_PAUSE_MS * 1000);
            continue;
        }
        AcceptOne(pSession);
    }
}

void CSshSvr::Shutdown()
{
    m_bShutdown = true;
    int s32Fd = m_s32ListenFd;
    if (s32Fd >= 0) {
        shutdown(s32Fd, SHUT_RDWR);  // wakes the blocked accept
    }
    Stop();
}

ssh_session CSshSvr::GetSession(int s32Key)
{
    CMutexGuard cGuard(&m_cMutex);
    auto it = m_mapSession.find(s32Key);
    return it != m_mapSession.end() ? it->second : nullptr;
}

int CSshSvr::EraseSession(int s32Key)
{
    CMutexGuard cGuard(&m_cMutex);
    auto it = m_mapSession.find(s32Key);
    if (it == m_mapSession.end()) {
        LOG_ERROR("key:%d not found in session", s32Key);
        return -1;
    }
    ssh_session pSession = it->second;
    m_mapSession.erase(it);
    ssh_disconnect(pSession);
    ssh_free(pSession);
    LOG_INFO("erase session key:%d", s32Key);
    return 0;
}

int CSshSvr::CheckUser(const std::string &strUser, const std::string &strPwd)
{
    std::string strDigest;
    {
        CMd5A cMd5;
        strDigest = cMd5.MDString(strPwd.c_str());
    }
    std::shared_ptr<const UserInfoMap> pTable;
    {
        std::lock_guard<std::mutex> cLock(m_mtxUserInfo);
        pTable = m_pUserInfo;
    }
    auto it = pTable->find(strUser);
    if (it != pTable->end()) {
        if (it->second == strDigest) {
            return 1;
        }
        // The line keeps its shape, but secrets never reach the log.
        LOG_ERROR("check user:%s!=%s pwd:%s,pwd:%s!=%s fail", EscapeForLog(strUser).c_str(),
                  EscapeForLog(it->first).c_str(), "***", "***", "***");
    }
    LOG_ERROR("check user fail");
    return 0;
}

int CSshSvr::CleanSvrChn()
{
    CMutexGuard cGuard(&m_cMutex);
    for (auto it = m_mapSvrChn.begin(); it != m_mapSvrChn.end();) {
        if (m_mapSession.count(it->first) != 0) {
            ++it;
            continue;
        }
        if (it->second->IsRunning()) {
            LOG_WARN("srvchn key:%d still running", it->first);
            ++it;
            continue;
        }
        LOG_INFO("erase svrchn key:%d", it->first);
        CSshSvrChn *pSvrChn = it->second;
        it = m_mapSvrChn.erase(it);
        pSvrChn->Stop();
        delete pSvrChn;
    }
    return 0;
}

void CSshSvr::GetStatus(std::string &strStatus)
{
    CMutexGuard cGuard(&m_cMutex);
    for (auto &tEntry : m_mapSvrChn) {
        tEntry.second->GetConnInfo(strStatus);
    }
}
