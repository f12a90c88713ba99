// The SSH listener and the session of one connection, in the order a
// connection meets them:
//
//   1. Sockets      the helpers every later section uses: socket ends as
//                   text, the connection to the telnet service.
//   2. Listener     CSshSvr::Run binds (and keeps trying while it cannot),
//                   accepts, admits (pre-login limits, displacement of
//                   squatters, the hold on failing sources, the log quota),
//                   registers the libssh session and starts a CSshSvrChn
//                   thread for it.
//   3. Session      CSshSvrChn::Run, ServeSession: key exchange in short
//                   slices, then the session joins its event context;
//                   PollOnce, the wait of every pass.
//   4. Login        auth_password, CSshSvr::CheckUser, WaitForAuth.
//   5. Channel      channel_open connects the telnet service (OpenTelnet);
//                   the channel requests are answered; the channel records
//                   and the operations that change them.
//   6. Relay        RelayLoop first, then its helpers in the order of one
//                   pass: client to telnet and the echo (data_function),
//                   the client's close of a channel, telnet to client
//                   (read_telnet), the retiring of closed channels.
//   7. Teardown     Teardown, the delivery of what was taken, EndConnection,
//                   EraseSession and the main thread's reaping in
//                   CleanSvrChn.
//   8. Status text  GetStatus and GetConnInfo for the console.
//
// The locks, what each guards and their order: see sshsvr.h.
//
// Every libssh callback of a connection runs on its session thread, inside
// ssh_event_dopoll or inside a libssh call that polls again (a channel write
// flushes, and the flush runs callbacks). So callbacks never free what the
// loop above them uses, and only the main loop erases channel records.
//
// Memory: every queue is bounded, and so is what libssh holds. A channel
// takes client input only while it has room (its own queues below 1 MiB
// each, the connection's queues together below 4 MiB); what it does not
// take stays in libssh, which then stops granting window, so the client's
// own window and TCP buffers fill instead of this process. libssh parses
// what it reads in every call that polls and answers some messages by
// itself: while it holds output for a client that does not read, or the
// channels hold too much input, the session reads nothing more from the
// client (PollOnce). After login the session is non-blocking: no write
// ever waits for a peer.
//
// Nothing accepted is lost: what a channel took for the telnet service, and
// what libssh still holds of it, is delivered before the telnet socket is
// closed, when the client closes the channel and when the connection ends.
#include "sshsvr.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "commonassert.h"
#include "commonutils.h"

CSshSvr g_cSshSvr;

namespace
{

const int POLL_TIMEOUT_MS = 100;  // one pass of the session loops
const int AUTH_MAX_POLLS = 1000;  // authentication wait, about 100 s
const int AUTH_MAX_FAILURES = 3;
const int GRACE_MAX_POLLS = 50;      // teardown: client gets about 5 s to leave
const int KEX_SECONDS = 100;         // a client silent in the key exchange is dropped
const long KEX_SLICE_USEC = 100000;  // the key exchange runs in slices of 100 ms
const int ACCEPT_RETRY_PAUSE_MS = 100;
const int LISTEN_RETRY_SECONDS = 5;         // a listener that cannot start tries again
const int LISTEN_FAILURE_LOG_SECONDS = 60;  // ... and says so once a minute
const int LISTEN_BACKLOG = 128;             // pending connections the kernel queues
const uint32_t RELAY_BUF_SIZE = 262144;     // one read of a telnet socket
// Queues of client input and of what waits for the client: per channel
// each, and all of a connection's together (every byte taken may add one
// byte to each of its channel's two queues: to the telnet service, and its
// echo). A channel at either bound takes no more input; it waits in libssh.
const size_t CHANNEL_QUEUE_CAP = 1024 * 1024;
const size_t SESSION_QUEUE_BUDGET = 4 * 1024 * 1024;
const size_t MIN_TAKE = 4096;  // a channel with less room waits for more
// libssh grants a channel up to 1,280,000 bytes of window, and grants it
// afresh per stream (a byte on the extended stream renews the window while
// the data stream's input waits), so an honest client can leave more than
// one window of input in libssh. Above this amount on one channel the
// session reads no more from the client until the channel has taken some;
// at twice it makes no libssh call that could read at all.
const size_t MAX_HELD_PER_CHANNEL = 2 * 1024 * 1024;
// Echo of at least ECHO_HOLD_MIN bytes is held back while at least that
// much client input is already queued on the session socket (bulk input),
// until ECHO_HOLD_MAX bytes have gathered, so that it goes out in large
// writes. See FlushToClient.
const size_t ECHO_HOLD_MIN = 4096;
const size_t ECHO_HOLD_MAX = 262144;
const size_t QUEUE_KEEP_CAPACITY = 2 * ECHO_HOLD_MAX;  // larger idle buffers are freed
// A channel's input is delivered to the telnet service after the client
// closed it, or the connection ended, for as long as that makes progress.
const int64_t DRAIN_IDLE_MS = 5000;
const int64_t DRAIN_TOTAL_MS = 30000;
// While the session reads nothing from the client, a message the client
// ignores goes to it this long after the pause began and as often after,
// to find a client that has closed its socket (see ProbeForHangUp); while
// the session is frozen the wait doubles each time, up to an hour.
const int64_t HANGUP_PROBE_MS = 5000;
const int64_t HANGUP_PROBE_MAX_MS = 3600 * 1000;
// After the disconnect message, what the client still sends is read and
// dropped for this long, so that closing the socket does not reset the
// connection before the client has read the message.
const int LINGER_MS = 1000;

const char KEX_ALGORITHMS[] =
    "curve25519-sha256,curve25519-sha256@libssh.org,diffie-hellman-group14-sha1,"
    "diffie-hellman-group-exchange-sha256,ecdh-sha2-nistp256,ecdh-sha2-nistp384,"
    "ecdh-sha2-nistp521,diffie-hellman-group16-sha512,diffie-hellman-group18-sha512";
const char HMAC_ALGORITHMS[] =
    "hmac-sha2-256,hmac-sha2-512,hmac-sha1,umac-64-etm@openssh.com,umac-128-etm@openssh.com,"
    "hmac-sha2-256-etm@openssh.com,hmac-sha2-512-etm@openssh.com,hmac-sha1-etm@openssh.com";
const char CIPHER_ALGORITHMS[] =
    "aes128-ctr,aes192-ctr,aes256-ctr,aes128-gcm@openssh.com,aes256-gcm@openssh.com";

// The libssh callbacks, in the order a connection meets them below.
int auth_password(ssh_session, const char *szUser, const char *szPassword, void *pUserdata);
ssh_channel channel_open(ssh_session pSession, void *pUserdata);
int pty_request(ssh_session, ssh_channel, const char *, int s32Width, int s32Height, int s32PxWidth,
                int s32PxHeight, void *);
int pty_resize(ssh_session, ssh_channel, int s32Width, int s32Height, int s32PxWidth,
               int s32PxHeight, void *);
int shell_request(ssh_session, ssh_channel, void *pUserdata);
int exec_request(ssh_session, ssh_channel, const char *szCommand, void *pUserdata);
int subsystem_request(ssh_session, ssh_channel, const char *szSubsystem, void *);
int data_function(ssh_session, ssh_channel pChannel, void *pData, uint32_t u32Len, int s32Stderr,
                  void *pUserdata);
void channel_close(ssh_session, ssh_channel pChannel, void *pUserdata);
int read_telnet(socket_t s32Fd, int s32Events, void *pUserdata);

int64_t MonotonicSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t MonotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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

std::string SessionError(ssh_session pSession)
{
    const char *szErr = ssh_get_error(pSession);
    return szErr != nullptr ? EscapeForLog(szErr, strlen(szErr)) : "";
}

// A protocol error on an established session (a packet length out of range,
// a bad MAC) puts libssh's session into its error state without making
// ssh_event_dopoll fail; libssh then keeps buffering whatever the peer sends,
// and the session would last until the client leaves. The session loops end
// such a session at once.
bool SessionClosed(ssh_session pSession)
{
    return (ssh_get_status(pSession) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0;
}

// Client input of a channel left in libssh for lack of room, both streams.
size_t HeldInput(const TChnRecord &rRec)
{
    return size_t{rRec.au32Held[0]} + rRec.au32Held[1];
}

// The memory of a relay buffer, allocated on its first loan.
char *RelayBuffer(std::unique_ptr<char[]> &pBuf)
{
    if (pBuf == nullptr) {
        pBuf.reset(new char[RELAY_BUF_SIZE]);
    }
    return pBuf.get();
}

// The session object of the calling thread; every libssh callback of a
// connection runs on that connection's own session thread.
CSshSvrChn *CurrentSvrChn()
{
    return dynamic_cast<CSshSvrChn *>(CThread::GetCurrent());
}

const char *EndText(ESessionEnd eEnd)
{
    switch (eEnd) {
    case SESSION_END_CLIENT_CLOSED: return "client closed";
    case SESSION_END_CONNECTION_LOST: return "connection lost";
    case SESSION_END_KEX_FAILED: return "key exchange failed";
    case SESSION_END_WAIT_RAN_OUT: return "login wait ran out";
    case SESSION_END_REFUSED: return "refused";
    case SESSION_END_CHANNELS_CLOSED: return "channels closed";
    case SESSION_END_DISPLACED: return "displaced";
    case SESSION_END_STOPPING: return "service stopping";
    case SESSION_END_NONE: break;
    }
    return "ended";
}

}  // namespace

// ==== 1. Sockets ============================================================

namespace
{

// Turns off Nagle's algorithm on a socket. The relay often sends two small
// packets in a row (the echo of a line, then the telnet service's answer);
// with Nagle the second waits for the client's delayed acknowledgement,
// about 40 ms on Linux, and so does every step of the login.
void SetNoDelay(int s32Fd)
{
    int s32On = 1;
    setsockopt(s32Fd, IPPROTO_TCP, TCP_NODELAY, &s32On, sizeof(s32On));
}

// Bytes of client input waiting in the kernel on the session socket of a
// channel, 0 when none or unknown.
size_t ClientInputQueued(ssh_channel pChannel)
{
    int s32Fd = ssh_get_fd(ssh_channel_get_session(pChannel));
    int s32Pending = 0;
    if (s32Fd < 0 || ioctl(s32Fd, FIONREAD, &s32Pending) != 0 || s32Pending < 0) {
        return 0;
    }
    return static_cast<size_t>(s32Pending);
}

// The address and port of a socket address as text and number; -1 (with
// errno) for a family other than IPv4 and IPv6.
int SockaddrToText(const struct sockaddr_storage &stAddr, std::string &strAddr, int &s32Port)
{
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
}
}  // namespace

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
    if (SockaddrToText(stPeer, strPeerAddr, s32PeerPort) != 0) {
        LOG_ERROR("convert client information failed, fd=%d, errno=%d(%#x)", s32Fd, errno,
                  static_cast<unsigned>(errno));
        return -1;
    }
    if (SockaddrToText(stLocal, strLocalAddr, s32LocalPort) != 0) {
        LOG_ERROR("convert local information failed, fd=%d, errno=%d(%#x)", s32Fd, errno,
                  static_cast<unsigned>(errno));
        return -1;
    }
    return 0;
}

// Both ends of the session's own connection, or -1 with the ERROR line.
int CSshSvrChn::GetSshEnds(int s32SshFd, TSocketEnds &tEnds)
{
    if (GetSocketInfo(s32SshFd, tEnds.strPeer, tEnds.s32PeerPort, tEnds.strLocal,
                      tEnds.s32LocalPort) != 0) {
        LOG_ERROR("get ssh fd:%d socket info err", s32SshFd);
        return -1;
    }
    return 0;
}

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
            if (gethostbyname_r(szHost, &stHost, acHostBuf, sizeof(acHostBuf), &pHost, &s32HErr) !=
                    0 ||
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

// ==== 2. Listener ===========================================================

CSshSvr::CSshSvr()
    : m_bInit(0), m_u32Verbose(0), m_u32CurVerbose(0), m_s32SessionKey(0),
      m_pUserInfo(std::make_shared<const UserInfoMap>()), m_pSshBind(nullptr), m_s32ListenFd(-1),
      m_bShutdown(false), m_s32MaxChannels(DEFAULT_MAX_CHANNELS), m_s64LastRefusalLog(0),
      m_u32RefusalsNotLogged(0)
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
    CMutexGuard cLock(&m_cUserInfoMutex);
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
    CMutexGuard cLock(&m_cAdmissionMutex);
    m_cAdmission = CAdmission(tLimits);
}

void CSshSvr::SetMaxChannels(int s32MaxChannels)
{
    m_s32MaxChannels = s32MaxChannels;
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
    CMutexGuard cLock(&m_cUserInfoMutex);
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

// The accept loop. The listener accepts the TCP connection itself, so that
// a connection over the pre-login limits is closed before any libssh
// session or thread is made for it.
void CSshSvr::Run()
{
    SetName("sshapi-listen");
    if (StartListening() != 0) {
        return;
    }
    while (!m_bShutdown) {
        struct sockaddr_storage stPeer;
        socklen_t u32Len = sizeof(stPeer);
        int s32Fd = accept4(m_s32ListenFd, reinterpret_cast<struct sockaddr *>(&stPeer), &u32Len,
                            SOCK_CLOEXEC);
        if (s32Fd < 0) {
            if (m_bShutdown) {
                break;
            }
            if (errno != EINTR && errno != ECONNABORTED) {
                LOG_ERROR("%s", strerror(errno));
                // A connection that cannot be accepted (no descriptors
                // left) stays queued: pause instead of failing again at once.
                usleep(ACCEPT_RETRY_PAUSE_MS * 1000);
            }
            continue;
        }
        TSourceKey tSource;
        int64_t s64Ticket = 0;
        if (Admit(s32Fd, reinterpret_cast<struct sockaddr *>(&stPeer), u32Len, tSource,
                  s64Ticket)) {
            AcceptOne(s32Fd, tSource, s64Ticket);
        }
    }
}

// Binds and listens. While that fails (an address that the network has not
// configured yet, a port still held, no host key yet) it tries again every
// few seconds, so that boot order never leaves the device unreachable;
// the failure lines are written at most once a minute meanwhile. Returns -1
// only when the service stops first.
int CSshSvr::StartListening()
{
    if (ssh_init() < 0) {
        LOG_ERROR("ssh_init failed");
        return -1;
    }
    int64_t s64LastLogged = 0;
    for (bool bFirst = true;; bFirst = false) {
        int64_t s64Now = MonotonicSeconds();
        bool bLog = bFirst || s64Now - s64LastLogged >= LISTEN_FAILURE_LOG_SECONDS;
        CLogHold cQuiet;
        int s32Rc;
        {
            CLogHoldScope cScope(bLog ? nullptr : &cQuiet);
            s32Rc = InitSsh();
            if (s32Rc != 0) {
                LOG_ERROR("InitSsh fail");
            }
        }
        if (s32Rc == 0) {
            cQuiet.Release();
            return 0;
        }
        if (bLog) {
            s64LastLogged = s64Now;
        }
        if (m_pSshBind != nullptr) {
            ssh_bind_free(m_pSshBind);
            m_pSshBind = nullptr;
        }
        for (int i = 0; i < LISTEN_RETRY_SECONDS * 10; ++i) {
            if (m_bShutdown) {
                return -1;
            }
            usleep(100 * 1000);
        }
    }
}

int CSshSvr::InitSsh()
{
    m_pSshBind = ssh_bind_new();
    if (m_pSshBind == nullptr) {
        LOG_ERROR("ssh_bind_new failed");
        return -1;
    }
    int s32Keys = LoadHostKeys();
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

// Each configured key is loaded now, one by one: a key that cannot be used
// (missing file, DSA without DSA support) is skipped with a line of its
// own, and the others are still served. Returns how many were loaded.
int CSshSvr::LoadHostKeys()
{
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
    return s32Keys;
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

// Admits the connection, or closes it at once with a WARN line. When every
// pre-login slot is taken, a fresh source gets the slot of the longest
// waiting connection of the source that holds the most.
bool CSshSvr::Admit(int s32Fd, const struct sockaddr *pAddr, socklen_t u32Len, TSourceKey &tSource,
                    int64_t &s64Ticket)
{
    tSource = TSourceKey::FromSockaddr(pAddr, u32Len);
    int64_t s64Now = MonotonicSeconds();
    CAdmission::TAdmitDecision tDecision;
    int s32Startups;
    {
        CMutexGuard cLock(&m_cAdmissionMutex);
        tDecision = m_cAdmission.Admit(tSource, s64Now);
        s32Startups = m_cAdmission.Startups();
    }
    s64Ticket = tDecision.s64Ticket;
    if (tDecision.s64DisplacedTicket != 0) {
        Displace(tDecision.s64DisplacedTicket);
        if (RefusalLogDue(s64Now)) {
            LOG_WARN("connection from %s admitted: the longest waiting connection of the source "
                     "holding the most was ended to make room (%d not logged in; %u refusals not "
                     "logged)",
                     tSource.ToText().c_str(), s32Startups, m_u32RefusalsNotLogged);
            m_u32RefusalsNotLogged = 0;
        }
    }
    if (tDecision.eVerdict == CAdmission::ADMIT) {
        return true;
    }
    close(s32Fd);
    if (!RefusalLogDue(s64Now)) {
        return false;
    }
    const char *szWhy = tDecision.eVerdict == CAdmission::REFUSE_PENALTY
                            ? "held off after failed logins"
                        : tDecision.eVerdict == CAdmission::REFUSE_STARTUPS
                            ? "too many connections not logged in"
                            : "too many connections not logged in from this source";
    LOG_WARN("connection from %s refused: %s (%d not logged in; %u refusals not logged)",
             tSource.ToText().c_str(), szWhy, s32Startups, m_u32RefusalsNotLogged);
    m_u32RefusalsNotLogged = 0;
    return false;
}

// The WARN lines of refusals and displacements: at most one a second,
// counting those not logged in between.
bool CSshSvr::RefusalLogDue(int64_t s64Now)
{
    if (s64Now - m_s64LastRefusalLog < 1) {
        ++m_u32RefusalsNotLogged;
        return false;
    }
    m_s64LastRefusalLog = s64Now;
    return true;
}

// Asks the session of an admission ticket to end. Its own thread ends it,
// at its next pass: a libssh session is never used from two threads.
void CSshSvr::Displace(int64_t s64Ticket)
{
    CMutexGuard cGuard(&m_cMutex);
    for (auto &tEntry : m_mapSvrChn) {
        if (tEntry.second->Ticket() == s64Ticket) {
            tEntry.second->RequestStop(SESSION_END_DISPLACED);
            return;
        }
    }
}

void CSshSvr::AcceptOne(int s32Fd, const TSourceKey &tSource, int64_t s64Ticket)
{
    ssh_session pSession = ssh_new();
    if (pSession == nullptr) {
        LOG_ERROR("Failed to allocate session");
        close(s32Fd);
        OnSessionEnded(s64Ticket, CLogQuota::TLogTicket(), tSource, SESSION_END_NONE, false, false);
        return;
    }
    if (ssh_bind_accept_fd(m_pSshBind, pSession, s32Fd) == SSH_ERROR) {
        LOG_ERROR("%s", ssh_get_error(m_pSshBind));
        bool bOwned = ssh_get_fd(pSession) == s32Fd;  // the session closes what it took
        ssh_free(pSession);
        if (!bOwned) {
            close(s32Fd);
        }
        OnSessionEnded(s64Ticket, CLogQuota::TLogTicket(), tSource, SESSION_END_NONE, false, false);
        return;
    }
    UpdateVerbose(m_u32Verbose);
    int s32Key = ++m_s32SessionKey;
    CLogQuota::TLogTicket tLog;
    {
        CMutexGuard cLock(&m_cAdmissionMutex);
        tLog = m_cLogQuota.Start(tSource, MonotonicSeconds());
    }
    CSshSvrChn *pSvrChn = new CSshSvrChn(s32Key, this, static_cast<int>(m_u32CurVerbose), tSource);
    pSvrChn->SetTelnetPort(m_strTelnetPort);
    pSvrChn->SetConnection(s32Fd, m_s32MaxChannels, s64Ticket, tLog);
    {
        // Beyond its source's log quota, a connection's lines are held back
        // until it tries to log in, this first one too.
        CLogHoldScope cScope(tLog.eVerdict == CLogQuota::LOG_LIVE ? nullptr : &pSvrChn->LogHold());
        LOG_INFO("new session key:%d", s32Key);
    }
    SetKeepAlive(pSession, 1, 1, 1, 5);
    SetNoDelay(s32Fd);
    if (!StartSession(s32Key, pSession, pSvrChn)) {
        // Out of threads: this one connection is dropped, every other
        // session and the listener go on.
        delete pSvrChn;
        ssh_disconnect(pSession);
        ssh_free(pSession);
        OnSessionEnded(s64Ticket, CLogQuota::TLogTicket(), tSource, SESSION_END_NONE, false, false);
    }
}

// Registers the session and starts its thread, which looks the session up
// in the registry as it starts. When no thread can be made, nothing stays
// registered and false is returned.
bool CSshSvr::StartSession(int s32Key, ssh_session pSession, CSshSvrChn *pSvrChn)
{
    CMutexGuard cGuard(&m_cMutex);
    m_mapSession[s32Key] = pSession;
    m_mapSvrChn[s32Key] = pSvrChn;
    int s32Err = 0;
    if (pSvrChn->TryStart(&s32Err) == 0) {
        return true;
    }
    LOG_ERROR("create session thread for key:%d fail: %s, connection closed", s32Key,
              strerror(s32Err));
    m_mapSvrChn.erase(s32Key);
    m_mapSession.erase(s32Key);
    return false;
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

void CSshSvr::Shutdown()
{
    m_bShutdown = true;
    int s32Fd = m_s32ListenFd;
    if (s32Fd >= 0) {
        shutdown(s32Fd, SHUT_RDWR);  // wakes the blocked accept
    }
    {
        // Sessions that have not logged in end; the others run on (the
        // process is about to end anyway).
        CMutexGuard cGuard(&m_cMutex);
        for (auto &tEntry : m_mapSvrChn) {
            tEntry.second->RequestStop(SESSION_END_STOPPING);
        }
    }
    Stop();
}

ssh_session CSshSvr::GetSession(int s32Key)
{
    CMutexGuard cGuard(&m_cMutex);
    auto it = m_mapSession.find(s32Key);
    return it != m_mapSession.end() ? it->second : nullptr;
}

// ==== 3. Session ============================================================

CSshSvrChn::CSshSvrChn(int s32Key, CSshSvr *pSvr, int s32Verbose, const TSourceKey &tSource)
    : m_bRunning(1), m_s32Key(s32Key), m_pSvr(pSvr),
      m_u32Verbose(static_cast<uint32_t>(s32Verbose)),
      m_u32CurVerbose(static_cast<uint32_t>(s32Verbose)), m_tSource(tSource), m_s32SshFd(-1),
      m_pSession(nullptr), m_pEvent(nullptr), m_bInEvent(false), m_bClientGone(false),
      m_s64GoneProgressMs(0), m_s64ProbeDueMs(0), m_s64ProbeGapMs(0), m_bClosing(false),
      m_s32TelnetCbDepth(0), m_bUnknownDropLogged(false), m_u64MaxChannels(DEFAULT_MAX_CHANNELS),
      m_s64Ticket(0), m_tLogTicket(), m_bLogLeftOut(false), m_eStopRequest(SESSION_END_NONE),
      m_eEnd(SESSION_END_NONE), m_tAccepted(std::chrono::steady_clock::now()), m_u64FromClient(0),
      m_u64ToClient(0), m_s32Channels(0)
{
    m_tAuth.pSvrChn = this;
    m_tCbCtx.pSvrChn = this;

    memset(&m_tServerCb, 0, sizeof(m_tServerCb));
    m_tServerCb.userdata = &m_tAuth;
    m_tServerCb.auth_password_function = auth_password;
    m_tServerCb.channel_open_request_session_function = channel_open;
    ssh_callbacks_init(&m_tServerCb);

    memset(&m_tChnCb, 0, sizeof(m_tChnCb));
    m_tChnCb.userdata = &m_tCbCtx;
    m_tChnCb.channel_data_function = data_function;
    m_tChnCb.channel_pty_request_function = pty_request;
    m_tChnCb.channel_shell_request_function = shell_request;
    m_tChnCb.channel_pty_window_change_function = pty_resize;
    m_tChnCb.channel_exec_request_function = exec_request;
    m_tChnCb.channel_subsystem_request_function = subsystem_request;
    // Only to learn that the client closed the channel: what libssh still
    // holds of its input is then delivered before the telnet side closes.
    m_tChnCb.channel_close_function = channel_close;
    ssh_callbacks_init(&m_tChnCb);
}

// Telnet sockets still open (a path that ended before the teardown) are
// closed here: none outlives its session.
CSshSvrChn::~CSshSvrChn()
{
    for (auto &pRec : m_vecChn) {
        if (pRec->s32TelnetFd > 0) {
            close(pRec->s32TelnetFd);
        }
    }
    if (m_s32SshFd >= 0) {
        close(m_s32SshFd);
    }
}

void CSshSvrChn::SetTelnetPort(const std::string &strPort)
{
    m_strTelnetPort = strPort;
}

// The session keeps a descriptor of its own for the client's socket: the
// status text reads its ends while libssh may close its descriptor on a
// failure (and the number be given to another file), and the end of the
// session needs the socket after libssh has closed it (EndConnection).
void CSshSvrChn::SetConnection(int s32SshFd, int s32MaxChannels, int64_t s64Ticket,
                               const CLogQuota::TLogTicket &tLog)
{
    {
        CMutexGuard cLock(&m_cRecordMutex);
        m_s32SshFd = fcntl(s32SshFd, F_DUPFD_CLOEXEC, 0);
    }
    GetSocketInfo(s32SshFd, m_tPeer.strPeer, m_tPeer.s32PeerPort, m_tPeer.strLocal,
                  m_tPeer.s32LocalPort);
    m_u64MaxChannels = static_cast<size_t>(s32MaxChannels);
    m_s64Ticket = s64Ticket;
    m_tLogTicket = tLog;
}

void CSshSvrChn::SetVerbose(int s32Verbose)
{
    m_u32Verbose = static_cast<uint32_t>(s32Verbose);
}

int CSshSvrChn::IsRunning()
{
    return m_bRunning;
}

void CSshSvrChn::RequestStop(ESessionEnd eWhy)
{
    int s32None = SESSION_END_NONE;
    m_eStopRequest.compare_exchange_strong(s32None, eWhy);
}

void CSshSvrChn::Run()
{
    SetName("sshapi-session");
    bool bHeld = m_tLogTicket.eVerdict != CLogQuota::LOG_LIVE;
    CLogHoldScope cHoldScope(bHeld ? &m_cLogHold : nullptr);
    if (m_u32CurVerbose != 0) {
        ssh_set_log_level(SSH_LOG_PACKET);
    }
    ssh_set_log_callback(SshLogBridge);
    m_pEvent = ssh_event_new();
    m_pSession = m_pSvr->GetSession(m_s32Key);
    if (m_pEvent == nullptr || m_pSession == nullptr) {
        LOG_ERROR("session key:%d has no %s", m_s32Key,
                  m_pEvent == nullptr ? "event context" : "registered session");
    } else {
        ServeSession();
        // Every way out delivers what was taken for the telnet service and
        // closes the telnet connections the session opened, also those of
        // channels opened while the login was still pending.
        m_bClosing = true;
        DeliverQueuedInput();
        CloseChannels();
        ssh_event_remove_session(m_pEvent, m_pSession);
        m_bInEvent = false;
    }
    if (m_pEvent != nullptr) {
        ssh_event_free(m_pEvent);
        m_pEvent = nullptr;
    }
    {
        CLogHoldScope cDirect(nullptr);  // the admission's lines are never held
        m_pSvr->OnSessionEnded(m_s64Ticket, m_tLogTicket, m_tSource, m_eEnd, m_tAuth.bAttempted,
                               m_tAuth.s32Authenticated != 0);
    }
    if (m_pSession != nullptr) {
        EndConnection();
    }
    // A connection beyond its log quota that never tried to log in leaves
    // no line at all, its reaping included; the summary counts it.
    m_bLogLeftOut = bHeld && !m_tAuth.bAttempted;
    m_bRunning = 0;
    m_pSvr->EraseSession(m_s32Key);
    if (m_bLogLeftOut) {
        m_cLogHold.Discard();
    } else if (m_tAuth.bAttempted) {
        LogSessionEnd();
    }
}

void CSshSvrChn::ServeSession()
{
    ssh_set_auth_methods(m_pSession, SSH_AUTH_METHOD_PASSWORD);
    ssh_set_server_callbacks(m_pSession, &m_tServerCb);
    if (HandleKeyExchange() != 0) {
        return;
    }
    ssh_event_add_session(m_pEvent, m_pSession);
    m_bInEvent = true;
    if (WaitForAuth() != 0) {
        return;
    }
    LOG_INFO("authorization ok");
    RelayLoop();
    Teardown();
}

// libssh 0.10 waits in ssh_handle_key_exchange until the session reaches
// the authentication state. A client that sends its login right behind the
// exchange (several Java libraries do) is authenticated inside the call,
// which then waits out its whole timeout. The exchange therefore runs in
// short slices up to the same bound and the session goes on as soon as it
// is done. Between slices, output that a client does not read is only
// flushed (PollOnce). Afterwards the session is non-blocking: a lingering
// timeout would cut blocking channel writes short, and no write may wait
// for a peer.
int CSshSvrChn::HandleKeyExchange()
{
    long s64Seconds = 0;
    long s64Usec = KEX_SLICE_USEC;
    ssh_options_set(m_pSession, SSH_OPTIONS_TIMEOUT, &s64Seconds);
    ssh_options_set(m_pSession, SSH_OPTIONS_TIMEOUT_USEC, &s64Usec);
    auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(KEX_SECONDS);
    int s32Rc = SSH_AGAIN;
    while (s32Rc == SSH_AGAIN && m_tAuth.s32Authenticated == 0 &&
           m_eStopRequest == SESSION_END_NONE && std::chrono::steady_clock::now() < tDeadline) {
        if (OutputHeld()) {
            s32Rc = PollWithoutParsing(static_cast<int>(KEX_SLICE_USEC / 1000)) == SSH_ERROR
                        ? SSH_ERROR
                        : SSH_AGAIN;
        } else {
            s32Rc = ssh_handle_key_exchange(m_pSession);
        }
    }
    if (s32Rc == SSH_AGAIN && m_tAuth.s32Authenticated != 0) {
        s32Rc = SSH_OK;
    }
    s64Usec = 0;
    ssh_options_set(m_pSession, SSH_OPTIONS_TIMEOUT_USEC, &s64Usec);
    ssh_set_blocking(m_pSession, 0);
    if (s32Rc != SSH_OK) {
        LOG_ERROR("key exchange err [%s]", SessionError(m_pSession).c_str());
        m_eEnd = m_eStopRequest != SESSION_END_NONE
                     ? static_cast<ESessionEnd>(m_eStopRequest.load())
                 : s32Rc == SSH_AGAIN ? SESSION_END_WAIT_RAN_OUT
                                      : EndOfConnection(SESSION_END_KEX_FAILED);
        return -1;
    }
    return 0;
}

// The wait of one pass, in every state of the session. libssh parses what
// it reads from the client in every call that polls, and answers some
// messages by itself (an unknown message, a global request): a client that
// sends and does not read could grow libssh's output without bound. So
// while libssh holds output the kernel has not taken, or the channels hold
// more of the client's input than they may, the session makes no libssh
// call that reads, but one each time the client's socket is writable (a
// flush, which reads at most one 4 KiB slice). Telnet sockets are served
// all the while.
int CSshSvrChn::PollOnce(int s32TimeoutMs)
{
    if (!OutputHeld() && !InputPaused()) {
        return ssh_event_dopoll(m_pEvent, s32TimeoutMs);
    }
    return PollWithoutParsing(s32TimeoutMs);
}

bool CSshSvrChn::OutputHeld() const
{
    return (ssh_get_status(m_pSession) & SSH_WRITE_PENDING) != 0;
}

bool CSshSvrChn::InputPaused() const
{
    return LargestHeldInput() > MAX_HELD_PER_CHANNEL;
}

// Client input the channel that holds the most has left in libssh.
size_t CSshSvrChn::LargestHeldInput() const
{
    size_t u64Largest = 0;
    for (const auto &pRec : Records()) {
        u64Largest = std::max(u64Largest, HeldInput(*pRec));
    }
    return u64Largest;
}

// Every flush, and every write that the kernel does not take whole, reads
// one more slice: past twice the bounds (only a client that plays its reads
// and writes against the pause gets there) the session writes nothing
// either until the channels have taken their input.
bool CSshSvrChn::InputFrozen() const
{
    return LargestHeldInput() > 2 * MAX_HELD_PER_CHANNEL;
}

// A write to the client (or a channel's end of file or close) only once a
// poll has seen the socket writable since the last one: so libssh passes
// its output on before more is given to it, and what waits for the client
// waits in the channel's queue, in order.
bool CSshSvrChn::MayWrite() const
{
    return (ssh_get_poll_flags(m_pSession) & SSH_WRITE_PENDING) == 0 && !InputFrozen();
}

// The wait of a pass in which the session does not read from the client:
// the telnet sockets as they are registered, and the client's socket for
// writability while libssh waits for it (then one flush, or one poll of
// the session without waiting) and, while the channels hold input, for a
// hang-up: a client that has gone gets no more echo, so its channels can
// take what libssh holds for them; if that makes no progress for 5 s, the
// session ends. A probe now and then lets a closed socket show its hang-up.
int CSshSvrChn::PollWithoutParsing(int s32TimeoutMs)
{
    int s32SshFd = ssh_get_fd(m_pSession);
    if (s32SshFd < 0) {
        return SSH_ERROR;
    }
    ProbeForHangUp();
    bool bInEvent = m_bInEvent;
    bool bWantOut = !InputFrozen() && (OutputHeld() || (bInEvent && !MayWrite()));
    bool bWatchHangUp = !m_bClientGone && InputPaused();
    std::vector<struct pollfd> vecPoll;
    vecPoll.push_back(
        {m_bClientGone ? -1 : s32SshFd,
         static_cast<short>((bWantOut ? POLLOUT : 0) | (bWatchHangUp ? POLLRDHUP : 0)), 0});
    std::vector<ssh_channel> vecChannels;
    for (const auto &pRec : Records()) {
        if (pRec->s32FdReg != 0 && pRec->s16Events != 0) {
            vecPoll.push_back({pRec->s32TelnetFd, pRec->s16Events, 0});
            vecChannels.push_back(pRec->pChannel);
        }
    }
    if (m_bClientGone && MonotonicMs() - m_s64GoneProgressMs >= DRAIN_IDLE_MS) {
        LOG_ERROR("ssh session broken [%s]", "client gone while its input was held");
        return SSH_ERROR;
    }
    if (poll(vecPoll.data(), vecPoll.size(), s32TimeoutMs) <= 0) {
        return SSH_AGAIN;
    }
    for (size_t i = 1; i < vecPoll.size(); ++i) {
        if (vecPoll[i].revents != 0) {
            OnTelnetEvent(vecChannels[i - 1], vecPoll[i].fd, vecPoll[i].revents);
        }
    }
    short s16Ssh = vecPoll[0].revents;
    if ((s16Ssh & (POLLRDHUP | POLLHUP | POLLERR)) != 0 && InputPaused()) {
        OnClientGone();
        return SSH_OK;
    }
    if ((s16Ssh & (POLLOUT | POLLHUP | POLLERR)) == 0) {
        return SSH_OK;
    }
    if (OutputHeld()) {
        return ssh_blocking_flush(m_pSession, 0) == SSH_ERROR ? SSH_ERROR : SSH_OK;
    }
    return bInEvent ? ssh_event_dopoll(m_pEvent, 0) : SSH_OK;
}

// A client that closes its socket while the session reads nothing from it
// cannot pass its close on: the close waits behind the input its kernel
// still has to send, which the session's kernel has no room for. Data sent
// to that socket draws a reset, which the poll sees. So while the session
// reads nothing and libssh holds no output, an SSH_MSG_IGNORE goes to the
// client now and then (a client that is there drops it). libssh parses one
// read of at most 4 KiB after sending it, as a flush does; while the
// session is frozen the wait doubles after each probe, so what a client
// that plays against the freeze gains that way stays a few KiB.
void CSshSvrChn::ProbeForHangUp()
{
    if (m_bClientGone || !InputPaused()) {
        m_s64ProbeDueMs = 0;
        return;
    }
    int64_t s64Now = MonotonicMs();
    if (m_s64ProbeDueMs == 0) {
        m_s64ProbeGapMs = HANGUP_PROBE_MS;
        m_s64ProbeDueMs = s64Now + m_s64ProbeGapMs;
        return;
    }
    if (s64Now < m_s64ProbeDueMs || OutputHeld()) {
        return;
    }
    m_s64ProbeGapMs =
        InputFrozen() ? std::min(2 * m_s64ProbeGapMs, HANGUP_PROBE_MAX_MS) : HANGUP_PROBE_MS;
    m_s64ProbeDueMs = s64Now + m_s64ProbeGapMs;
    ssh_send_ignore(m_pSession, "");
}

// The client hung up while its channels held input: nothing can be written
// to it any more, so what waits for it goes, and its channels take the rest
// of their input without echo.
void CSshSvrChn::OnClientGone()
{
    m_bClientGone = true;
    m_s64GoneProgressMs = MonotonicMs();
    for (auto &pRec : Records()) {
        pRec->strEcho.clear();
    }
}

// How a connection whose session failed ended: libssh's error text tells a
// client that disconnected, or closed its socket, from one that was lost.
ESessionEnd CSshSvrChn::EndOfConnection(ESessionEnd eIfNotClosed) const
{
    const char *szErr = ssh_get_error(m_pSession);
    std::string strErr = szErr != nullptr ? szErr : "";
    if (strErr.rfind("Received SSH_MSG_DISCONNECT", 0) == 0 ||
        strErr.find("Socket error: disconnected") != std::string::npos) {
        return SESSION_END_CLIENT_CLOSED;
    }
    return eIfNotClosed;
}

// ==== 4. Login ==============================================================

namespace
{

int auth_password(ssh_session, const char *szUser, const char *szPassword, void *pUserdata)
{
    TAuthState *pAuth = static_cast<TAuthState *>(pUserdata);
    std::string strUser = szUser != nullptr ? szUser : "";
    std::string strPwd = szPassword != nullptr ? szPassword : "";

    if (pAuth->pSvrChn != nullptr) {
        pAuth->pSvrChn->OnLoginAttempt();
    }
    pAuth->strUser = strUser;
    LOG_INFO("check user [%s]", EscapeForLog(strUser).c_str());
    // One poll can carry many pipelined password requests: once the limit
    // is reached, refuse without checking, so no further guesses are made
    // (and none is counted as an attempt).
    if (pAuth->s32AuthAttempts >= AUTH_MAX_FAILURES) {
        LOG_ERROR("too many failed attempts (%d), request refused", pAuth->s32AuthAttempts);
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

}  // namespace

void CSshSvrChn::OnLoginAttempt()
{
    if (m_tAuth.bAttempted) {
        return;
    }
    m_tAuth.bAttempted = true;
    m_pSvr->OnLoginAttempt(m_tLogTicket);
    // Every connection that tries to log in is logged in full.
    m_cLogHold.Release();
}

int CSshSvrChn::CheckUser(const std::string &strUser, const std::string &strPwd)
{
    int s32Ok = m_pSvr->CheckUser(strUser, strPwd);
    if (s32Ok == 1 && m_tAuth.s32Authenticated == 0) {
        m_pSvr->OnLoggedIn(m_s64Ticket);
    }
    return s32Ok;
}

int CSshSvr::CheckUser(const std::string &strUser, const std::string &strPwd)
{
    std::string strDigest;
    {
        CMd5A cMd5;
        const char *szDigest = cMd5.MDString(strPwd.c_str());
        strDigest = szDigest != nullptr ? szDigest : "";
    }
    std::shared_ptr<const UserInfoMap> pTable;
    {
        CMutexGuard cLock(&m_cUserInfoMutex);
        pTable = m_pUserInfo;
    }
    // Only a computed digest in the stored form can admit: a digest that
    // could not be computed (empty) must never match an empty stored value.
    bool bDigestOk = IsStoredDigest(strDigest);
    if (!bDigestOk) {
        LOG_ERROR("password digest not available, login refused");
    }
    auto it = pTable->find(strUser);
    if (bDigestOk && it != pTable->end()) {
        if (it->second.size() == strDigest.size() &&
            CRYPTO_memcmp(it->second.data(), strDigest.data(), strDigest.size()) == 0) {
            return 1;
        }
        // The line keeps its shape, but secrets never reach the log.
        LOG_ERROR("check user:%s!=%s pwd:%s,pwd:%s!=%s fail", EscapeForLog(strUser).c_str(),
                  EscapeForLog(it->first).c_str(), "***", "***", "***");
    }
    LOG_ERROR("check user fail");
    return 0;
}

bool IsStoredDigest(const std::string &strValue)
{
    return strValue.size() == 32 &&
           strValue.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void CSshSvr::OnLoggedIn(int64_t s64Ticket)
{
    CMutexGuard cLock(&m_cAdmissionMutex);
    m_cAdmission.LoggedIn(s64Ticket);
}

void CSshSvr::OnLoginAttempt(const CLogQuota::TLogTicket &tLog)
{
    CMutexGuard cLock(&m_cAdmissionMutex);
    m_cLogQuota.Attempted(tLog);
}

// Waits for a login and a channel: three refused passwords or 1000 polls
// end the connection.
int CSshSvrChn::WaitForAuth()
{
    for (int s32Pass = 0;; ++s32Pass) {
        if (m_tAuth.s32Authenticated != 0 && m_tAuth.pChannel != nullptr) {
            return 0;
        }
        if (m_tAuth.s32AuthAttempts >= AUTH_MAX_FAILURES || s32Pass >= AUTH_MAX_POLLS) {
            LOG_ERROR("authorization fail attempts:%d time:%d ms", m_tAuth.s32AuthAttempts,
                      s32Pass * POLL_TIMEOUT_MS);
            m_eEnd = m_tAuth.s32AuthAttempts >= AUTH_MAX_FAILURES ? SESSION_END_REFUSED
                                                                  : SESSION_END_WAIT_RAN_OUT;
            return -1;
        }
        if (m_eStopRequest != SESSION_END_NONE && m_tAuth.s32Authenticated == 0) {
            LOG_ERROR("authorization fail attempts:%d time:%d ms", m_tAuth.s32AuthAttempts,
                      s32Pass * POLL_TIMEOUT_MS);
            m_eEnd = static_cast<ESessionEnd>(m_eStopRequest.load());
            return -1;
        }
        if (PollOnce(POLL_TIMEOUT_MS) == SSH_ERROR || SessionClosed(m_pSession)) {
            LOG_ERROR("poll err [%s]", SessionError(m_pSession).c_str());
            m_eEnd = EndOfConnection(SESSION_END_CONNECTION_LOST);
            return -1;
        }
    }
}

// ==== 5. Channel ============================================================

namespace
{

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
        return pChannel;
    }
    LOG_INFO("init ssh channel fail");
    ssh_channel_free(pChannel);
    return nullptr;
}

}  // namespace

// Connects the channel's telnet connection and announces the address the
// client reached. The record is kept only when that worked.
int CSshSvrChn::OpenTelnet(ssh_channel pChannel)
{
    // A session that is ending takes no new channel: the channels have been
    // closed already, so its telnet connection would outlive the session.
    if (m_bClosing) {
        LOG_INFO("session key:%d is closing, channel refused", m_s32Key);
        return -1;
    }
    // Each channel holds a telnet connection and queues: without a cap one
    // client could take every descriptor of the process and lock other
    // users out. Channels whose input is still being delivered count; one
    // that is closed and only waits for the end of the pass to go does not
    // (a client opening a channel per command is never limited).
    size_t u64Open = std::count_if(Records().begin(), Records().end(), [](const auto &pRec) {
        return (pRec->s32Status == 0 && !pRec->bClientClosed &&
                ssh_channel_is_open(pRec->pChannel)) ||
               !pRec->tToTelnet.empty() || HeldInput(*pRec) != 0;
    });
    if (u64Open >= m_u64MaxChannels) {
        LOG_WARN("session key:%d has %zu channels open, channel refused", m_s32Key, u64Open);
        return -1;
    }
    int s32Port = atoi(m_strTelnetPort.c_str());
    int s32Fd = ConnectServer("127.0.0.1", s32Port, "tcp");
    if (s32Fd < 0) {
        LOG_ERROR("Failed to connect telnet server: %s:%d", "127.0.0.1", s32Port);
        return -1;
    }
    TSocketEnds tSsh;
    if (GetSshEnds(ssh_get_fd(m_pSession), tSsh) != 0) {
        close(s32Fd);
        return -1;
    }
    LOG_INFO("ssh cli: [%s]  ----ssh svr: [%s]", tSsh.strPeer.c_str(), tSsh.strLocal.c_str());
    // From here on no write to the telnet service blocks the session: what
    // it does not take at once is queued (see SendToTelnet).
    fcntl(s32Fd, F_SETFL, fcntl(s32Fd, F_GETFL) | O_NONBLOCK);
    std::string strLine = "local_ip_preview:" + tSsh.strLocal + "\n";
    ssize_t s64Sent = send(s32Fd, strLine.data(), strLine.size(), MSG_NOSIGNAL);
    if (s64Sent != static_cast<ssize_t>(strLine.size())) {
        LOG_ERROR("write telnet socket len :%d less then buf len :%d", static_cast<int>(s64Sent),
                  static_cast<int>(strLine.size()));
        close(s32Fd);
        return -1;
    }
    std::unique_ptr<TChnRecord> pRec(new TChnRecord());
    pRec->pChannel = pChannel;
    pRec->s32TelnetFd = s32Fd;
    // Installed before the open is confirmed, so no request of the client
    // can reach a channel that has no callbacks yet.
    ssh_set_channel_callbacks(pChannel, &m_tChnCb);
    pRec->s32ChnReg = 1;
    AddRecord(std::move(pRec));
    ++m_s32Channels;
    return 0;
}

namespace
{

// Channel requests: terminal, window-change and shell are accepted (the
// channel is already connected to the telnet service), command execution
// and subsystems refused. Nothing is started.

int pty_request(ssh_session, ssh_channel, const char *, int s32Width, int s32Height, int s32PxWidth,
                int s32PxHeight, void *)
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
    LOG_INFO("#### exec_request %d-%d-[%s]", pCtx->s32PtyMaster, pCtx->s32PtySlave, strCmd.c_str());
    return -1;
}

int subsystem_request(ssh_session, ssh_channel, const char *szSubsystem, void *)
{
    std::string strName =
        szSubsystem != nullptr ? EscapeForLog(szSubsystem, strlen(szSubsystem)) : "";
    LOG_INFO("#### subsystem_request [%s]", strName.c_str());
    return -1;
}

}  // namespace

// The channel records. The session thread is their only writer; the status
// text reads them on the debug thread, so every change of a field it shows
// (and of the vector) is made under m_cRecordMutex.

// The session thread reads the records without the lock: it is the only
// thread that changes them. The analysis cannot know which thread calls, so
// the assertion does.
const TChnRecords &CSshSvrChn::Records() const NO_THREAD_SAFETY_ANALYSIS
{
    COMMON_ASSERT(CThread::GetCurrent() == this);
    return m_vecChn;
}

TChnRecord *CSshSvrChn::FindRecord(ssh_channel pChannel)
{
    for (auto &pRec : Records()) {
        if (pRec->pChannel == pChannel) {
            return pRec.get();
        }
    }
    return nullptr;
}

void CSshSvrChn::AddRecord(std::unique_ptr<TChnRecord> pRec)
{
    CMutexGuard cLock(&m_cRecordMutex);
    m_vecChn.push_back(std::move(pRec));
}

void CSshSvrChn::EraseRecord(ssh_channel pChannel)
{
    CMutexGuard cLock(&m_cRecordMutex);
    for (auto it = m_vecChn.begin(); it != m_vecChn.end(); ++it) {
        if ((*it)->pChannel == pChannel) {
            m_vecChn.erase(it);
            return;
        }
    }
}

void CSshSvrChn::SetFlag(TChnRecord &rRec, int TChnRecord::*pField, int s32Value)
{
    CMutexGuard cLock(&m_cRecordMutex);
    rRec.*pField = s32Value;
}

// Takes the socket out of the event context and closes it. The number is
// cleared under the lock before the close, so the status text never
// describes a socket that the number belongs to afterwards. Called from the
// loops of the session, never from inside a callback.
void CSshSvrChn::CloseTelnetSide(TChnRecord &rRec)
{
    if (rRec.s32TelnetFd <= 0) {
        return;
    }
    if (rRec.s32FdReg != 0) {
        ssh_event_remove_fd(m_pEvent, rRec.s32TelnetFd);
    }
    {
        CMutexGuard cLock(&m_cRecordMutex);
        close(rRec.s32TelnetFd);
        rRec.s32TelnetFd = -1;
        rRec.s32FdReg = 0;
    }
    rRec.s16Events = 0;
    rRec.bResync = false;
    rRec.tToTelnet = TByteQueue();
}

int CSshSvrChn::GetTelnetFd(ssh_channel pChannel)
{
    for (const auto &pRec : Records()) {
        if (pRec->pChannel == pChannel && pRec->s32TelnetFd > 0) {
            return pRec->s32TelnetFd;
        }
    }
    return -1;
}

// ==== 6. Relay ==============================================================

// The relay of one connection, a pass at a time:
//   1. Wait (PollOnce). The callbacks run inside the wait as events come:
//      client input is taken for the telnet service and echoed
//      (TakeClientInput), a channel the client closed starts its drain
//      (OnClientClose), telnet sockets are written and read, their output
//      written to the client (OnTelnetEvent).
//   2. Apply a verbosity change; after a quiet wait, give back the large
//      buffers of a bulk transfer.
//   3. Per channel: flush its queue to the telnet service, take back input
//      left in libssh while there was no room, write what waits for the
//      client.
//   4. Register each telnet socket for what its channel wants now.
//   5. Retire the channels that are closed and have delivered their input.
// It ends when no channel is left, or on a session error (the teardown then
// delivers what was taken). The functions below follow this order.
void CSshSvrChn::RelayLoop()
{
    do {
        int s32Rc = PollOnce(POLL_TIMEOUT_MS);
        if (s32Rc != SSH_ERROR && SessionClosed(m_pSession)) {
            LOG_ERROR("ssh session broken [%s]", SessionError(m_pSession).c_str());
            s32Rc = SSH_ERROR;
        }
        ApplyVerbose(static_cast<int>(m_u32Verbose.load()));
        if (s32Rc == SSH_AGAIN) {
            ReleaseIdleBuffers();
        }
        // Records may be added while this runs (a write polls): by index.
        for (size_t i = 0; i < Records().size(); ++i) {
            TChnRecord &rRec = *Records()[i];
            FlushToTelnet(rRec);
            PullHeldInput(rRec);
            FlushToClient(rRec, true);
        }
        if (s32Rc == SSH_ERROR) {
            LOG_ERROR("poll error, close all channel");
            m_eEnd = EndOfConnection(SESSION_END_CONNECTION_LOST);
            return;
        }
        SyncTelnetPolls();
        RetireClosedChannels();
    } while (HasOpenChannel() != 0 || !Records().empty());
}

namespace
{

int data_function(ssh_session, ssh_channel pChannel, void *pData, uint32_t u32Len, int s32Stderr,
                  void *pUserdata)
{
    TChnCbCtx *pCtx = static_cast<TChnCbCtx *>(pUserdata);
    return pCtx->pSvrChn->TakeClientInput(pChannel, static_cast<const char *>(pData), u32Len,
                                          s32Stderr);
}

void channel_close(ssh_session, ssh_channel pChannel, void *pUserdata)
{
    static_cast<TChnCbCtx *>(pUserdata)->pSvrChn->OnClientClose(pChannel);
}

int read_telnet(socket_t s32Fd, int s32Events, void *pUserdata)
{
    ssh_channel pChannel = static_cast<ssh_channel>(pUserdata);
    CSshSvrChn *pSvrChn = CurrentSvrChn();
    if (pChannel == nullptr || pSvrChn == nullptr) {
        return 0;
    }
    return pSvrChn->OnTelnetEvent(pChannel, s32Fd, s32Events);
}

}  // namespace

// Client input (u32Len is all of it that libssh holds for this stream).
// Returns what was taken: as much as the channel has room for, so that
// libssh keeps the rest and stops granting window.
int CSshSvrChn::TakeClientInput(ssh_channel pChannel, const char *pData, uint32_t u32Len,
                                int s32Stderr)
{
    TChnRecord *pRec = FindRecord(pChannel);
    if (pRec == nullptr || pRec->s32TelnetFd <= 0) {
        // Kept in libssh, it would grow without bound: dropped, logged once.
        if (SvcLogEnabled(LOG_PRIO_DEBUG)) {
            LOG_DEBUG("#### data_function get data[%s] len %d from ssh client",
                      DumpForLog(pData, u32Len).c_str(), static_cast<int>(u32Len));
        }
        if (pRec == nullptr ? !m_bUnknownDropLogged : !pRec->bDropLogged) {
            LOG_ERROR("telnet connection isnot open, %d, channel:%p", -1,
                      static_cast<void *>(pChannel));
            (pRec == nullptr ? m_bUnknownDropLogged : pRec->bDropLogged) = true;
        }
        m_u64FromClient += u32Len;
        return static_cast<int>(u32Len);
    }
    size_t u64Take = std::min<size_t>(u32Len, Room(*pRec));
    if (u64Take < std::min<size_t>(u32Len, MIN_TAKE)) {
        u64Take = 0;
    }
    bool bEcho = !NoEcho(*pRec);  // decided with the room: the take may end a pause
    pRec->au32Held[s32Stderr != 0 ? 1 : 0] = u32Len - static_cast<uint32_t>(u64Take);
    Consume(*pRec, pData, u64Take, bEcho);
    return static_cast<int>(u64Take);
}

// How much client input a channel can take now. The connection's budget is
// shared first come, first served: a channel that finds it used up waits
// until the others' queues have drained, as one at its own cap does. Each
// byte taken costs a byte to the telnet service and a byte of echo (none
// for a channel the client has closed).
size_t CSshSvrChn::Room(const TChnRecord &rRec) const
{
    size_t u64Queued = QueuedBytes();
    size_t u64Own = std::max(rRec.tToTelnet.size(), NoEcho(rRec) ? 0 : rRec.strEcho.size());
    if (u64Queued >= SESSION_QUEUE_BUDGET || u64Own >= CHANNEL_QUEUE_CAP) {
        return 0;
    }
    size_t u64Budget = (SESSION_QUEUE_BUDGET - u64Queued) / (NoEcho(rRec) ? 1 : 2);
    return std::min(u64Budget, CHANNEL_QUEUE_CAP - u64Own);
}

// The queues of the connection, in all.
size_t CSshSvrChn::QueuedBytes() const
{
    size_t u64All = 0;
    for (const auto &pRec : Records()) {
        u64All += pRec->tToTelnet.size() + pRec->strEcho.size();
    }
    return u64All;
}

// No echo for a channel the client closed, or a client that has gone; and
// none once the echo leaves less than the smallest take of room in the
// channel's queue while the session reads nothing from the client: a
// client that reads nothing and sends past its window would otherwise
// leave its input stuck behind its own echo (echo a few bytes short of the
// cap left a room too small to take, and the session stalled for good).
bool CSshSvrChn::NoEcho(const TChnRecord &rRec) const
{
    return rRec.bClientClosed || m_bClientGone ||
           (rRec.strEcho.size() + MIN_TAKE > CHANNEL_QUEUE_CAP && InputPaused());
}

// Client bytes go to the telnet socket unchanged and are echoed back: a
// lone carriage return as carriage return and line feed, anything else up
// to its first NUL (bEcho false: no echo, see NoEcho).
void CSshSvrChn::Consume(TChnRecord &rRec, const char *pData, size_t u64Len, bool bEcho)
{
    if (u64Len == 0) {
        return;
    }
    if (SvcLogEnabled(LOG_PRIO_DEBUG)) {
        LOG_DEBUG("#### data_function get data[%s] len %d from ssh client",
                  DumpForLog(pData, u64Len).c_str(), static_cast<int>(u64Len));
    }
    m_u64FromClient += u64Len;
    SendToTelnet(rRec, pData, u64Len);
    if (!bEcho) {
        return;
    }
    if (u64Len == 1 && pData[0] == '\r') {
        rRec.strEcho += "\r\n";
    } else {
        rRec.strEcho.append(pData, strnlen(pData, u64Len));
    }
}

// Echo for a channel named by its handle (the relay itself appends to the
// record it holds).
void CSshSvrChn::AddEcho(ssh_channel pChannel, const std::string &strText)
{
    TChnRecord *pRec = FindRecord(pChannel);
    if (pRec == nullptr) {
        LOG_ERROR("unknow to echo channel %p", static_cast<void *>(pChannel));
        return;
    }
    pRec->strEcho += strText;
}

// Writes to the telnet socket never block: what it does not take now waits
// in the channel's queue, in order, and goes out when the socket is
// writable (FlushToTelnet).
void CSshSvrChn::SendToTelnet(TChnRecord &rRec, const char *pData, size_t u64Len)
{
    if (!rRec.tToTelnet.empty()) {
        rRec.tToTelnet.append(pData, u64Len);
        return;
    }
    ssize_t s64Sent = send(rRec.s32TelnetFd, pData, u64Len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (s64Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        s64Sent = 0;
    }
    if (s64Sent < 0) {
        LOG_ERROR("write telnet socket len :%d less then buf len :%d", -1,
                  static_cast<int>(u64Len));
        return;
    }
    if (static_cast<size_t>(s64Sent) < u64Len) {
        rRec.tToTelnet.append(pData + s64Sent, u64Len - static_cast<size_t>(s64Sent));
    }
    if (s64Sent > 0) {
        NoteDrainProgress(rRec);
    }
}

void CSshSvrChn::NoteDrainProgress(TChnRecord &rRec)
{
    if (!Draining(rRec)) {
        return;
    }
    rRec.s64DrainProgressMs = MonotonicMs();
    if (rRec.s64DrainStartMs == 0) {
        rRec.s64DrainStartMs = rRec.s64DrainProgressMs;
    }
}

// Its input goes to the telnet service, its telnet output nowhere: the
// client has closed the channel, or has gone.
bool CSshSvrChn::Draining(const TChnRecord &rRec) const
{
    return rRec.bClientClosed || rRec.s32Status != 0 || m_bClientGone;
}

// The client closed the channel. libssh keeps what it still holds of the
// channel's input readable (its close is delayed until that is read), and
// what the channel took waits in its queue: both go to the telnet service
// first (RetireClosedChannels). Nothing can be written to the client on it
// any more.
void CSshSvrChn::OnClientClose(ssh_channel pChannel)
{
    TChnRecord *pRec = FindRecord(pChannel);
    if (pRec == nullptr || pRec->bClientClosed) {
        return;
    }
    pRec->bClientClosed = true;
    pRec->strEcho.clear();
    NoteDrainProgress(*pRec);
}

// The telnet socket is readable or writable. Its end of file (or an error)
// takes it out of the event context from inside this callback, as does
// output the channel cannot take now, so that it cannot make a poll return
// at once again and again; the main loop registers it again when it can
// take more. That is done only when no other OnTelnetEvent is running
// below this one: removing a handle from a poll that an outer call is still
// walking corrupts that walk. A nested call flags the record instead; it
// runs inside a non-blocking write, which polls once, so it cannot spin.
int CSshSvrChn::OnTelnetEvent(ssh_channel pChannel, int s32Fd, int s32Events)
{
    TChnRecord *pRec = FindRecord(pChannel);
    if (pRec == nullptr || pRec->s32TelnetFd != s32Fd) {
        return 0;
    }
    bool bOutermost = m_s32TelnetCbDepth == 0;
    ++m_s32TelnetCbDepth;
    if ((s32Events & POLLOUT) != 0) {
        FlushToTelnet(*pRec);
    }
    bool bBlocked = false;
    if ((s32Events & POLLIN) != 0) {
        bBlocked = !ReadTelnet(*pRec);
    } else if ((s32Events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        MarkTelnetEof(*pRec);
    }
    --m_s32TelnetCbDepth;
    short s16Drop = (pRec->bTelnetEof || bBlocked) ? POLLIN : 0;
    if (pRec->tToTelnet.empty()) {
        s16Drop |= POLLOUT;
    }
    if ((pRec->s16Events & s16Drop) == 0) {
        return 0;
    }
    if (!bOutermost) {
        pRec->bResync = true;
        return 0;
    }
    ssh_event_remove_fd(m_pEvent, s32Fd);
    SetFlag(*pRec, &TChnRecord::s32FdReg, 0);
    pRec->s16Events = 0;
    pRec->bResync = false;
    return -1;  // tells libssh that this handle is gone
}

void CSshSvrChn::FlushToTelnet(TChnRecord &rRec)
{
    if (rRec.tToTelnet.empty() || rRec.s32TelnetFd <= 0) {
        return;
    }
    ssize_t s64Sent = send(rRec.s32TelnetFd, rRec.tToTelnet.data(), rRec.tToTelnet.size(),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
    if (s64Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (s64Sent < 0) {
        LOG_ERROR("write telnet socket len :%d less then buf len :%d", -1,
                  static_cast<int>(rRec.tToTelnet.size()));
        rRec.tToTelnet = TByteQueue();
        return;
    }
    rRec.tToTelnet.consume(static_cast<size_t>(s64Sent));
    NoteDrainProgress(rRec);
}

// Relays one read of telnet output; false when the channel cannot take it
// now. A channel being drained reads and drops it.
bool CSshSvrChn::ReadTelnet(TChnRecord &rRec)
{
    FlushToClient(rRec, false);  // echo of earlier input goes out first
    if (!CanTakeTelnetOutput(rRec)) {
        return false;
    }
    bool bDrop = Draining(rRec);
    uint32_t u32Want =
        bDrop ? RELAY_BUF_SIZE : std::min(RELAY_BUF_SIZE, ssh_channel_window_size(rRec.pChannel));
    TRelayBuffer::CLoan cLoan(m_cRelayBuf);
    char *pBuf = RelayBuffer(cLoan.Get());
    ssize_t s64Count = read(rRec.s32TelnetFd, pBuf, u32Want);
    if (s64Count >= 0 && SvcLogEnabled(LOG_PRIO_DEBUG)) {
        LOG_DEBUG("read telnet [%s][%d]", DumpForLog(pBuf, static_cast<size_t>(s64Count)).c_str(),
                  static_cast<int>(s64Count));
    }
    if (s64Count > 0 && !bDrop) {
        int s32Ret = ssh_channel_write(rRec.pChannel, pBuf, static_cast<uint32_t>(s64Count));
        if (s32Ret < 0) {
            LOG_ERROR("wirte channel err, n:%d ret:%d", static_cast<int>(s64Count), s32Ret);
        } else {
            m_u64ToClient += static_cast<uint64_t>(s32Ret);
            if (s32Ret < s64Count) {
                rRec.strEcho.insert(0, pBuf + s32Ret, static_cast<size_t>(s64Count - s32Ret));
            }
        }
    } else if (s64Count == 0) {
        MarkTelnetEof(rRec);
    } else if (s64Count < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        LOG_ERROR("read telnet fd:%d fail, errno=%d", rRec.s32TelnetFd, errno);
        MarkTelnetEof(rRec);
    }
    return true;
}

// Writes what waits for the client (echo and telnet output, in order), as
// much as its window takes, and only once libssh has passed its earlier
// output to the kernel: so what libssh holds for a client that does not
// read stays bounded. With bMayHold, bulk echo is gathered while the
// client streams (more input already queued on the socket) and goes out in
// large writes: written per pass, every 32 KiB input packet gave a full
// packet and a 10-byte one, each with its own MAC and send.
void CSshSvrChn::FlushToClient(TChnRecord &rRec, bool bMayHold)
{
    if (rRec.strEcho.empty() || rRec.s32Status != 0 || rRec.bClientClosed || m_bClientGone ||
        !MayWrite()) {
        return;
    }
    size_t u64Len = std::min<size_t>(rRec.strEcho.size(), ssh_channel_window_size(rRec.pChannel));
    if (u64Len == 0) {
        return;
    }
    if (bMayHold && rRec.strEcho.size() >= ECHO_HOLD_MIN && rRec.strEcho.size() < ECHO_HOLD_MAX &&
        ClientInputQueued(rRec.pChannel) >= ECHO_HOLD_MIN) {
        return;
    }
    // Taken out first: the write may poll and run data_function, which
    // appends new echo to the record. All of it is swapped out, so that the
    // buffers go back and forth instead of being copied.
    TOutBuffer::CLoan cLoan(m_cOut);
    std::string &strOut = cLoan.Get();
    if (u64Len == rRec.strEcho.size()) {
        strOut.clear();
        strOut.swap(rRec.strEcho);
    } else {
        strOut.assign(rRec.strEcho, 0, u64Len);
        rRec.strEcho.erase(0, u64Len);
    }
    if (SvcLogEnabled(LOG_PRIO_DEBUG)) {
        LOG_DEBUG("echo client [%s][%d]", DumpForLog(strOut.data(), strOut.size()).c_str(),
                  static_cast<int>(strOut.size()));
    }
    int s32Written = ssh_channel_write(rRec.pChannel, strOut.data(), static_cast<uint32_t>(u64Len));
    if (s32Written < 0) {
        LOG_ERROR("wirte channel err, n:%d ret:%d", static_cast<int>(u64Len), s32Written);
    } else {
        m_u64ToClient += static_cast<uint64_t>(s32Written);
        if (static_cast<size_t>(s32Written) < u64Len) {
            rRec.strEcho.insert(0, strOut, static_cast<size_t>(s32Written), std::string::npos);
        }
    }
    strOut.clear();
}

// Telnet output is read only while the channel can take it: nothing waits
// for the client ahead of it, its window is open and libssh has passed its
// earlier output on. A channel that is being drained reads it always, and
// drops it, so that the telnet service never waits on its output.
bool CSshSvrChn::CanTakeTelnetOutput(const TChnRecord &rRec) const
{
    if (rRec.bTelnetEof) {
        return false;
    }
    if (Draining(rRec)) {
        return true;
    }
    return rRec.strEcho.empty() && ssh_channel_window_size(rRec.pChannel) > 0 && MayWrite();
}

void CSshSvrChn::MarkTelnetEof(TChnRecord &rRec)
{
    if (!rRec.bTelnetEof) {
        LOG_INFO("telnet fd:%d closed by the telnet service, channel stays open", rRec.s32TelnetFd);
        rRec.bTelnetEof = true;
    }
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

// A quiet pass gives back the large buffers of a bulk transfer; while the
// transfer goes on they are kept, so that they are not mapped afresh (and
// faulted in) for every write.
void CSshSvrChn::ReleaseIdleBuffers()
{
    auto Release = [](std::string &strBuf) {
        if (strBuf.empty() && strBuf.capacity() > QUEUE_KEEP_CAPACITY) {
            std::string().swap(strBuf);
        }
    };
    Release(m_cOut.Idle());
    for (auto &pRec : Records()) {
        Release(pRec->strEcho);
        Release(pRec->tToTelnet.strBuf);
    }
}

// Input left in libssh for lack of room is taken once the channel has room
// again: libssh offers it to the data callback only when the next packet
// arrives, and a client whose window is used up sends none. It is taken
// whole, so that libssh (which grants new window after every read) grants
// it only with nothing of the old held: so an honest client never has more
// than its window, up to 1.92 MB, waiting there. The channel may then hold
// that much beyond its cap, never the connection beyond its budget. While
// the session reads nothing from the client, what fits is taken. Reading
// what libssh already holds reads nothing from the client; a channel the
// client has closed gives up the rest of its input this way only.
void CSshSvrChn::PullHeldInput(TChnRecord &rRec)
{
    for (int s32Stream = 0; s32Stream < 2; ++s32Stream) {
        uint32_t &rHeld = rRec.au32Held[s32Stream];
        if (rHeld == 0 || rRec.s32TelnetFd <= 0) {
            continue;
        }
        bool bEcho = !NoEcho(rRec);
        size_t u64Own = std::max(rRec.tToTelnet.size(), bEcho ? rRec.strEcho.size() : 0);
        size_t u64Want = rHeld;
        bool bWhole = QueuedBytes() + u64Want * (bEcho ? 2 : 1) <= SESSION_QUEUE_BUDGET &&
                      (u64Own == 0 || u64Own + u64Want <= CHANNEL_QUEUE_CAP);
        if (!bWhole) {
            u64Want = InputPaused() ? Room(rRec) : 0;
            if (u64Want < std::min<size_t>(rHeld, MIN_TAKE)) {
                continue;
            }
        }
        TRelayBuffer::CLoan cLoan(m_cRelayBuf);
        char *pBuf = RelayBuffer(cLoan.Get());
        while (u64Want > 0 && rHeld > 0) {
            uint32_t u32Chunk = static_cast<uint32_t>(std::min<size_t>(u64Want, RELAY_BUF_SIZE));
            int s32Got = ssh_channel_read_nonblocking(rRec.pChannel, pBuf, u32Chunk, s32Stream);
            if (s32Got <= 0) {
                rHeld = 0;  // gone with the session, or never there
                break;
            }
            rHeld -= std::min(rHeld, static_cast<uint32_t>(s32Got));
            u64Want -= std::min(u64Want, static_cast<size_t>(s32Got));
            Consume(rRec, pBuf, static_cast<size_t>(s32Got), bEcho);
            NoteDrainProgress(rRec);
            m_s64GoneProgressMs = MonotonicMs();
        }
    }
}

// Registers each telnet socket for what its channel wants now, and
// registers again a socket whose callback could not unregister itself.
// A registration that fails closes that channel.
void CSshSvrChn::SyncTelnetPolls()
{
    for (size_t i = 0; i < Records().size(); ++i) {
        TChnRecord &rRec = *Records()[i];
        short s16Want = WantedEvents(rRec);
        bool bMissing = (s16Want & ~rRec.s16Events) != 0;
        if (!bMissing && !(rRec.bResync && s16Want != rRec.s16Events)) {
            rRec.bResync = false;
            continue;
        }
        if (rRec.s32FdReg != 0) {
            ssh_event_remove_fd(m_pEvent, rRec.s32TelnetFd);
            SetFlag(rRec, &TChnRecord::s32FdReg, 0);
            rRec.s16Events = 0;
        }
        rRec.bResync = false;
        if (s16Want == 0) {
            continue;
        }
        if (ssh_event_add_fd(m_pEvent, rRec.s32TelnetFd, s16Want, read_telnet, rRec.pChannel) ==
            SSH_OK) {
            SetFlag(rRec, &TChnRecord::s32FdReg, 1);
            rRec.s16Events = s16Want;
            continue;
        }
        LOG_ERROR("Failed to register telnet fd:%d to poll context", rRec.s32TelnetFd);
        ssh_channel pChannel = rRec.pChannel;
        CloseTelnetSide(rRec);
        ssh_channel_close(pChannel);
        EraseRecord(pChannel);
        return;  // the rest are registered in a later pass
    }
}

short CSshSvrChn::WantedEvents(const TChnRecord &rRec) const
{
    if (rRec.s32TelnetFd <= 0) {
        return 0;
    }
    short s16Events = CanTakeTelnetOutput(rRec) ? POLLIN : 0;
    if (!rRec.tToTelnet.empty()) {
        s16Events |= POLLOUT;
    }
    return s16Events;
}

// A channel that is no longer open, and has delivered its input, loses its
// telnet connection, is closed and freed (a session that opens a channel
// per command must not grow), and its record goes. Closing writes a little
// to the client: only when libssh holds no output the client has not taken.
void CSshSvrChn::RetireClosedChannels()
{
    size_t i = 0;
    while (i < Records().size()) {
        TChnRecord &rRec = *Records()[i];
        if (rRec.s32Status == 0 || !DrainDone(rRec) || OutputHeld() || InputFrozen()) {
            ++i;
            continue;
        }
        ssh_channel pChannel = rRec.pChannel;
        LOG_INFO("erase err channel fd:%d", rRec.s32TelnetFd);
        CloseTelnetSide(rRec);
        // These may poll and run callbacks that look records up; the
        // record is erased only afterwards, by its channel.
        ssh_channel_send_eof(pChannel);
        ssh_channel_close(pChannel);
        EraseRecord(pChannel);
        ssh_channel_free(pChannel);
    }
}

// True when a closed channel may be retired: everything it took, and
// everything libssh held of its input, has reached the telnet service, or
// the telnet service is gone, or the drain has made no progress for 5 s or
// has run for 30 s (then a WARN line says how much was dropped).
bool CSshSvrChn::DrainDone(TChnRecord &rRec)
{
    size_t u64Held = HeldInput(rRec);
    if (rRec.s32TelnetFd <= 0 || (rRec.tToTelnet.empty() && u64Held == 0)) {
        return true;
    }
    if (rRec.s64DrainStartMs == 0) {
        NoteDrainProgress(rRec);  // the clock starts on the first look
    }
    int64_t s64Now = MonotonicMs();
    bool bIdle = s64Now - rRec.s64DrainProgressMs >= DRAIN_IDLE_MS;
    bool bLong = s64Now - rRec.s64DrainStartMs >= DRAIN_TOTAL_MS;
    if (!bIdle && !bLong) {
        return false;
    }
    LOG_WARN("channel %p closed: %zu bytes for telnet fd:%d dropped, %s",
             static_cast<void *>(rRec.pChannel), rRec.tToTelnet.size() + u64Held, rRec.s32TelnetFd,
             bLong ? "delivery took 30 s" : "no progress for 5 s");
    return true;
}

// A channel counts as open until libssh has handed over all its input: the
// close of a channel whose input libssh still holds is delayed until that
// has been read.
int CSshSvrChn::HasOpenChannel()
{
    int s32Open = 0;
    for (auto &pRec : Records()) {
        if (pRec->s32Status == 0 && ssh_channel_is_open(pRec->pChannel)) {
            s32Open = 1;
        } else if (pRec->s32Status == 0) {
            SetFlag(*pRec, &TChnRecord::s32Status, 1);
            NoteDrainProgress(*pRec);
        }
    }
    return s32Open;
}

// ==== 7. Teardown ===========================================================

void CSshSvrChn::Teardown()
{
    // From here on channel opens are refused: the grace wait below still
    // polls, and a channel opened during it would never be closed.
    m_bClosing = true;
    DeliverQueuedInput();
    CloseChannels();
    LOG_INFO("close ssh client connection");
    bool bChannelsClosed = m_eEnd == SESSION_END_NONE;  // not a failed connection
    if (bChannelsClosed) {
        m_eEnd = SESSION_END_CHANNELS_CLOSED;
    }
    for (int s32Pass = 0; s32Pass < GRACE_MAX_POLLS; ++s32Pass) {
        if (SessionClosed(m_pSession) || PollOnce(POLL_TIMEOUT_MS) == SSH_ERROR ||
            SessionClosed(m_pSession)) {
            if (bChannelsClosed) {
                m_eEnd = EndOfConnection(SESSION_END_CLIENT_CLOSED);
            }
            break;
        }
    }
}

// The connection has ended (or its session has failed): what the channels
// took for the telnet service is delivered now, while their telnet output
// is read and dropped, with the bounds of a channel's drain. What libssh
// held unread cannot be read any more once the session has failed.
void CSshSvrChn::DeliverQueuedInput()
{
    for (auto &pRec : Records()) {
        if (!pRec->tToTelnet.empty() && pRec->s32TelnetFd > 0) {
            pRec->bClientClosed = true;
            pRec->au32Held[0] = pRec->au32Held[1] = 0;
            NoteDrainProgress(*pRec);
        }
    }
    for (;;) {
        std::vector<struct pollfd> vecPoll;
        std::vector<TChnRecord *> vecRecs;
        for (auto &pRec : Records()) {
            if (pRec->tToTelnet.empty() || pRec->s32TelnetFd <= 0) {
                continue;
            }
            if (DrainDone(*pRec)) {
                pRec->tToTelnet = TByteQueue();
                continue;
            }
            vecPoll.push_back({pRec->s32TelnetFd,
                               static_cast<short>(POLLOUT | (pRec->bTelnetEof ? 0 : POLLIN)), 0});
            vecRecs.push_back(pRec.get());
        }
        if (vecPoll.empty()) {
            return;
        }
        if (poll(vecPoll.data(), vecPoll.size(), POLL_TIMEOUT_MS) <= 0) {
            continue;
        }
        for (size_t i = 0; i < vecPoll.size(); ++i) {
            TChnRecord &rRec = *vecRecs[i];
            if ((vecPoll[i].revents & POLLIN) != 0) {
                ReadTelnet(rRec);
            }
            if ((vecPoll[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
                FlushToTelnet(rRec);
            }
        }
    }
}

void CSshSvrChn::CloseChannels()
{
    for (size_t i = 0; i < Records().size(); ++i) {
        TChnRecord &rRec = *Records()[i];
        CloseTelnetSide(rRec);
        ssh_channel_send_eof(rRec.pChannel);
        ssh_channel_close(rRec.pChannel);
    }
}

// Sends the disconnect message, then keeps the socket for a moment: the
// client reads the message before the socket closes, instead of a reset
// that can destroy it (unread input at the close makes the kernel reset the
// connection). The socket number leaves the status text first.
void CSshSvrChn::EndConnection()
{
    int s32Fd;
    {
        CMutexGuard cLock(&m_cRecordMutex);
        s32Fd = m_s32SshFd;
        m_s32SshFd = -1;
    }
    ssh_disconnect(m_pSession);
    if (s32Fd < 0) {
        return;
    }
    shutdown(s32Fd, SHUT_WR);
    int64_t s64End = MonotonicMs() + LINGER_MS;
    char acDrop[4096];
    for (int64_t s64Left = LINGER_MS; s64Left > 0; s64Left = s64End - MonotonicMs()) {
        struct pollfd stPoll = {s32Fd, POLLIN, 0};
        if (poll(&stPoll, 1, static_cast<int>(s64Left)) <= 0 ||
            recv(s32Fd, acDrop, sizeof(acDrop), MSG_DONTWAIT) <= 0) {
            break;
        }
    }
    close(s32Fd);
}

// A connection ended: it no longer counts against the pre-login limits; one
// that never logged in may count towards a hold of its source; one whose
// lines were left out of the log is counted for the summary.
void CSshSvr::OnSessionEnded(int64_t s64Ticket, const CLogQuota::TLogTicket &tLog,
                             const TSourceKey &tSource, ESessionEnd eEnd, bool bAttempted,
                             bool bLoggedIn)
{
    CAdmission::EEnd eAdmission = CAdmission::END_OTHER;
    if (!bLoggedIn) {
        eAdmission = bAttempted                         ? CAdmission::END_FAILED_LOGIN
                     : eEnd == SESSION_END_WAIT_RAN_OUT ? CAdmission::END_TIMED_OUT
                     : eEnd == SESSION_END_DISPLACED    ? CAdmission::END_DISPLACED
                                                        : CAdmission::END_OTHER;
    }
    int s32Hold;
    int64_t s64Now = MonotonicSeconds();
    {
        CMutexGuard cLock(&m_cAdmissionMutex);
        s32Hold = m_cAdmission.Ended(s64Ticket, eAdmission, s64Now);
        if (!bAttempted && tLog.eVerdict != CLogQuota::LOG_LIVE) {
            CLogQuota::EPreLoginEnd eHow =
                eEnd == SESSION_END_KEX_FAILED     ? CLogQuota::PRELOGIN_KEX_FAILED
                : eEnd == SESSION_END_WAIT_RAN_OUT ? CLogQuota::PRELOGIN_TIMED_OUT
                : eEnd == SESSION_END_DISPLACED    ? CLogQuota::PRELOGIN_DISPLACED
                                                   : CLogQuota::PRELOGIN_CLOSED;
            m_cLogQuota.EndedQuiet(tLog, eHow, s64Now);
        }
    }
    if (s32Hold > 0) {
        LOG_WARN("connections from %s refused for %d s: %s", tSource.ToText().c_str(), s32Hold,
                 eAdmission == CAdmission::END_TIMED_OUT
                     ? "too many connections that never finished logging in in 10 minutes"
                     : "3 connections with failed logins in 10 minutes");
    }
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

// The audit line of a connection that tried to log in: who, from where, for
// how long, how much its channels moved, and why it ended.
void CSshSvrChn::LogSessionEnd()
{
    double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_tAccepted).count();
    LOG_INFO("session key:%d ended: user [%s] from %s port %d, %.1f s, %llu bytes from client, "
             "%llu bytes to client, %d channels, %s",
             m_s32Key, EscapeForLog(m_tAuth.strUser).c_str(), m_tPeer.strPeer.c_str(),
             m_tPeer.s32PeerPort, dSeconds, static_cast<unsigned long long>(m_u64FromClient),
             static_cast<unsigned long long>(m_u64ToClient), m_s32Channels, EndText(m_eEnd));
}

int CSshSvr::CleanSvrChn()
{
    {
        CMutexGuard cGuard(&m_cMutex);
        ReapEndedSessions();
    }
    LogSummaries();
    return 0;
}

// Joins and deletes the session objects whose thread has erased its
// session. The thread clears its running flag before that, so the join
// waits at most for its end line.
void CSshSvr::ReapEndedSessions()
{
    m_cMutex.AssertHeld();  // what REQUIRES says to clang, for every build
    for (auto it = m_mapSvrChn.begin(); it != m_mapSvrChn.end();) {
        if (m_mapSession.count(it->first) != 0) {
            ++it;
            continue;
        }
        CSshSvrChn *pSvrChn = it->second;
        if (pSvrChn->IsRunning()) {
            if (!pSvrChn->LogLeftOut()) {
                LOG_WARN("srvchn key:%d still running", it->first);
            }
            ++it;
            continue;
        }
        if (!pSvrChn->LogLeftOut()) {
            LOG_INFO("erase svrchn key:%d", it->first);
        }
        it = m_mapSvrChn.erase(it);
        pSvrChn->Stop();
        delete pSvrChn;
    }
}

void CSshSvr::LogSummaries()
{
    std::vector<std::string> vecLines;
    {
        CMutexGuard cLock(&m_cAdmissionMutex);
        vecLines = m_cLogQuota.DueSummaries(MonotonicSeconds());
    }
    for (const std::string &strLine : vecLines) {
        LOG_WARN("%s", strLine.c_str());
    }
}

// ==== 8. Status text ========================================================

void CSshSvr::GetStatus(std::string &strStatus)
{
    CMutexGuard cGuard(&m_cMutex);
    for (auto &tEntry : m_mapSvrChn) {
        tEntry.second->GetConnInfo(strStatus);
    }
}

// Runs on the debug thread under the listener's lock. The session's socket
// and the records are read under the session's record lock, held while
// their sockets are looked at: the session thread cannot close one
// meanwhile.
void CSshSvrChn::GetConnInfo(std::string &strInfo)
{
    CMutexGuard cLock(&m_cRecordMutex);
    TSocketEnds tSsh;
    if (m_s32SshFd < 0 || GetSshEnds(m_s32SshFd, tSsh) != 0) {
        return;
    }
    strInfo += "ssh cli[" + tSsh.strPeer + ":" + std::to_string(tSsh.s32PeerPort) +
               "]<--fd:" + std::to_string(m_s32SshFd) + "-->ssh svr[" + tSsh.strLocal + ":" +
               std::to_string(tSsh.s32LocalPort) + "]\r\n";

    for (const auto &pRec : m_vecChn) {
        if (pRec->s32TelnetFd < 0) {
            LOG_ERROR("channel:%p,reg:%d,status:%d, telned fd:%d,reg:%d error",
                      static_cast<void *>(pRec->pChannel), pRec->s32ChnReg, pRec->s32Status,
                      pRec->s32TelnetFd, pRec->s32FdReg);
            continue;
        }
        TSocketEnds tTelnet;
        if (GetSocketInfo(pRec->s32TelnetFd, tTelnet.strPeer, tTelnet.s32PeerPort, tTelnet.strLocal,
                          tTelnet.s32LocalPort) != 0) {
            LOG_ERROR("get telnet fd:%d socket info err", pRec->s32TelnetFd);
            continue;
        }
        // On this hop the service is the client: its own end comes first.
        strInfo += "telnet cli[" + tTelnet.strLocal + ":" + std::to_string(tTelnet.s32LocalPort) +
                   "]<--fd:" + std::to_string(pRec->s32TelnetFd) + "-->telnet svr[" +
                   tTelnet.strPeer + ":" + std::to_string(tTelnet.s32PeerPort) + "]\r\n";
    }
    strInfo += "\r\n";
}
