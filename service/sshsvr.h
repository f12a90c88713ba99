// SSH listener (CSshSvr) and per-connection session (CSshSvrChn).
//
// The listener thread accepts connections and gives each one a key, a
// registry entry and a session object running on its own thread. A session
// thread runs the key exchange, waits for a password login and a channel,
// then relays every channel to its own TCP connection to the local telnet
// service until no channel is open any more. sshsvr.cpp follows that road.
//
// Locks. Every lock is a CMutex, and clang's thread-safety analysis checks
// the data marked GUARDED_BY below. They are taken in this order only:
//
//   CSshSvr::m_cMutex            the registry: m_mapSession and m_mapSvrChn.
//                                The listener registers sessions and asks
//                                them to stop, session threads look up and
//                                erase their own, the main thread reaps them
//                                (CleanSvrChn) and the debug thread reads
//                                them for the status text (GetStatus).
//     then CSshSvrChn::m_cRecordMutex
//                                one session's channel records (the vector
//                                and the fields of a record that the status
//                                text shows) and its socket m_s32SshFd. The
//                                session thread is their only writer and
//                                takes the lock for every change; its own
//                                reads need none (Records()). GetStatus holds
//                                the registry and takes each session's lock
//                                in turn.
//   CSshSvr::m_cAdmissionMutex   the admission table and the log quota.
//   CSshSvr::m_cUserInfoMutex    the pointer to the user table; the table
//                                itself is immutable and replaced whole.
//   ConnectServer's lookup lock  glibc's name-service look-ups, one at a
//                                time; it guards no data of ours.
//
// The last three are leaves: nothing else is taken while one is held (only
// the log's own lock inside log4cpp, which every lock may be held over).
// CMutex is recursive, but no path takes a lock it already holds: the
// status text reads each session's socket under that session's record lock,
// not through the registry again. A change that makes a path re-enter the
// registry must say so here, since the analysis cannot see re-entry.
#ifndef SERVICE_SSHSVR_H
#define SERVICE_SSHSVR_H

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/server.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "admission.h"
#include "mutex.h"
#include "svclog.h"
#include "thread.h"

class CSshSvr;
class CSshSvrChn;

typedef std::map<std::string, std::string> UserInfoMap;

// Channels open at once on one connection, by default (--max-channels).
const int DEFAULT_MAX_CHANNELS = 10;

// Lends a buffer of the session to one call at a time. A call nested inside
// another that holds it (a channel write polls, and the poll can run another
// callback that relays) gets a fresh one of its own for its extent.
template <typename T>
class CLender
{
public:
    class CLoan
    {
    public:
        explicit CLoan(CLender &rLender) : m_rLender(rLender), m_bShared(!rLender.m_bLent)
        {
            rLender.m_bLent = true;
        }
        ~CLoan()
        {
            if (m_bShared) {
                m_rLender.m_bLent = false;
            }
        }
        CLoan(const CLoan &) = delete;
        CLoan &operator=(const CLoan &) = delete;
        T &Get() { return m_bShared ? m_rLender.m_tShared : m_tOwn; }

    private:
        CLender &m_rLender;
        bool m_bShared;
        T m_tOwn{};
    };
    // The shared buffer, for upkeep between loans.
    T &Idle() { return m_tShared; }

private:
    T m_tShared{};
    bool m_bLent = false;
};

// Bytes waiting to be sent, consumed from the front without moving the
// rest (the buffer is compacted only once half of it has gone).
struct TByteQueue
{
    std::string strBuf;
    size_t u64Head = 0;

    size_t size() const { return strBuf.size() - u64Head; }
    bool empty() const { return size() == 0; }
    const char *data() const { return strBuf.data() + u64Head; }
    void append(const char *pData, size_t u64Len) { strBuf.append(pData, u64Len); }
    void consume(size_t u64Len)
    {
        u64Head += u64Len;
        if (u64Head == strBuf.size()) {
            strBuf.clear();
            u64Head = 0;
        } else if (u64Head > strBuf.size() / 2) {
            strBuf.erase(0, u64Head);
            u64Head = 0;
        }
    }
};

// One record per channel that obtained a telnet connection. The first five
// fields are what the status text shows; the session thread changes them
// only through the named operations of CSshSvrChn, under its record lock
// (the analysis cannot tie a record's fields to its owner's lock).
struct TChnRecord
{
    ssh_channel pChannel = nullptr;
    int s32ChnReg = 0;     // channel callbacks installed
    int s32Status = 0;     // 1 once the channel was found closed (or is to be closed)
    int s32TelnetFd = -1;  // telnet socket, -1 once closed
    int s32FdReg = 0;      // telnet socket registered in the event context
    // Session thread only:
    // What waits for the client on this channel, in the order it is to be
    // written: the echo of the client's input and, despite the name, the
    // telnet service's output too (the part of a read that the channel's
    // window did not take). Bounded by the channel's cap.
    std::string strEcho;
    // Client input taken from libssh that the telnet socket has not taken
    // yet, in order. Bounded by the channel's cap.
    TByteQueue tToTelnet;
    short s16Events = 0;       // events the telnet socket is registered for
    bool bTelnetEof = false;   // the telnet side reached end of file or failed
    bool bResync = false;      // registered for events it no longer wants (see SyncTelnetPolls)
    bool bDropLogged = false;  // input for a channel without telnet socket was logged
    uint32_t au32Held[2] = {0, 0};  // client input (stdout, stderr) left in libssh for lack of room
    // The client has closed the channel: what it sent is delivered to the
    // telnet service before the telnet socket is closed (the drain).
    bool bClientClosed = false;
    int64_t s64DrainStartMs = 0;     // when the drain began, 0 before
    int64_t s64DrainProgressMs = 0;  // when it last delivered something
};

// Authentication state of one connection (userdata of the server callbacks).
struct TAuthState
{
    ssh_channel pChannel = nullptr;  // first channel asked for; only a mark
    int s32AuthAttempts = 0;         // passwords checked and refused
    int s32Authenticated = 0;
    CSshSvrChn *pSvrChn = nullptr;
    bool bAttempted = false;  // the client offered a password at least once
    std::string strUser;      // the user name last offered
};

// Userdata of the channel callbacks.
struct TChnCbCtx
{
    int s32PtyMaster = -1;
    int s32PtySlave = -1;
    CSshSvrChn *pSvrChn = nullptr;
};

// Both ends of a socket as CSshSvrChn::GetSocketInfo gives them.
struct TSocketEnds
{
    std::string strPeer;
    int s32PeerPort = 0;
    std::string strLocal;
    int s32LocalPort = 0;
};

// True for 32 lowercase hexadecimal characters, the stored form of a
// password (its MD5 digest).
bool IsStoredDigest(const std::string &strValue);

// Connects a socket to host:port; protocol "udp" gives a datagram socket.
int ConnectServer(const char *szHost, int s32Port, const char *szProtocol);

// How a connection ended, as its end line says.
enum ESessionEnd
{
    SESSION_END_NONE,
    SESSION_END_CLIENT_CLOSED,    // the client disconnected, or closed its socket
    SESSION_END_CONNECTION_LOST,  // the connection failed (reset, timed out, protocol error)
    SESSION_END_KEX_FAILED,
    SESSION_END_WAIT_RAN_OUT,     // the key exchange or the login wait ran out
    SESSION_END_REFUSED,          // three passwords refused
    SESSION_END_CHANNELS_CLOSED,  // every channel closed and the grace wait ran out
    SESSION_END_DISPLACED,        // ended to make room for a fresh address
    SESSION_END_STOPPING,         // the service is stopping
};

typedef std::vector<std::unique_ptr<TChnRecord>> TChnRecords;

class CSshSvrChn : public CThread
{
public:
    CSshSvrChn(int s32Key, CSshSvr *pSvr, int s32Verbose, const TSourceKey &tSource = TSourceKey());
    ~CSshSvrChn() override;

    void SetTelnetPort(const std::string &strPort);
    void SetVerbose(int s32Verbose);
    int IsRunning();

    int CheckUser(const std::string &strUser, const std::string &strPwd);
    int OpenTelnet(ssh_channel pChannel);
    int GetTelnetFd(ssh_channel pChannel);
    void AddEcho(ssh_channel pChannel, const std::string &strText);
    static int GetSocketInfo(int s32Fd, std::string &strPeerAddr, int &s32PeerPort,
                             std::string &strLocalAddr, int &s32LocalPort);
    void GetConnInfo(std::string &strInfo);

    // Set by the listener before the thread starts.
    void SetConnection(int s32SshFd, int s32MaxChannels, int64_t s64Ticket,
                       const CLogQuota::TLogTicket &tLog);
    CLogHold &LogHold() { return m_cLogHold; }
    int64_t Ticket() const { return m_s64Ticket; }
    // Asks the session to end at its next pass (before it has logged in).
    void RequestStop(ESessionEnd eWhy);
    // Its lines were left out of the log (a spam connection): its reaping
    // is not logged either.
    bool LogLeftOut() const { return m_bLogLeftOut; }

    // The relay, called by the libssh callbacks on this session's thread.
    int TakeClientInput(ssh_channel pChannel, const char *pData, uint32_t u32Len, int s32Stderr);
    int OnTelnetEvent(ssh_channel pChannel, int s32Fd, int s32Events);
    void OnClientClose(ssh_channel pChannel);
    void OnLoginAttempt();

protected:
    void Run() override;

private:
    // The road of the connection.
    void ServeSession();
    int HandleKeyExchange();
    int WaitForAuth();
    void RelayLoop();
    void Teardown();
    void EndConnection();
    void LogSessionEnd();

    // One pass's wait. libssh parses what it reads from the client in every
    // call that polls, and answers some messages by itself; while it still
    // holds output for the client, or the channels hold too much input, the
    // session reads nothing more from the client (see PollOnce).
    int PollOnce(int s32TimeoutMs);
    bool OutputHeld() const;
    size_t LargestHeldInput() const;
    bool InputPaused() const;
    bool InputFrozen() const;
    bool MayWrite() const;
    int PollWithoutParsing(int s32TimeoutMs);
    void ProbeForHangUp();
    void OnClientGone();
    ESessionEnd EndOfConnection(ESessionEnd eIfNotClosed) const;

    // The relay: the helpers of RelayLoop, in the order of one pass.
    size_t Room(const TChnRecord &rRec) const;
    size_t QueuedBytes() const;
    bool NoEcho(const TChnRecord &rRec) const;
    void Consume(TChnRecord &rRec, const char *pData, size_t u64Len, bool bEcho);
    void SendToTelnet(TChnRecord &rRec, const char *pData, size_t u64Len);
    void NoteDrainProgress(TChnRecord &rRec);
    bool Draining(const TChnRecord &rRec) const;
    void FlushToTelnet(TChnRecord &rRec);
    bool ReadTelnet(TChnRecord &rRec);
    void FlushToClient(TChnRecord &rRec, bool bMayHold);
    bool CanTakeTelnetOutput(const TChnRecord &rRec) const;
    void MarkTelnetEof(TChnRecord &rRec);
    void ApplyVerbose(int s32Verbose);
    void ReleaseIdleBuffers();
    void PullHeldInput(TChnRecord &rRec);
    void SyncTelnetPolls();
    short WantedEvents(const TChnRecord &rRec) const;
    void RetireClosedChannels();
    bool DrainDone(TChnRecord &rRec);
    int HasOpenChannel();

    // The end of the connection.
    void DeliverQueuedInput();
    void CloseChannels();

    int GetSshEnds(int s32SshFd, TSocketEnds &tEnds);

    // The records: only these change what the status text reads.
    const TChnRecords &Records() const;
    TChnRecord *FindRecord(ssh_channel pChannel);
    void AddRecord(std::unique_ptr<TChnRecord> pRec);
    void EraseRecord(ssh_channel pChannel);
    void SetFlag(TChnRecord &rRec, int TChnRecord::*pField, int s32Value);
    void CloseTelnetSide(TChnRecord &rRec);

    std::atomic<int> m_bRunning;
    int m_s32Key;
    CSshSvr *m_pSvr;
    std::atomic<uint32_t> m_u32Verbose;
    uint32_t m_u32CurVerbose;
    std::string m_strTelnetPort;
    TSourceKey m_tSource;

    // The channel records and the session's socket number, against the
    // status text read on the debug thread (see Locks above).
    mutable CMutex m_cRecordMutex;
    TChnRecords m_vecChn GUARDED_BY(m_cRecordMutex);  // a record stays put while callbacks hold it
    // The session's own descriptor of the client's socket, -1 once closed.
    int m_s32SshFd GUARDED_BY(m_cRecordMutex);

    // Per-connection state; the callbacks get pointers to it.
    ssh_session m_pSession;
    ssh_event m_pEvent;
    bool m_bInEvent;     // the session is in m_pEvent (after the key exchange)
    bool m_bClientGone;  // the client hung up while its input was held
    int64_t m_s64GoneProgressMs;
    int64_t m_s64ProbeDueMs;  // the next hang-up probe, 0 while input flows
    int64_t m_s64ProbeGapMs;  // ... and the wait after it
    TAuthState m_tAuth;
    TChnCbCtx m_tCbCtx;
    struct ssh_server_callbacks_struct m_tServerCb;
    struct ssh_channel_callbacks_struct m_tChnCb;
    bool m_bClosing;         // the session is ending: no new channel
    int m_s32TelnetCbDepth;  // nesting of OnTelnetEvent (blocking libssh calls poll again)
    // One telnet read or held-input pull (allocated on first use).
    typedef CLender<std::unique_ptr<char[]>> TRelayBuffer;
    TRelayBuffer m_cRelayBuf;
    // The part of a channel's strEcho being written to the client.
    typedef CLender<std::string> TOutBuffer;
    TOutBuffer m_cOut;
    bool m_bUnknownDropLogged;  // input for a channel without record was logged

    // Limits, admission and the log of this connection.
    size_t m_u64MaxChannels;
    int64_t m_s64Ticket;                 // the admission table's ticket
    CLogQuota::TLogTicket m_tLogTicket;  // whether its lines are written as they come
    CLogHold m_cLogHold;                 // its lines while they are held back
    std::atomic<bool> m_bLogLeftOut;
    std::atomic<int> m_eStopRequest;  // an ESessionEnd asked for by the listener
    // What its end line reports.
    ESessionEnd m_eEnd;
    std::chrono::steady_clock::time_point m_tAccepted;
    uint64_t m_u64FromClient;  // channel payload taken from the client
    uint64_t m_u64ToClient;    // written to the client, echo included
    int m_s32Channels;         // channels that got a telnet connection
    TSocketEnds m_tPeer;       // both ends of the client's connection
};

class CSshSvr : public CThread
{
public:
    CSshSvr();
    ~CSshSvr() override;

    void SetUserInfo(UserInfoMap mapUserInfo);
    void SetAddr(const std::string &strIp, const std::string &strPort);
    void SetKeyFile(const std::string &strRsa, const std::string &strDsa,
                    const std::string &strEcdsa, const std::string &strEd25519);
    void SetVerbose(int s32Verbose);
    void SetTelnetPort(const std::string &strPort);
    void SetAdmissionLimits(const TAdmissionLimits &tLimits);
    void SetMaxChannels(int s32MaxChannels);
    int Init();

    void SetPendingVerbose(int s32Verbose);
    ssh_session GetSession(int s32Key);
    int EraseSession(int s32Key);
    int CheckUser(const std::string &strUser, const std::string &strPwd);
    int CleanSvrChn();
    void GetStatus(std::string &strStatus);

    // Session threads report how their connection fares.
    void OnLoggedIn(int64_t s64Ticket);
    void OnLoginAttempt(const CLogQuota::TLogTicket &tLog);
    // The connection ended: it no longer counts against the pre-login
    // limits, and one that never tried to log in is counted for the log's
    // summary when its lines were left out. bAttempted: it offered a
    // password; bLoggedIn: one was accepted.
    void OnSessionEnded(int64_t s64Ticket, const CLogQuota::TLogTicket &tLog,
                        const TSourceKey &tSource, ESessionEnd eEnd, bool bAttempted,
                        bool bLoggedIn);

    // Ends the accept loop and joins the listener thread (used when the
    // process gives up after the listener has started).
    void Shutdown();

protected:
    void Run() override;

private:
    int InitSsh();
    int LoadHostKeys();
    int UninitSsh();
    int SetKeepAlive(ssh_session pSession, int s32Enable, int s32Idle, int s32Interval,
                     int s32Count);
    void UpdateVerbose(uint32_t u32Verbose);
    int StartListening();
    bool Admit(int s32Fd, const struct sockaddr *pAddr, socklen_t u32Len, TSourceKey &tSource,
               int64_t &s64Ticket);
    bool RefusalLogDue(int64_t s64Now);
    void Displace(int64_t s64Ticket);
    void AcceptOne(int s32Fd, const TSourceKey &tSource, int64_t s64Ticket);
    bool StartSession(int s32Key, ssh_session pSession, CSshSvrChn *pSvrChn);
    void ReapEndedSessions() REQUIRES(m_cMutex);
    void LogSummaries();

    std::atomic<uint32_t> m_bInit;
    std::atomic<uint32_t> m_u32Verbose;
    uint32_t m_u32CurVerbose;
    int m_s32SessionKey;
    std::string m_strIp;
    std::string m_strPort;
    std::string m_strTelnetPort;
    // The user table is replaced whole by SetUserInfo while session threads
    // look users up: it is an immutable shared table swapped under a lock.
    CMutex m_cUserInfoMutex;
    std::shared_ptr<const UserInfoMap> m_pUserInfo GUARDED_BY(m_cUserInfoMutex);
    std::string m_strRsaKey;
    std::string m_strDsaKey;
    std::string m_strEcdsaKey;
    std::string m_strEd25519Key;
    ssh_bind m_pSshBind;
    // The registry (see Locks above).
    CMutex m_cMutex;
    std::map<int, ssh_session> m_mapSession GUARDED_BY(m_cMutex);
    std::map<int, CSshSvrChn *> m_mapSvrChn GUARDED_BY(m_cMutex);
    std::atomic<int> m_s32ListenFd;
    std::atomic<bool> m_bShutdown;
    int m_s32MaxChannels;  // channels open at once on one connection

    // Admission and the log quota: the listener admits, session threads
    // report, the main thread logs the summaries; one lock.
    CMutex m_cAdmissionMutex;
    CAdmission m_cAdmission GUARDED_BY(m_cAdmissionMutex);
    CLogQuota m_cLogQuota GUARDED_BY(m_cAdmissionMutex);
    int64_t m_s64LastRefusalLog;  // listener thread only
    unsigned m_u32RefusalsNotLogged;
};

extern CSshSvr g_cSshSvr;

#endif
