#include "admission.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
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
    return std::string(acText) + "/64";
}

bool TSourceKey::operator<(const TSourceKey &rOther) const
{
    if (bV6 != rOther.bV6) {
        return !bV6;
    }
    return memcmp(au8Addr, rOther.au8Addr, sizeof(au8Addr)) < 0;
}

CAdmission::CAdmission(const TAdmissionLimits &tLimits) : m_tLimits(tLimits), m_s32Startups(0) {}

CAdmission::EVerdict CAdmission::Admit(const TSourceKey &tKey, int64_t s64Now)
{
    auto itPenalty = m_mapPenalty.find(tKey);
    if (itPenalty != m_mapPenalty.end()) {
        if (Expired(itPenalty->second, s64Now)) {
            m_mapPenalty.erase(itPenalty);
        } else if (s64Now < itPenalty->second.s64HoldUntil) {
            return REFUSE_PENALTY;
        }
    }
    if (m_s32Startups >= m_tLimits.s32MaxStartups) {
        return REFUSE_STARTUPS;
    }
    auto itCount = m_mapStartups.find(tKey);
    if (itCount != m_mapStartups.end() && itCount->second >= m_tLimits.s32MaxStartupsPerSource) {
        return REFUSE_SOURCE_STARTUPS;
    }
    ++m_mapStartups[tKey];
    ++m_s32Startups;
    return ADMIT;
}

void CAdmission::Uncount(const TSourceKey &tKey)
{
    auto it = m_mapStartups.find(tKey);
    if (it != m_mapStartups.end()) {
        --m_s32Startups;
        if (--it->second <= 0) {
            m_mapStartups.erase(it);
        }
    }
}

void CAdmission::LoggedIn(const TSourceKey &tKey)
{
    Uncount(tKey);
    m_mapPenalty.erase(tKey);
}

int CAdmission::Ended(const TSourceKey &tKey, bool bFailedLogin, int64_t s64Now)
{
    Uncount(tKey);
    if (!bFailedLogin || m_tLimits.s32LoginPenaltySeconds <= 0) {
        return 0;
    }
    TPenalty &rRec = PenaltyRecord(tKey, s64Now);
    rRec.s64LastSeen = s64Now;
    // Keep the newest failures only, and only those in the window.
    if (rRec.s32Failures == FAILURES_FOR_HOLD) {
        std::rotate(rRec.as64Failures, rRec.as64Failures + 1,
                    rRec.as64Failures + FAILURES_FOR_HOLD);
        --rRec.s32Failures;
    }
    rRec.as64Failures[rRec.s32Failures++] = s64Now;
    int s32Recent = 0;
    for (int i = 0; i < rRec.s32Failures; ++i) {
        if (s64Now - rRec.as64Failures[i] < FAILURE_WINDOW_SECONDS) {
            ++s32Recent;
        }
    }
    if (s32Recent < FAILURES_FOR_HOLD) {
        return 0;
    }
    int s32Hold = rRec.s32LastHold > 0
                      ? std::min(2 * rRec.s32LastHold, MAX_HOLD_SECONDS)
                      : std::min(m_tLimits.s32LoginPenaltySeconds, MAX_HOLD_SECONDS);
    rRec.s32LastHold = s32Hold;
    rRec.s64HoldUntil = s64Now + s32Hold;
    rRec.s32Failures = 0;
    return s32Hold;
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
