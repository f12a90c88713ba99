// SSH listener (CSshSvr) and per-connection session (CSshSvrChn).
//
// The listener thread accepts connections and gives each one a key, a
// registry entry and a session object running on its own thread. A session
// thread runs the key exchange, waits for a password login and a channel,
// then relays every channel to its own TCP connection to the local telnet
// service until no channel is open any more.
#ifndef SERVICE_SSHSVR_H
#define SERVICE_SSHSVR_H

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/server.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mutex.h"
#include "thread.h"

class CSshSvr;
class CSshSvrChn;

typedef std::map<std::string, std::string> UserInfoMap;

// Limits on connections that have not logged in, and the hold put on
// sources whose logins keep failing (IPv6 sources count per /64).
struct TAdmissionLimits
{
    int s32MaxStartups = 64;           // --max-startups: not logged in, in all
    int s32MaxStartupsPerSource = 8;   // --max-startups-per-source
    int s32LoginPenaltySeconds = 30;   // --login-penalty; 0 turns the hold off
};

// One record per channel that obtained a telnet connection.
struct TChnRecord
{
    ssh_channel pChannel;
    int s32ChnReg;     // channel callbacks installed
    int s32Status;     // 1 once the channel was found closed
    int s32TelnetFd;   // telnet socket, -1 once closed
    int s32FdReg;      // telnet socket registered in the event context
    std::string strEcho;  // client input waiting to be echoed
    int s32TelnetEof;  // the telnet side reached end of file or failed
};

// Authentication state of one connection (userdata of the server callbacks).
struct TAuthState
{
    ssh_channel pChannel;  // first channel asked for; only a mark
    int s32AuthAttempts;
    int s32Authenticated;
    CSshSvrChn *pSvrChn;
};

// Userdata of the channel callbacks.
struct TChnCbCtx
{
    int s32PtyMaster;
    int s32PtySlave;
    CSshSvrChn *pSvrChn;
};

// Connects a socket to host:port; protocol "udp" gives a datagram socket.
int ConnectServer(const char *szHost, int s32Port, const char *szProtocol);

class CSshSvrChn : public CThread
{
public:
    CSshSvrChn(int s32Key, CSshSvr *pSvr, int s32Verbose);
    ~CSshSvrChn() override;

    void SetTelnetPort(const std::string &strPort);
    void SetVerbose(int s32Verbose);
    int IsRunning();
    int GetKey() const { return m_s32Key; }

    int CheckUser(const std::string &strUser, const std::string &strPwd);
    int OpenTelnet(ssh_channel pChannel);
    int GetTelnetFd(ssh_channel pChannel);
    void AddEcho(ssh_channel pChannel, const std::string &strText);
    void AddEcho(ssh_channel pChannel, const char *szText);
    static int GetSocketInfo(int s32Fd, std::string &strPeerAddr, int &s32PeerPort,
                             std::string &strLocalAddr, int &s32LocalPort);
    void GetConnInfo(std::string &strInfo);

    // Used by the libssh callbacks running on this session's thread.
    void InstallChannelCallbacks(ssh_channel pChannel);
    void MarkTelnetEof(ssh_channel pChannel);
    char *AcquireRelayBuffer();
    void ReleaseRelayBuffer();

protected:
    void Run() override;

private:
    void ServeSession(ssh_event pEvent, ssh_session pSession);
    void ApplyVerbose(int s32Verbose);
    int HasOpenChannel();
    int WaitForAuth(ssh_event pEvent, ssh_session pSession, TAuthState &tAuth);
    void RelayLoop(ssh_event pEvent, ssh_session pSession);
    void FlushEcho();
    void DropEofTelnetFds(ssh_event pEvent);
    void RegisterTelnetFds(ssh_event pEvent);
    void RetireClosedChannels(ssh_event pEvent);
    void CloseChannels(ssh_event pEvent);
    void Teardown(ssh_event pEvent, ssh_session pSession);
    TChnRecord *FindRecord(ssh_channel pChannel);

    std::atomic<int> m_bRunning;
    int m_s32Key;
    CSshSvr *m_pSvr;
    std::atomic<uint32_t> m_u32Verbose;
    uint32_t m_u32CurVerbose;
    std::vector<TChnRecord> m_vecChn;
    std::string m_strTelnetPort;

    // Guards m_vecChn against the status text read on the debug thread.
    // The session thread is the only writer and takes it for every change;
    // its own reads need no lock.
    std::mutex m_mtxChn;
    struct ssh_channel_callbacks_struct *m_pChnCb;
    std::unique_ptr<char[]> m_pRelayBuf;
    bool m_bRelayBufBusy;
    bool m_bClosing;  // the session is ending: no new channel
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
    int Init();

    void SetPendingVerbose(int s32Verbose);
    ssh_session GetSession(int s32Key);
    int EraseSession(int s32Key);
    int CheckUser(const std::string &strUser, const std::string &strPwd);
    int CleanSvrChn();
    void GetStatus(std::string &strStatus);

    // Ends the accept loop and joins the listener thread (used when the
    // process gives up after the listener has started).
    void Shutdown();

protected:
    void Run() override;

private:
    int InitSsh();
    int UninitSsh();
    int SetKeepAlive(ssh_session pSession, int s32Enable, int s32Idle, int s32Interval,
                     int s32Count);
    void UpdateVerbose(uint32_t u32Verbose);
    void AcceptOne(ssh_session pSession);

    std::atomic<uint32_t> m_bInit;
    std::atomic<uint32_t> m_u32Verbose;
    uint32_t m_u32CurVerbose;
    int m_s32SessionKey;
    std::string m_strIp;
    std::string m_strPort;
    std::string m_strTelnetPort;
    TAdmissionLimits m_tLimits;
    // The user table is replaced whole by SetUserInfo while session threads
    // look users up: it is an immutable shared table swapped under a lock.
    std::shared_ptr<const UserInfoMap> m_pUserInfo;
    std::mutex m_mtxUserInfo;
    std::string m_strRsaKey;
    std::string m_strDsaKey;
    std::string m_strEcdsaKey;
    std::string m_strEd25519Key;
    CMutex m_cMutex;
    ssh_bind m_pSshBind;
    std::map<int, ssh_session> m_mapSession;
    std::map<int, CSshSvrChn *> m_mapSvrChn;
    std::atomic<int> m_s32ListenFd;
    std::atomic<bool> m_bShutdown;
};

extern CSshSvr g_cSshSvr;

#endif
