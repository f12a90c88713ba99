#include "admission.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

TSourceKey TSourceKey::FromSockaddr(const struct sockaddr *pAddr, socklen_t u32Len)
{
    TSourceKey tKey;
    if (pAddr == nullptr) {
        return tKey;
    }
    if (pAddr->sa_family == AF_INET && u32Len >= sizeof(struct sockaddr_in)) {
        const auto *pIn = reinterpret_cast<const struct sockaddr_in *>(pAddr);
        memcpy(tKey.au8Addr, &pIn->sin_addr, 4);
    } else if (pAddr->sa_family == AF_INET6 && u32Len >= sizeof(struct sockaddr_in6)) {
        const auto *pIn6 = reinterpret_cast<const struct sockaddr_in6 *>(pAddr);
        if (IN6_IS_ADDR_V4MAPPED(&pIn6->sin6_addr)) {
            memcpy(tKey.au8Addr, &pIn6->sin6_addr.s6_addr[12], 4);
        } else if (IN6_IS_ADDR_LINKLOCAL(&pIn6->sin6_addr)) {
            tKey.bV6 = true;
            memcpy(tKey.au8Addr, &pIn6->sin6_addr, 16);
            tKey.u32Scope = pIn6->sin6_scope_id;
        } else {
            tKey.bV6 = true;
            memcpy(tKey.au8Addr, &pIn6->sin6_addr, 8);
        }
    }
    return tKey;
}

std::string TSourceKey::ToText() const
{
    char acText[INET6_ADDRSTRLEN + 4] = {};
    if (!bV6) {
        inet_ntop(AF_INET, au8Addr, acText, sizeof(acText));
        return acText;
    }
    inet_ntop(AF_INET6, au8Addr, acText, sizeof(acText));
    if (au8Addr[0] == 0xfe && (au8Addr[1] & 0xc0) == 0x80) {  // fe80::/10, kept whole
        return u32Scope == 0 ? acText : std::string(acText) + "%" + std::to_string(u32Scope);
    }
    return std::string(acText) + "/64";
}

bool TSourceKey::operator<(const TSourceKey &rOther) const
{
    if (bV6 != rOther.bV6) {
        return !bV6;
    }
    int s32Cmp = memcmp(au8Addr, rOther.au8Addr, sizeof(au8Addr));
    return s32Cmp != 0 ? s32Cmp < 0 : u32Scope < rOther.u32Scope;
}

CAdmission::CAdmission(const TAdmissionLimits &tLimits)
    : m_tLimits(tLimits), m_s32Startups(0), m_s64LastTicket(0)
{
}

CAdmission::TAdmitDecision CAdmission::Admit(const TSourceKey &tKey, int64_t s64Now)
{
    TAdmitDecision tDecision = {ADMIT, 0, 0};
    auto itPenalty = m_mapPenalty.find(tKey);
    if (itPenalty != m_mapPenalty.end()) {
        if (Expired(itPenalty->second, s64Now)) {
            m_mapPenalty.erase(itPenalty);
        } else if (s64Now < itPenalty->second.s64HoldUntil) {
            tDecision.eVerdict = REFUSE_PENALTY;
            return tDecision;
        }
    }
    auto itCount = m_mapStartups.find(tKey);
    if (m_s32Startups >= m_tLimits.s32MaxStartups) {
        // A source that holds a slot already waits like everyone else; a
        // fresh one takes the slot of a source that holds several.
        tDecision.s64DisplacedTicket = itCount == m_mapStartups.end() ? PickDisplaced() : 0;
        if (tDecision.s64DisplacedTicket == 0) {
            tDecision.eVerdict = REFUSE_STARTUPS;
            return tDecision;
        }
        Uncount(m_mapConnections.find(tDecision.s64DisplacedTicket));
    } else if (itCount != m_mapStartups.end() &&
               itCount->second >= m_tLimits.s32MaxStartupsPerSource) {
        tDecision.eVerdict = REFUSE_SOURCE_STARTUPS;
        return tDecision;
    }
    ++m_mapStartups[tKey];
    ++m_s32Startups;
    tDecision.s64Ticket = ++m_s64LastTicket;
    m_mapConnections[tDecision.s64Ticket] = TConnection{tKey, s64Now};
    return tDecision;
}

// The longest-waiting connection of the source that holds the most, when
// that is at least two: a source's only connection is never taken. Ties go
// to the source whose connection has waited longest.
int64_t CAdmission::PickDisplaced() const
{
    int64_t s64Pick = 0;
    int s32PickCount = 1;
    int64_t s64PickAdmitted = 0;
    for (const auto &rConn : m_mapConnections) {
        int s32Count = m_mapStartups.at(rConn.second.tKey);
        if (s32Count > s32PickCount || (s32Count == s32PickCount && s64Pick != 0 &&
                                        rConn.second.s64Admitted < s64PickAdmitted)) {
            s64Pick = rConn.first;
            s32PickCount = s32Count;
            s64PickAdmitted = rConn.second.s64Admitted;
        }
    }
    return s64Pick;
}

void CAdmission::Uncount(std::map<int64_t, TConnection>::iterator itConn)
{
    auto it = m_mapStartups.find(itConn->second.tKey);
    if (it != m_mapStartups.end()) {
        --m_s32Startups;
        if (--it->second <= 0) {
            m_mapStartups.erase(it);
        }
    }
    m_mapConnections.erase(itConn);
}

void CAdmission::LoggedIn(int64_t s64Ticket)
{
    auto itConn = m_mapConnections.find(s64Ticket);
    if (itConn != m_mapConnections.end()) {
        Uncount(itConn);
    }
}

template <int N>
bool CAdmission::TStrikes<N>::Add(int64_t s64Now)
{
    if (s32Count == N) {
        std::rotate(as64At, as64At + 1, as64At + N);
        --s32Count;
    }
    as64At[s32Count++] = s64Now;
    return s32Count == N && s64Now - as64At[0] < FAILURE_WINDOW_SECONDS;
}

int CAdmission::Ended(int64_t s64Ticket, EEnd eEnd, int64_t s64Now)
{
    auto itConn = m_mapConnections.find(s64Ticket);
    if (itConn == m_mapConnections.end()) {
        return 0;  // logged in or displaced: already uncounted
    }
    TSourceKey tKey = itConn->second.tKey;
    Uncount(itConn);
    // Only what the source did counts: a client that closes by itself (a
    // monitor probing the port, a NAT gateway's users) is never held.
    if ((eEnd != END_FAILED_LOGIN && eEnd != END_TIMED_OUT) ||
        m_tLimits.s32LoginPenaltySeconds <= 0) {
        return 0;
    }
    TPenalty &rRec = PenaltyRecord(tKey, s64Now);
    rRec.s64LastSeen = s64Now;
    bool bFailed = eEnd == END_FAILED_LOGIN;
    if (!(bFailed ? rRec.tFailed.Add(s64Now) : rRec.tTimedOut.Add(s64Now))) {
        return 0;
    }
    (bFailed ? rRec.tFailed.s32Count : rRec.tTimedOut.s32Count) = 0;  // spent on this hold
    return StartHold(rRec, s64Now);
}

// Holds double at every repeat, up to 10 minutes or the base hold when that
// is longer; the hold length is one per source, whatever led to it.
int CAdmission::StartHold(TPenalty &rRec, int64_t s64Now)
{
    int64_t s64Base = m_tLimits.s32LoginPenaltySeconds;
    int64_t s64Max = std::max<int64_t>(MAX_HOLD_SECONDS, s64Base);
    int64_t s64Hold =
        rRec.s32LastHold > 0 ? std::min<int64_t>(2 * int64_t{rRec.s32LastHold}, s64Max) : s64Base;
    rRec.s32LastHold = static_cast<int>(s64Hold);
    rRec.s64HoldUntil = s64Now + s64Hold;
    return rRec.s32LastHold;
}

// A record is forgotten once the source has been quiet for the failure
// window after its last failure and after its last hold; the next hold then
// starts again at the base length.
bool CAdmission::Expired(const TPenalty &tRec, int64_t s64Now) const
{
    int64_t s64Quiet = std::max(tRec.s64LastSeen, tRec.s64HoldUntil);
    return s64Now - s64Quiet >= FAILURE_WINDOW_SECONDS;
}

CAdmission::TPenalty &CAdmission::PenaltyRecord(const TSourceKey &tKey, int64_t s64Now)
{
    auto it = m_mapPenalty.find(tKey);
    if (it != m_mapPenalty.end()) {
        if (Expired(it->second, s64Now)) {
            it->second = TPenalty();
        }
        return it->second;
    }
    // The table is bounded: many addresses cannot grow it. The oldest entry
    // goes first, one that holds a source off only when every entry does.
    if (m_mapPenalty.size() >= MAX_PENALTY_SOURCES) {
        auto itOldest = m_mapPenalty.end();
        auto itOldestHeld = m_mapPenalty.end();
        for (auto itScan = m_mapPenalty.begin(); itScan != m_mapPenalty.end(); ++itScan) {
            bool bHeld = s64Now < itScan->second.s64HoldUntil;
            auto &rPick = bHeld ? itOldestHeld : itOldest;
            if (rPick == m_mapPenalty.end() ||
                itScan->second.s64LastSeen < rPick->second.s64LastSeen) {
                rPick = itScan;
            }
        }
        m_mapPenalty.erase(itOldest != m_mapPenalty.end() ? itOldest : itOldestHeld);
    }
    return m_mapPenalty[tKey];
}

CLogQuota::CLogQuota()
    : m_s64WindowStart(-1), m_s32LiveInAll(0), m_s64SummaryStart(-1), m_bMoreAddresses(false)
{
}

CLogQuota::TLogTicket CLogQuota::Start(const TSourceKey &tKey, int64_t s64Now)
{
    if (m_s64WindowStart < 0 || s64Now - m_s64WindowStart >= WINDOW_SECONDS) {
        m_s64WindowStart = s64Now;
        m_s32LiveInAll = 0;
        m_mapLive.clear();
    }
    TLogTicket tTicket = {LOG_LIVE, tKey, s64Now};
    auto it = m_mapLive.find(tKey);
    if (it != m_mapLive.end() && it->second >= LIVE_PER_SOURCE) {
        tTicket.eVerdict = QUIET_SOURCE;
    } else if (m_s32LiveInAll >= LIVE_IN_ALL) {
        tTicket.eVerdict = QUIET_ALL;
    } else {
        ++m_mapLive[tKey];  // at most LIVE_IN_ALL entries
        ++m_s32LiveInAll;
    }
    return tTicket;
}

void CLogQuota::Attempted(const TLogTicket &tTicket)
{
    if (tTicket.eVerdict != LOG_LIVE || tTicket.s64Start < m_s64WindowStart) {
        return;  // quiet, or its window is over and the units renewed
    }
    auto it = m_mapLive.find(tTicket.tKey);
    if (it != m_mapLive.end()) {
        --m_s32LiveInAll;
        if (--it->second <= 0) {
            m_mapLive.erase(it);
        }
    }
}

// The counts a quiet connection's end goes to: its source's line while the
// table has room, the line for all otherwise.
CLogQuota::TQuietCounts *CLogQuota::CountsFor(const TLogTicket &tTicket)
{
    if (tTicket.eVerdict == QUIET_SOURCE) {
        auto it = m_mapQuiet.find(tTicket.tKey);
        if (it != m_mapQuiet.end()) {
            return &it->second;
        }
        if (m_mapQuiet.size() < MAX_SUMMARY_SOURCES) {
            return &m_mapQuiet[tTicket.tKey];
        }
    }
    if (m_setAllAddresses.count(tTicket.tKey) == 0) {
        if (m_setAllAddresses.size() < MAX_COUNTED_ADDRESSES) {
            m_setAllAddresses.insert(tTicket.tKey);
        } else {
            m_bMoreAddresses = true;
        }
    }
    return &m_tQuietAll;
}

void CLogQuota::EndedQuiet(const TLogTicket &tTicket, EPreLoginEnd eEnd, int64_t s64Now)
{
    if (tTicket.eVerdict == LOG_LIVE || eEnd < 0 || eEnd >= PRELOGIN_END_KINDS) {
        return;
    }
    if (m_s64SummaryStart < 0) {
        m_s64SummaryStart = s64Now;
    }
    ++CountsFor(tTicket)->au64Ends[eEnd];
}

std::string CLogQuota::TQuietCounts::Text(const std::string &strFrom, int64_t s64Seconds) const
{
    uint64_t u64All = 0;
    for (uint64_t u64Count : au64Ends) {
        u64All += u64Count;
    }
    char acText[512];
    snprintf(acText, sizeof(acText),
             "%" PRIu64 " connections from %s not logged in the last %" PRId64 " s: %" PRIu64
             " closed by the client, %" PRIu64 " key exchange failed, %" PRIu64
             " timed out, %" PRIu64 " displaced",
             u64All, strFrom.c_str(), s64Seconds, au64Ends[PRELOGIN_CLOSED],
             au64Ends[PRELOGIN_KEX_FAILED], au64Ends[PRELOGIN_TIMED_OUT],
             au64Ends[PRELOGIN_DISPLACED]);
    return acText;
}

std::vector<std::string> CLogQuota::DueSummaries(int64_t s64Now)
{
    std::vector<std::string> vecLines;
    if (m_s64SummaryStart < 0 || s64Now - m_s64SummaryStart < WINDOW_SECONDS) {
        return vecLines;
    }
    int64_t s64Seconds = s64Now - m_s64SummaryStart;
    for (const auto &rSource : m_mapQuiet) {
        vecLines.push_back(rSource.second.Text(rSource.first.ToText(), s64Seconds));
    }
    if (!m_setAllAddresses.empty()) {
        std::string strFrom = (m_bMoreAddresses ? "more than " : "") +
                              std::to_string(m_setAllAddresses.size()) +
                              " addresses beyond the quota in all";
        vecLines.push_back(m_tQuietAll.Text(strFrom, s64Seconds));
    }
    m_s64SummaryStart = -1;
    m_mapQuiet.clear();
    m_tQuietAll = TQuietCounts();
    m_setAllAddresses.clear();
    m_bMoreAddresses = false;
    return vecLines;
}
