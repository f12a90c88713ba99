// Listener pieces that work without a client: settings validation, the
// login check, the registry, and the telnet connect and socket information.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "commonutils.h"
#include "logcapture.h"
#include "sshsvr.h"

namespace
{

std::string Md5(const char *szText)
{
    CMd5A cMd5;
    return cMd5.MDString(szText);
}

// A listener on an ephemeral port of szAddr (IPv4 or IPv6; "::" listens
// on both); -1 when it cannot listen.
int Listen(const char *szAddr, int &s32Port)
{
    struct sockaddr_in6 st6 = {};
    struct sockaddr_in st4 = {};
    bool bV6 = strchr(szAddr, ':') != nullptr;
    auto *pAddr = bV6 ? reinterpret_cast<sockaddr *>(&st6) : reinterpret_cast<sockaddr *>(&st4);
    socklen_t u32Len = bV6 ? sizeof(st6) : sizeof(st4);
    st6.sin6_family = AF_INET6;
    st4.sin_family = AF_INET;
    inet_pton(bV6 ? AF_INET6 : AF_INET, szAddr,
              bV6 ? static_cast<void *>(&st6.sin6_addr) : static_cast<void *>(&st4.sin_addr));
    int s32Fd = socket(bV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    int s32Off = 0;
    setsockopt(s32Fd, IPPROTO_IPV6, IPV6_V6ONLY, &s32Off, sizeof(s32Off));  // IPv6 only
    if (bind(s32Fd, pAddr, u32Len) != 0 || listen(s32Fd, 16) != 0 ||
        getsockname(s32Fd, pAddr, &u32Len) != 0) {
        close(s32Fd);
        return -1;
    }
    s32Port = ntohs(bV6 ? st6.sin6_port : st4.sin_port);
    return s32Fd;
}

}  // namespace

TEST(SshSvrInit, ChecksStopAtTheFirstMissingSetting)
{
    CLogCapture cLog;
    CSshSvr cSvr;
    const std::pair<std::function<void()>, const char *> atSteps[] = {
        {[] {}, "key file empty"},
        {[&] { cSvr.SetKeyFile("", "", "", "/only/ed25519"); },
         "ip or port empty"},  // one is enough
        {[&] { cSvr.SetAddr("0.0.0.0", "22"); }, "telnet port empty"},
        {[&] { cSvr.SetTelnetPort("23"); }, "user info empty"},
    };
    for (const auto &tStep : atSteps) {
        tStep.first();
        cLog.Clear();
        EXPECT_EQ(-1, cSvr.Init());
        EXPECT_EQ(0u, cLog.Text().find(std::string("ERROR ") + tStep.second + " --[sshsvr.cpp:"))
            << cLog.Text();
    }
    cSvr.SetUserInfo({{"admin", Md5("x")}});
    EXPECT_EQ(0, cSvr.Init());
}

TEST(SshSvrLogin, DigestComparisonAndLogLines)
{
    CLogCapture cLog;
    CSshSvr cSvr;
    cSvr.SetUserInfo({{"admin", Md5("secret")},
                      {"nopw", Md5("")},
                      {"upper", "5EBE2294ECD0E0F08EAB7690D2A6EE69"}});
    EXPECT_EQ(1, cSvr.CheckUser("admin", "secret"));
    EXPECT_EQ("", cLog.Text());  // a good login logs nothing here

    EXPECT_EQ(0, cSvr.CheckUser("admin", "wrong"));
    std::vector<std::string> vecLines = cLog.Lines();
    ASSERT_EQ(2u, vecLines.size());
    // Both user names, but no password and no digest in the log.
    EXPECT_EQ(0u, vecLines[0].find("ERROR check user:admin!=admin pwd:***,pwd:***!=*** fail --["));
    EXPECT_EQ(0u, vecLines[1].find("ERROR check user fail --["));
    EXPECT_EQ(std::string::npos, cLog.Text().find("wrong"));
    EXPECT_EQ(std::string::npos, cLog.Text().find(Md5("secret")));

    cLog.Clear();
    EXPECT_EQ(0, cSvr.CheckUser("Admin", "secret"));  // names are case-sensitive
    ASSERT_EQ(1u, cLog.Lines().size());
    EXPECT_EQ(0u, cLog.Lines()[0].find("ERROR check user fail"));

    EXPECT_EQ(1, cSvr.CheckUser("nopw", ""));
    EXPECT_EQ(0, cSvr.CheckUser("upper", "secret"));  // uppercase digests never match

    // A replaced table applies to the next check.
    cSvr.SetUserInfo({{"bob", Md5("pw")}});
    EXPECT_EQ(0, cSvr.CheckUser("admin", "secret"));
    EXPECT_EQ(1, cSvr.CheckUser("bob", "pw"));
}

// A digest that cannot be computed (a FIPS-only OpenSSL has no MD5) is
// empty, and so is the stored value of a "user:" line: that must not admit.
TEST(SshSvrLogin, FailedDigestNeverAdmits)
{
    CLogCapture cLog;
    CSshSvr cSvr;
    cSvr.SetUserInfo({{"empty", ""}, {"admin", Md5("pw")}});
    ASSERT_EQ(1, EVP_set_default_properties(nullptr, "fips=yes"));
    std::string strDigest = Md5("pw");
    int s32Empty = cSvr.CheckUser("empty", "anything");
    int s32Admin = cSvr.CheckUser("admin", "pw");
    EVP_set_default_properties(nullptr, "");
    if (!strDigest.empty()) {
        GTEST_SKIP() << "this OpenSSL computes MD5 even when only FIPS methods are asked for";
    }
    EXPECT_EQ(0, s32Empty);
    EXPECT_EQ(0, s32Admin);
    EXPECT_NE(std::string::npos, cLog.Text().find("password digest not available"));
}

TEST(SshSvrLogin, TableSwapUnderConcurrentLookups)
{
    // A user present in both tables must be admitted by every lookup made
    // while the tables are swapped: no lookup may see a half-replaced or
    // empty table (and the sanitizer builds see any unguarded access).
    CSshSvr cSvr;
    UserInfoMap mapA;
    UserInfoMap mapB;
    for (int i = 0; i < 50; ++i) {
        mapA["a" + std::to_string(i)] = Md5("x");
        mapB["b" + std::to_string(i)] = Md5("y");
    }
    mapA["common"] = Md5("c");
    mapB["common"] = Md5("c");
    cSvr.SetUserInfo(mapA);
    std::atomic<bool> bStop(false);
    std::atomic<int> s32Refused(0);
    std::thread cReader([&] {
        for (int i = 0; i < 20000 && !bStop; ++i) {
            if (cSvr.CheckUser("common", "c") != 1) {
                ++s32Refused;
            }
        }
    });
    for (int i = 0; i < 2000; ++i) {
        cSvr.SetUserInfo(i % 2 == 0 ? mapB : mapA);
    }
    bStop = true;
    cReader.join();
    EXPECT_EQ(0, s32Refused.load());
}

// GetSocketInfo on the accepted end of a connection to an IPv4 and to a
// dual-stack listener: an IPv4 client of the latter shows as IPv4 (an IPv6
// client is the end-to-end test's).
TEST(TelnetConnect, ConnectsAndShowsBothEnds)
{
    CLogCapture cLog;
    for (const char *szListen : {"127.0.0.1", "::"}) {
        SCOPED_TRACE(szListen);
        int s32Port = 0;
        int s32Listen = Listen(szListen, s32Port);
        if (s32Listen < 0) {
            continue;  // no IPv6 here
        }
        int s32Fd = ConnectServer("127.0.0.1", s32Port, "tcp");
        ASSERT_GT(s32Fd, 2);
        int s32Peer = accept(s32Listen, nullptr, nullptr);
        std::string strPeer;
        std::string strLocal;
        int s32PeerPort = 0;
        int s32LocalPort = 0;
        ASSERT_EQ(0,
                  CSshSvrChn::GetSocketInfo(s32Peer, strPeer, s32PeerPort, strLocal, s32LocalPort));
        EXPECT_EQ("127.0.0.1", strPeer);
        EXPECT_EQ("127.0.0.1", strLocal);
        EXPECT_EQ(s32Port, s32LocalPort);
        EXPECT_GT(s32PeerPort, 0);
        for (int s32Close : {s32Peer, s32Fd, s32Listen}) {
            close(s32Close);
        }
        // The numbers are closed now: nothing is filled in.
        std::string strKept = "x";
        EXPECT_EQ(-1,
                  CSshSvrChn::GetSocketInfo(s32Peer, strKept, s32PeerPort, strLocal, s32LocalPort));
        EXPECT_EQ("x", strKept);
        EXPECT_NE(std::string::npos, cLog.Text().find("getpeername failed, fd=" +
                                                      std::to_string(s32Peer) + ", errno=9(0x9)"));
        // The port is closed now: connect is refused, and the lookups fail.
        cLog.Clear();
        EXPECT_EQ(-1, ConnectServer("127.0.0.1", s32Port, "tcp"));
        EXPECT_NE(std::string::npos,
                  cLog.Text().find("can't connect to 127.0.0.1." + std::to_string(s32Port) + ":"));
    }
    EXPECT_EQ(-1, ConnectServer("no.such.host.invalid", 22, "tcp"));
    EXPECT_NE(std::string::npos, cLog.Text().find("can't get \"no.such.host.invalid\" host entry"));
    EXPECT_EQ(-1, ConnectServer("127.0.0.1", 22, "nosuchproto"));
    EXPECT_NE(std::string::npos, cLog.Text().find("can't get \"nosuchproto\" protocol entry"));
}

// Session threads open their telnet connections at the same moment, the
// first of them while the C library is still setting up its name service;
// run under ThreadSanitizer this is where an unguarded lookup shows.
TEST(TelnetConnect, ManyThreadsConnectAtOnceOnFirstUse)
{
    CLogCapture cLog;
    int s32Port = 0;
    int s32Listen = Listen("127.0.0.1", s32Port);
    ASSERT_GE(s32Listen, 0);
    constexpr int kThreads = 16;
    listen(s32Listen, kThreads);
    std::atomic<int> s32Ready{0};
    std::atomic<int> s32Connected{0};
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < kThreads; ++i) {
        // Half by name, half by number: both ways run together.
        const char *szHost = (i % 2 == 0) ? "localhost" : "127.0.0.1";
        vecThreads.emplace_back([&, szHost] {
            ++s32Ready;
            for (int s32Spin = 0; s32Ready.load() < kThreads && s32Spin < 1000000; ++s32Spin) {
                std::this_thread::yield();
            }
            int s32Fd = ConnectServer(szHost, s32Port, "tcp");
            if (s32Fd >= 0) {
                ++s32Connected;
                close(s32Fd);
            }
        });
    }
    for (std::thread &cThread : vecThreads) {
        cThread.join();
    }
    close(s32Listen);
    EXPECT_EQ(kThreads, s32Connected.load()) << cLog.Text();
}
