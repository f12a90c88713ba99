// Who may start a connection: limits on connections that have not logged in
// (in all and per source), room for a fresh source when squatters hold every
// slot, and a hold on sources whose connections keep failing or running out
// of time. Also the quota on log lines of connections that never try to log
// in. Pure bookkeeping with the time passed in, so that tests can drive it
// with a clock of their own; the listener locks it and logs its verdicts.
#ifndef SERVICE_ADMISSION_H
#define SERVICE_ADMISSION_H

#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Limits on connections that have not logged in, and the hold put on
// sources whose logins keep failing (IPv6 sources count per /64).
struct TAdmissionLimits
{
    int s32MaxStartups = 64;          // --max-startups: not logged in, in all
    int s32MaxStartupsPerSource = 8;  // --max-startups-per-source
    int s32LoginPenaltySeconds = 30;  // --login-penalty; 0 turns the hold off
};

// The source a connection counts against: an IPv4 address, or the /64
// network of an IPv6 address (one host commonly owns a whole /64). A
// link-local IPv6 address (fe80::/10) counts alone, with its interface: all
// links share the same /64. An IPv4 client of a dual-stack listener counts
// as its IPv4 address.
struct TSourceKey
{
    bool bV6 = false;
    uint8_t au8Addr[16] = {};  // IPv4: the first 4 bytes; IPv6: the first 8, link-local all 16
    uint32_t u32Scope = 0;     // link-local: the interface index

    static TSourceKey FromSockaddr(const struct sockaddr *pAddr, socklen_t u32Len);
    std::string ToText() const;  // "192.0.2.7", "2001:db8:1:2::/64" or "fe80::1%2"
    bool operator<(const TSourceKey &rOther) const;
};

class CAdmission
{
public:
    enum EVerdict
    {
        ADMIT,
        REFUSE_STARTUPS,         // too many connections not logged in
        REFUSE_SOURCE_STARTUPS,  // too many from this source
        REFUSE_PENALTY,          // the source is held off
    };
    // How a connection that was admitted ended.
    enum EEnd
    {
        END_FAILED_LOGIN,  // had a password refused and never logged in
        END_TIMED_OUT,     // its key exchange or login wait ran out
        END_DISPLACED,     // ended to make room for a fresh source
        END_OTHER,         // closed by the client, or logged in before
    };
    // A ticket names one admitted connection: > 0, never handed out twice
    // (64 bits: no wrap in the life of a device). 0 for none.
    struct TAdmitDecision
    {
        EVerdict eVerdict;
        int64_t s64Ticket;           // 0 when refused
        int64_t s64DisplacedTicket;  // the connection the caller must end, or 0
    };

    // How long failures are remembered, and the longest hold when the base
    // hold is shorter.
    static constexpr int64_t FAILURE_WINDOW_SECONDS = 600;
    static constexpr int MAX_HOLD_SECONDS = 600;
    static constexpr int FAILURES_FOR_HOLD = 3;
    static constexpr int TIMEOUTS_FOR_HOLD = 20;
    static constexpr size_t MAX_PENALTY_SOURCES = 1024;

    explicit CAdmission(const TAdmissionLimits &tLimits = TAdmissionLimits());

    // Counts the connection as not logged in when it is admitted. When every
    // slot is taken, a source that holds none still gets in: the
    // longest-waiting connection of the source holding the most (at least
    // two) stops counting, and the caller ends it.
    TAdmitDecision Admit(const TSourceKey &tKey, int64_t s64Now);
    // The connection logged in: it no longer counts. The source's failures
    // stay until they leave the window.
    void LoggedIn(int64_t s64Ticket);
    // The connection ended. Returns the length of a hold on its source that
    // starts now, or 0. A ticket that logged in or was displaced is no
    // longer counted: its end changes nothing.
    int Ended(int64_t s64Ticket, EEnd eEnd, int64_t s64Now);

    int Startups() const { return m_s32Startups; }
    size_t PenaltySources() const { return m_mapPenalty.size(); }

private:
    struct TConnection
    {
        TSourceKey tKey;
        int64_t s64Admitted;
    };
    // The newest strikes of one kind, oldest first.
    template <int N>
    struct TStrikes
    {
        int64_t as64At[N] = {};
        int s32Count = 0;
        bool Add(int64_t s64Now);  // true when all N fall within the window
    };
    struct TPenalty
    {
        TStrikes<FAILURES_FOR_HOLD> tFailed;
        TStrikes<TIMEOUTS_FOR_HOLD> tTimedOut;
        int64_t s64HoldUntil = 0;
        int s32LastHold = 0;  // seconds of the last hold; the next one doubles it
        int64_t s64LastSeen = 0;
    };

    int64_t PickDisplaced() const;
    void Uncount(std::map<int64_t, TConnection>::iterator itConn);
    int StartHold(TPenalty &rRec, int64_t s64Now);
    bool Expired(const TPenalty &tRec, int64_t s64Now) const;
    TPenalty &PenaltyRecord(const TSourceKey &tKey, int64_t s64Now);

    TAdmissionLimits m_tLimits;
    int m_s32Startups;
    int64_t m_s64LastTicket;
    std::map<TSourceKey, int> m_mapStartups;          // per source, connections not logged in
    std::map<int64_t, TConnection> m_mapConnections;  // by ticket: those not logged in
    std::map<TSourceKey, TPenalty> m_mapPenalty;
};

// Which connections that end before any login attempt are logged in full:
// up to LIVE_PER_SOURCE a window per source and LIVE_IN_ALL in all. Windows
// are fixed, WINDOW_SECONDS long, each starting with the first connection
// after the last one ran out. The lines of the others are left out; a
// summary a minute per source, and one for all sources beyond the quota in
// all, counts them and how they ended. Connections that attempt a login are
// always logged in full, and give their unit back.
class CLogQuota
{
public:
    enum EPreLoginEnd
    {
        PRELOGIN_KEX_FAILED,
        PRELOGIN_CLOSED,
        PRELOGIN_TIMED_OUT,
        PRELOGIN_DISPLACED,
        PRELOGIN_END_KINDS
    };
    enum ELogVerdict
    {
        LOG_LIVE,      // write its lines as they come
        QUIET_SOURCE,  // its source used up its quota: hold them back
        QUIET_ALL,     // the quota in all is used up: hold them back
    };
    struct TLogTicket
    {
        ELogVerdict eVerdict;
        TSourceKey tKey;
        int64_t s64Start;
    };

    static constexpr int64_t WINDOW_SECONDS = 60;
    static constexpr int LIVE_PER_SOURCE = 5;
    static constexpr int LIVE_IN_ALL = 50;
    static constexpr size_t MAX_SUMMARY_SOURCES = 64;      // beyond: counted in the line for all
    static constexpr size_t MAX_COUNTED_ADDRESSES = 1024;  // distinct ones named in that line

    CLogQuota();

    // A LOG_LIVE connection uses one unit of its source's and of the
    // quota in all.
    TLogTicket Start(const TSourceKey &tKey, int64_t s64Now);
    // It attempted a login: a LOG_LIVE one gives its unit back (within the
    // window it started in); the caller writes the held lines of a quiet one.
    void Attempted(const TLogTicket &tTicket);
    // A quiet connection ended without any attempt: counted for the summary.
    void EndedQuiet(const TLogTicket &tTicket, EPreLoginEnd eEnd, int64_t s64Now);
    // The summary texts due now, each for one WARN line: at most one per
    // source and one for all, once WINDOW_SECONDS have passed since the
    // first connection they count.
    std::vector<std::string> DueSummaries(int64_t s64Now);

private:
    struct TQuietCounts
    {
        uint64_t au64Ends[PRELOGIN_END_KINDS] = {};
        std::string Text(const std::string &strFrom, int64_t s64Seconds) const;
    };

    TQuietCounts *CountsFor(const TLogTicket &tTicket);

    int64_t m_s64WindowStart;  // of the live quota; -1 before the first
    int m_s32LiveInAll;
    std::map<TSourceKey, int> m_mapLive;  // live units used in this window, per source
    int64_t m_s64SummaryStart;            // -1 while nothing waits to be summed up
    std::map<TSourceKey, TQuietCounts> m_mapQuiet;
    TQuietCounts m_tQuietAll;
    std::set<TSourceKey> m_setAllAddresses;
    bool m_bMoreAddresses;
};

#endif
