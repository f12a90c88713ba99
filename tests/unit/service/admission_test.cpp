// The admission table and the log quota of connections that never try to
// log in, driven by a clock of the test's own.
#include <gtest/gtest.h>
#include <netdb.h>

#include <string>
#include <vector>

#include "admission.h"

namespace
{

TSourceKey Source(const std::string &strAddr)
{
    struct addrinfo tHints = {};
    struct addrinfo *pRes = nullptr;
    tHints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(strAddr.c_str(), nullptr, &tHints, &pRes) != 0) {
        ADD_FAILURE() << strAddr;
        return TSourceKey();
    }
    TSourceKey tKey = TSourceKey::FromSockaddr(pRes->ai_addr, pRes->ai_addrlen);
    freeaddrinfo(pRes);
    return tKey;
}

// One connection from tKey admitted and ended at s64At; the hold it starts.
int EndOne(CAdmission &rAdm, const TSourceKey &tKey, int64_t s64At, CAdmission::EEnd eEnd,
           bool bLogin = false)
{
    CAdmission::TAdmitDecision tDecision = rAdm.Admit(tKey, s64At);
    EXPECT_EQ(CAdmission::ADMIT, tDecision.eVerdict) << tKey.ToText() << " at " << s64At;
    if (bLogin) {
        rAdm.LoggedIn(tDecision.s64Ticket);
    }
    return rAdm.Ended(tDecision.s64Ticket, eEnd, s64At);
}

}  // namespace

// Sources are IPv4 addresses (a dual-stack listener's IPv4 client too), IPv6
// /64 networks, or link-local addresses alone, as the WARN lines name them.
TEST(Admission, PreLoginLimitsInAllAndPerSource)
{
    EXPECT_EQ("192.0.2.7", Source("::ffff:192.0.2.7").ToText());
    EXPECT_EQ("2001:db8:1:2::/64", Source("2001:db8:1:2:aaaa::1").ToText());
    EXPECT_EQ("fe80::1:2", Source("fe80::1:2").ToText());
    EXPECT_EQ("fe80::1:2%3", Source("fe80::1:2%3").ToText());
    CAdmission cAdm(TAdmissionLimits{6, 2, 30});  // in all, per source, hold
    TSourceKey tA = Source("2001:db8:1:2::1");
    int64_t s64First = cAdm.Admit(tA, 0).s64Ticket;
    EXPECT_EQ(CAdmission::ADMIT, cAdm.Admit(Source("2001:db8:1:2:ffff::9"), 0).eVerdict);
    EXPECT_EQ(CAdmission::REFUSE_SOURCE_STARTUPS, cAdm.Admit(tA, 0).eVerdict);  // one /64
    EXPECT_EQ(CAdmission::ADMIT, cAdm.Admit(Source("2001:db8:1:3::1"), 0).eVerdict);
    for (const char *szLinkLocal : {"fe80::1", "fe80::1", "fe80::2"}) {
        EXPECT_EQ(CAdmission::ADMIT, cAdm.Admit(Source(szLinkLocal), 0).eVerdict) << szLinkLocal;
    }
    cAdm.LoggedIn(s64First);  // a logged-in connection no longer counts
    EXPECT_EQ(CAdmission::ADMIT, cAdm.Admit(Source("fe80::1%2"), 0).eVerdict);  // another link
    EXPECT_EQ(6, cAdm.Startups());
}

// Every slot taken by squatters: a fresh source still gets in, in the slot
// of the longest-waiting connection of the source that holds the most (on a
// tie, the one waiting longest). A source that holds one already waits, and
// a source's only connection is never taken. Rows: who connects, and which
// earlier row's connection it displaces (-1: none).
TEST(Admission, FreshSourceDisplacesTheBiggestHolder)
{
    CAdmission cAdm(TAdmissionLimits{4, 3, 30});
    struct TStep
    {
        const char *szAddr;
        CAdmission::EVerdict eVerdict;
        int s32Displaced;
    };
    const TStep atSteps[] = {
        {"10.0.0.1", CAdmission::ADMIT, -1}, {"10.0.0.1", CAdmission::ADMIT, -1},
        {"10.0.0.2", CAdmission::ADMIT, -1}, {"10.0.0.2", CAdmission::ADMIT, -1},
        {"10.0.0.3", CAdmission::ADMIT, 0},  {"10.0.0.1", CAdmission::REFUSE_STARTUPS, -1},
        {"10.0.0.4", CAdmission::ADMIT, 2},  {"10.0.0.5", CAdmission::REFUSE_STARTUPS, -1}};
    std::vector<int64_t> vecTickets;
    for (size_t i = 0; i < sizeof(atSteps) / sizeof(atSteps[0]); ++i) {
        auto tDecision = cAdm.Admit(Source(atSteps[i].szAddr), static_cast<int64_t>(i));
        EXPECT_EQ(atSteps[i].eVerdict, tDecision.eVerdict) << i;
        EXPECT_EQ(atSteps[i].s32Displaced < 0 ? 0 : vecTickets[atSteps[i].s32Displaced],
                  tDecision.s64DisplacedTicket)
            << i;
        EXPECT_EQ(tDecision.eVerdict == CAdmission::ADMIT, tDecision.s64Ticket > 0) << i;
        vecTickets.push_back(tDecision.s64Ticket);
        EXPECT_EQ(i < 4 ? i + 1 : 4, static_cast<size_t>(cAdm.Startups())) << i;
    }
    // The displaced ones stopped counting when they were displaced, and
    // their ends count again for nothing, nor towards a hold.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, cAdm.Ended(vecTickets[0], CAdmission::END_FAILED_LOGIN, 9));
    }
    EXPECT_EQ(4, cAdm.Startups());
    EXPECT_EQ(0, cAdm.Ended(vecTickets[1], CAdmission::END_OTHER, 9));
    EXPECT_EQ(CAdmission::ADMIT, cAdm.Admit(Source("10.0.0.1"), 9).eVerdict);
}

// Rows: when connections from one source end, how, how many, whether they
// logged in first, and the hold the last of them starts (0: none).
TEST(Admission, FailingSourcesAreHeldOffLongerEachTime)
{
    const auto FAILED = CAdmission::END_FAILED_LOGIN;
    struct TStep
    {
        int64_t s64At;
        CAdmission::EEnd eEnd;
        int s32Times;
        bool bLogin;
        int s32Hold;
    };
    const TStep atSteps[] = {
        {0, FAILED, 1, false, 0},
        {10, FAILED, 1, false, 0},
        {20, FAILED, 1, false, 30},
        {100, FAILED, 2, false, 0},
        {120, FAILED, 1, false, 60},  // a repeat doubles
        {200, FAILED, 3, false, 120},
        {400, FAILED, 3, false, 240},
        {700, FAILED, 3, false, 480},
        {1300, FAILED, 3, false, 600},  // capped at 10 min
        {2000, FAILED, 1, false, 0},
        {2700, FAILED, 1, false, 0},
        {3400, FAILED, 1, false, 0},   // spread over more than 10 minutes: no hold
        {5000, FAILED, 3, false, 30},  // quiet for long: back to the base length
        {5100, FAILED, 2, false, 0},
        {5120, CAdmission::END_OTHER, 1, true, 0},
        {5130, FAILED, 1, false, 60},                 // a login in between keeps the failures
        {5200, CAdmission::END_OTHER, 40, false, 0},  // closed by the client
        {5300, CAdmission::END_DISPLACED, 40, false, 0},
        {5400, CAdmission::END_TIMED_OUT, 19, false, 0},
        {5410, CAdmission::END_TIMED_OUT, 1, false, 120},  // the 20th in 10 minutes
    };
    CAdmission cAdm;
    TSourceKey tA = Source("10.0.0.1");
    for (const TStep &tStep : atSteps) {
        for (int i = 1; i <= tStep.s32Times; ++i) {
            EXPECT_EQ(i == tStep.s32Times ? tStep.s32Hold : 0,
                      EndOne(cAdm, tA, tStep.s64At, tStep.eEnd, tStep.bLogin))
                << tStep.s64At;
        }
    }
    EXPECT_EQ(CAdmission::REFUSE_PENALTY, cAdm.Admit(tA, 5529).eVerdict);
    EXPECT_EQ(CAdmission::ADMIT, cAdm.Admit(Source("10.0.0.2"), 5529).eVerdict);  // not held
    EXPECT_EQ(CAdmission::ADMIT, cAdm.Admit(tA, 5530).eVerdict);
}

TEST(Admission, PenaltyLengthsOffAndBoundedTable)
{
    // A base hold above 10 minutes is the longest; a shorter one doubles up to 10.
    for (int s32Base : {0, 400, 900}) {
        CAdmission cAdm(TAdmissionLimits{64, 8, s32Base});
        std::vector<int> vecHolds;
        for (int64_t s64At : {0, 1, 2, 1000, 1001, 1002}) {
            vecHolds.push_back(
                EndOne(cAdm, Source("10.0.0.1"), s64At, CAdmission::END_FAILED_LOGIN));
        }
        int s32Next = s32Base == 400 ? 600 : s32Base;  // doubled, at most 10 minutes or the base
        EXPECT_EQ((std::vector<int>{0, 0, s32Base, 0, 0, s32Next}), vecHolds) << s32Base;
    }
    CAdmission cAdm;
    TSourceKey tHeld = Source("10.0.0.1");
    for (int i = 0; i < 3; ++i) {
        EndOne(cAdm, tHeld, 0, CAdmission::END_FAILED_LOGIN);
    }
    for (size_t i = 0; i < 3 * CAdmission::MAX_PENALTY_SOURCES; ++i) {
        EndOne(cAdm, Source("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256)), 1,
               CAdmission::END_FAILED_LOGIN);
    }
    EXPECT_EQ(CAdmission::MAX_PENALTY_SOURCES, cAdm.PenaltySources());
    EXPECT_EQ(CAdmission::REFUSE_PENALTY, cAdm.Admit(tHeld, 2).eVerdict);  // stays held
}

TEST(LogQuota, LiveUpToFivePerSourceAndFiftyInAll)
{
    CLogQuota cQuota;
    TSourceKey tA = Source("10.0.0.1");
    std::vector<CLogQuota::TLogTicket> vecA;
    for (int i = 0; i < 6; ++i) {
        vecA.push_back(cQuota.Start(tA, 0));
        EXPECT_EQ(i < 5 ? CLogQuota::LOG_LIVE : CLogQuota::QUIET_SOURCE, vecA.back().eVerdict);
    }
    cQuota.Attempted(vecA[0]);  // it tried to log in: its unit comes back
    EXPECT_EQ(CLogQuota::LOG_LIVE, cQuota.Start(tA, 1).eVerdict);
    for (int i = 0; i < 45; ++i) {
        EXPECT_EQ(CLogQuota::LOG_LIVE,
                  cQuota.Start(Source("10.1.0." + std::to_string(i / 5)), 2).eVerdict);
    }
    EXPECT_EQ(CLogQuota::QUIET_ALL, cQuota.Start(Source("10.2.0.1"), 3).eVerdict);
    EXPECT_EQ(CLogQuota::QUIET_SOURCE, cQuota.Start(tA, 3).eVerdict);
    cQuota.Attempted(vecA[5]);  // a quiet one has no unit to give back
    cQuota.Attempted(vecA[1]);
    EXPECT_EQ(CLogQuota::LOG_LIVE, cQuota.Start(Source("10.2.0.1"), 4).eVerdict);
    EXPECT_EQ(CLogQuota::QUIET_ALL, cQuota.Start(Source("10.2.0.1"), 59).eVerdict);
    // A new minute: fresh units; those taken in the last one give nothing back.
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(i < 5 ? CLogQuota::LOG_LIVE : CLogQuota::QUIET_SOURCE,
                  cQuota.Start(tA, 60).eVerdict);
        cQuota.Attempted(vecA[2 + i % 3]);
    }
}

// 70 sources over seven minutes go one past their own quota each, then 1100
// addresses find the quota in all used up: one line per source for the
// first 64, and one line for all the others.
TEST(LogQuota, SummariesOncePerMinuteAndBounded)
{
    CLogQuota cQuota;
    auto Quiet = [&cQuota](const std::string &strAddr, int64_t s64At, int s32End) {
        CLogQuota::TLogTicket tTicket = cQuota.Start(Source(strAddr), s64At);
        cQuota.EndedQuiet(tTicket, static_cast<CLogQuota::EPreLoginEnd>(s32End), s64At);
    };
    for (int i = 0; i < 70; ++i) {
        for (int j = 0; j < 6; ++j) {  // five logged, the sixth not
            Quiet("10.1.0." + std::to_string(i), i / 10 * 60, CLogQuota::PRELOGIN_CLOSED);
        }
        if (i == 0) {
            for (int s32End : {CLogQuota::PRELOGIN_KEX_FAILED, CLogQuota::PRELOGIN_TIMED_OUT,
                               CLogQuota::PRELOGIN_DISPLACED}) {
                Quiet("10.1.0.0", 0, s32End);
            }
            EXPECT_TRUE(cQuota.DueSummaries(59).empty());  // a minute after the first
        }
    }
    for (int i = 0; i < 1100; ++i) {
        Quiet("10.2." + std::to_string(i / 256) + "." + std::to_string(i % 256), 360,
              CLogQuota::PRELOGIN_CLOSED);
    }
    std::vector<std::string> vecLines = cQuota.DueSummaries(420);
    ASSERT_EQ(CLogQuota::MAX_SUMMARY_SOURCES + 1, vecLines.size());
    EXPECT_EQ("4 connections from 10.1.0.0 not logged in the last 420 s: 1 closed by the client, "
              "1 key exchange failed, 1 timed out, 1 displaced",
              vecLines[0]);
    EXPECT_EQ("1106 connections from more than 1024 addresses beyond the quota in all not logged "
              "in the last 420 s: 1106 closed by the client, 0 key exchange failed, 0 timed out, "
              "0 displaced",
              vecLines.back());
    EXPECT_TRUE(cQuota.DueSummaries(421).empty());  // nothing new
    for (int j = 0; j < 7; ++j) {
        Quiet("10.1.0.0", 430, CLogQuota::PRELOGIN_TIMED_OUT);
    }
    EXPECT_TRUE(cQuota.DueSummaries(489).empty());
    EXPECT_EQ("2 connections from 10.1.0.0 not logged in the last 60 s: 0 closed by the client, "
              "0 key exchange failed, 2 timed out, 0 displaced",
              cQuota.DueSummaries(490).at(0));
}
