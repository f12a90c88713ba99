// Who may start a connection: limits on connections that have not logged in
// (in all and per source) and a hold on sources whose logins keep failing.
// Pure bookkeeping with the time passed in, so that tests can drive it with
// a clock of their own; the listener locks it and logs its verdicts.
#ifndef SERVICE_ADMISSION_H
#define SERVICE_ADMISSION_H

#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <string>

// Limits on connections that have not logged in, and the hold put on
// sources whose logins keep failing (IPv6 sources count per /64).
struct TAdmissionLimits
{
    int s32MaxStartups = 64;          // --max-startups: not logged in, in all
    int s32MaxStartupsPerSource = 8;  // --max-startups-per-source
    int s32LoginPenaltySeconds = 30;  // --login-penalty; 0 turns the hold off
};

// The source a connection counts against: an IPv4 address, or the /64
// network of an IPv6 address (one host commonly owns a whole /64). An
// IPv4 client of a dual-stack listener counts as its IPv4 address.
struct TSourceKey
{
    bool bV6 = false;
    uint8_t au8Addr[16] = {};  // IPv4: the first 4 bytes; IPv6: the first 8

    static TSourceKey FromSockaddr(const struct sockaddr *pAddr, socklen_t u32Len);
    std::string ToText() const;  // "192.0.2.7" or "2001:db8:1:2::/64"
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

    // How long failures are remembered, and the longest hold.
    static constexpr int64_t FAILURE_WINDOW_SECONDS = 600;
    static constexpr int MAX_HOLD_SECONDS = 600;
    static constexpr int FAILURES_FOR_HOLD = 3;
    static constexpr size_t MAX_PENALTY_SOURCES = 1024;

    explicit CAdmission(const TAdmissionLimits &tLimits = TAdmissionLimits());

    // Counts the connection as not logged in when it is admitted.
    EVerdict Admit(const TSourceKey &tKey, int64_t s64Now);
    // The connection logged in: it no longer counts, and the source's
    // failures are forgotten.
    void LoggedIn(const TSourceKey &tKey);
    // A connection that never logged in ended; bFailedLogin when it had a
    // password refused. Returns the length of a hold that starts now, or 0.
    int Ended(const TSourceKey &tKey, bool bFailedLogin, int64_t s64Now);

    int Startups() const { return m_s32Startups; }
    size_t PenaltySources() const { return m_mapPenalty.size(); }

private:
    struct TPenalty
    {
        int64_t as64Failures[FAILURES_FOR_HOLD] = {};  // newest last
        int s32Failures = 0;
        int64_t s64HoldUntil = 0;
        int s32LastHold = 0;  // seconds of the last hold; the next one doubles it
        int64_t s64LastSeen = 0;
    };

    void Uncount(const TSourceKey &tKey);
    bool Expired(const TPenalty &tRec, int64_t s64Now) const;
    TPenalty &PenaltyRecord(const TSourceKey &tKey, int64_t s64Now);

    TAdmissionLimits m_tLimits;
    int m_s32Startups;
    std::map<TSourceKey, int> m_mapStartups;  // per source, connections not logged in
    std::map<TSourceKey, TPenalty> m_mapPenalty;
};

#endif
