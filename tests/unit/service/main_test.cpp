// Start-up configuration: the credentials file and its reload, the
// parameter-file check, the console answers and the command line.
#include <getopt.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <tuple>
#include <utility>

#include "../common/testsupport.h"
#include "commonutils.h"
#include "logcapture.h"
#include "main.h"
#include "xmlparamfile.h"

namespace
{

void WriteFile(const std::string &strPath, const std::string &strText)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
}

std::string Md5(const char *szText)
{
    CMd5A cMd5;
    return cMd5.MDString(szText);
}

}  // namespace

TEST(Credentials, ReadFileToStringReadsOnlySmallRegularFiles)
{
    std::string strDir = FreshTestDir();
    std::string strText;
    for (int i = 0; i < 200; ++i) {  // about 8 KiB: lines cross the 1024-byte reads
        strText += "user" + std::to_string(i) + ":" + Md5(std::to_string(i).c_str()) + "\n";
    }
    WriteFile(strDir + "/cred", strText);
    WriteFile(strDir + "/mib", std::string(1024 * 1024, 'x'));
    WriteFile(strDir + "/big", std::string(1024 * 1024 + 1, 'x'));
    ASSERT_EQ(0, mkfifo((strDir + "/fifo").c_str(), 0600));
    // What is no regular file of at most 1 MiB would block the start or
    // flood it: nothing is read, and the log says which file and why.
    const std::pair<std::string, const char *> atCases[] = {
        {strDir + "/cred", nullptr},
        {strDir + "/mib", nullptr},
        {strDir + "/missing", ""},  // unreadable, without a line of its own
        {strDir + "/big", "larger than 1 MiB"},
        {strDir + "/fifo", "not a regular file"},
        {strDir, "not a regular file"},
        {"/dev/null", "not a regular file"},
    };
    for (const auto &tCase : atCases) {
        const std::string &strPath = tCase.first;
        CLogCapture cLog;
        std::pair<int, std::string> tGot(0, "stale");
        tGot.first = ReadFileToString(strPath, tGot.second);  // a FIFO used to block here
        if (tCase.second != nullptr) {
            EXPECT_EQ(std::make_pair(-1, std::string()), tGot) << strPath;
            const std::string strLine =
                std::string("ERROR ") + strPath + " not read: " + tCase.second;
            EXPECT_EQ(*tCase.second != '\0', cLog.Text().find(strLine) != std::string::npos)
                << cLog.Text();
            continue;
        }
        const std::string strWant = ReadAll(strPath);
        EXPECT_EQ(std::make_pair(static_cast<int>(strWant.size()), strWant), tGot) << strPath;
    }
}

namespace
{

// Appends one inotify record to a buffer as the kernel lays it out.
void AddEvent(std::string &strBuf, uint32_t u32Mask, const std::string &strName)
{
    size_t u64NameLen = strName.empty() ? 0 : (strName.size() / 16 + 1) * 16;
    struct inotify_event stEvent;
    memset(&stEvent, 0, sizeof(stEvent));
    stEvent.wd = 1;
    stEvent.mask = u32Mask;
    stEvent.len = static_cast<uint32_t>(u64NameLen);
    strBuf.append(reinterpret_cast<const char *>(&stEvent), sizeof(stEvent));
    std::string strName0 = strName;
    strName0.resize(u64NameLen, '\0');
    strBuf += strName0;
}

}  // namespace

TEST(Credentials, ConfigEventsReloadOnlyForTheCredentialsFile)
{
    CLogCapture cLog;
    std::string strDir = FreshTestDir();
    std::string strFile = strDir + "/sshapipublicpw.cur";
    WriteFile(strFile, "bob:" + Md5("pw") + "\ncarol:" + Md5("file") + "\n");
    CSshSvr cSvr;
    cSvr.SetUserInfo({{"admin", Md5("old")}});
    TCredentials tCred;
    // The command-line user stays through every reload and wins a clash.
    tCred.mapCmdLine = {{"carol", Md5("cli")}, {"dave", Md5("d")}};

    std::string strBuf;
    AddEvent(strBuf, IN_MODIFY, "other.xml");
    AddEvent(strBuf, IN_ACCESS, "sshapipublicpw.cur");  // not watched for
    AddEvent(strBuf, IN_MOVED_FROM, "sshapipublicpw.cur");
    EXPECT_EQ(0, HandleConfigEvents(strBuf.data(), strBuf.size(), strFile, tCred, cSvr));
    EXPECT_EQ(1, cSvr.CheckUser("admin", "old"));

    strBuf.clear();
    AddEvent(strBuf, IN_MODIFY, "sshapipublicpw.cur");
    AddEvent(strBuf, IN_CREATE, "pw.cur");  // any part of the path matches
    AddEvent(strBuf, IN_MODIFY, "config");
    AddEvent(strBuf, IN_MOVED_TO, "sshapipublicpw.cur");  // a file renamed onto it
    EXPECT_EQ(4, HandleConfigEvents(strBuf.data(), strBuf.size(), strFile, tCred, cSvr));
    EXPECT_NE(std::string::npos, cLog.Text().find("user:password modify sshapipublicpw.cur"));
    EXPECT_NE(std::string::npos, cLog.Text().find("-----------other.xml"));
    auto fnLogins = [&cSvr]() {
        return std::vector<int>{cSvr.CheckUser("admin", "old"), cSvr.CheckUser("bob", "pw"),
                                cSvr.CheckUser("carol", "cli"), cSvr.CheckUser("carol", "file"),
                                cSvr.CheckUser("dave", "d")};
    };
    const std::vector<int> vecReloaded = {0, 1, 1, 0, 1};  // replaced whole, plus the command line
    EXPECT_EQ(vecReloaded, fnLogins());

    // Emptied, or left without a single usable entry: the previous logins
    // stay (the latter with an ERROR line).
    for (const char *szText : {"", "garbage\nbob:not-a-digest\n"}) {
        cLog.Clear();
        WriteFile(strFile, szText);
        strBuf.clear();
        AddEvent(strBuf, IN_MODIFY, "sshapipublicpw.cur");
        EXPECT_EQ(1, HandleConfigEvents(strBuf.data(), strBuf.size(), strFile, tCred, cSvr));
        EXPECT_EQ(vecReloaded, fnLogins()) << szText;
        EXPECT_EQ(*szText != '\0', cLog.Text().find("previous logins kept") != std::string::npos);
    }

    // A record cut short by the read is not walked past.
    strBuf.clear();
    AddEvent(strBuf, IN_MODIFY, "sshapipublicpw.cur");
    EXPECT_EQ(0, HandleConfigEvents(strBuf.data(), strBuf.size() - 4, strFile, tCred, cSvr));
}

TEST(Credentials, StartTableByPasswordMode)
{
    std::string strFile = FreshTestDir() + "/sshapipublicpw.cur";
    const UserInfoMap mapDefault = {{"admin", g_szDefaultDigest}};
    const UserInfoMap mapBob = {{"bob", Md5("b")}};
    const std::string strAlice = "alice:" + Md5("a") + "\n";
    struct TCase
    {
        const char *szMode;
        std::string strFile;  // written before the start, "-" for none
        UserInfoMap mapCmdLine;
        UserInfoMap mapExpected;
        bool bEmptyError;
        bool bDefaultWarning;
    };
    const TCase atCases[] = {
        {"", strAlice, {}, mapDefault, false, true},
        {"", "-", mapBob, {{"admin", g_szDefaultDigest}, {"bob", Md5("b")}}, false, true},
        {"public", strAlice, {}, {{"alice", Md5("a")}}, false, false},
        {"public", strAlice, {{"alice", Md5("cli")}}, {{"alice", Md5("cli")}}, false, false},
        {"public", "", {}, mapDefault, true, true},
        {"public", "-", mapBob, mapBob, false, false},
        {"other", strAlice, {}, mapDefault, true, true},
    };
    for (const TCase &tCase : atCases) {
        SCOPED_TRACE(std::string(tCase.szMode) + " / " + tCase.strFile);
        unlink(strFile.c_str());
        if (tCase.strFile != "-") {
            WriteFile(strFile, tCase.strFile);
        }
        CLogCapture cLog;
        TCredentials tCred;
        tCred.mapCmdLine = tCase.mapCmdLine;
        EXPECT_EQ(tCase.mapExpected, LoadStartCredentials(tCase.szMode, strFile, tCred));
        const std::string strLog = cLog.Text();
        EXPECT_EQ(tCase.bEmptyError,
                  strLog.find("ERROR userCredentials is empty, set default user and password") !=
                      std::string::npos);
        EXPECT_EQ(tCase.bDefaultWarning,
                  strLog.find("WARN user admin with the built-in default password is in force; set "
                              "users with -U NAME -P DIGEST, or with -w public and " +
                              strFile) != std::string::npos)
            << strLog;
    }
}

TEST(Credentials, StartUpReReadKeepsCommandLineUserAndGuard)
{
    std::string strFile = FreshTestDir() + "/sshapipublicpw.cur";
    WriteFile(strFile, "alice:" + Md5("a") + "\n");
    TCredentials tCred;
    tCred.mapCmdLine = {{"bob", Md5("b")}};
    CSshSvr cSvr;
    cSvr.SetUserInfo(LoadStartCredentials("public", strFile, tCred));
    const char *const szChanged = "user:password changed during start-up, reloaded";

    // Unchanged since the start: nothing happens.
    CLogCapture cLog;
    EXPECT_EQ(0, ReloadChangedBeforeWatch(strFile, tCred, cSvr));
    EXPECT_EQ(std::string::npos, cLog.Text().find(szChanged));
    EXPECT_EQ(1, cSvr.CheckUser("bob", "b"));
    // Changed to nothing usable: the table stays, as on a later reload.
    WriteFile(strFile, "alice:cut-sho");
    EXPECT_EQ(0, ReloadChangedBeforeWatch(strFile, tCred, cSvr));
    EXPECT_NE(std::string::npos,
              cLog.Text().find("ERROR " + strFile + " has no entry user:digest"));
    EXPECT_EQ(1, cSvr.CheckUser("alice", "a"));
    EXPECT_EQ(1, cSvr.CheckUser("bob", "b"));
    // Changed: applied, with the command-line user.
    WriteFile(strFile, "alice:" + Md5("new") + "\n");
    EXPECT_EQ(1, ReloadChangedBeforeWatch(strFile, tCred, cSvr));
    EXPECT_NE(std::string::npos, cLog.Text().find(szChanged));
    EXPECT_EQ(1, cSvr.CheckUser("alice", "new"));
    EXPECT_EQ(1, cSvr.CheckUser("bob", "b"));
}

namespace
{

// A parameter file of the given text (nullptr: none) in the test's directory.
std::string ParamFile(const char *szXml)
{
    const std::string strPath = FreshTestDir() + "/param.xml";
    if (szXml != nullptr) {
        WriteFile(strPath, szXml);
    }
    return strPath;
}

std::string Param(const std::string &strPath, const char *szName)
{
    CXmlParamFile cFile(strPath.c_str());
    cFile.Load();
    char ac[64] = {0};
    return cFile.GetParam("CHANNEL_1", szName, ac, sizeof(ac)) ? ac : "<absent>";
}

const char *Xml(const std::string &strParams)
{
    static std::string s_str;
    s_str = "<CONFIGURATION><CHANNEL_1>" + strParams + "</CHANNEL_1></CONFIGURATION>";
    return s_str.c_str();
}

std::string P(const char *szName, const char *szValue)
{
    return std::string("<PARAM NAME=\"") + szName + "\" TYPE=\"string\">" + szValue + "</PARAM>";
}

}  // namespace

TEST(ParamFile, MissingOrEmptyFileGainsDefaultsInOrderDamagedOneIsKept)
{
    struct TCase
    {
        const char *szXml;  // nullptr: no file
        bool bDamaged;
    };
    const TCase atCases[] = {{nullptr, false},
                             {"", false},
                             {"<CONFIGURATION><OTHER/></CONFIGURATION>", false},
                             {"<CONFIGURATION><NETWORK><PARAM NAME=\"ip\">1.2.3.4</PARAM>", true}};
    for (const TCase &tCase : atCases) {
        SCOPED_TRACE(tCase.szXml != nullptr ? tCase.szXml : "(no file)");
        CLogCapture cLog;
        const std::string strPath = ParamFile(tCase.szXml);
        std::string strPort;
        // Either way the documented defaults apply and SSH comes up.
        EXPECT_EQ(1, CheckParamFilePass(strPath.c_str(), strPort));
        EXPECT_EQ("22", strPort);
        std::string strLog = cLog.Text();
        EXPECT_NE(std::string::npos, strLog.find("attr service_telnetapi fail"));
        EXPECT_NE(std::string::npos, strLog.find("attr service_telnettlsapi fail"));
        EXPECT_NE(std::string::npos, strLog.find("we force start ssh service"));
        const bool bErrorLine =
            strLog.find("ERROR prase config file " + strPath + " err") != std::string::npos;
        EXPECT_EQ(tCase.bDamaged, bErrorLine);
        std::string strSaved = ReadAll(strPath);
        if (tCase.bDamaged) {
            EXPECT_EQ(tCase.szXml, strSaved) << "the other services' parameters must stay";
            continue;
        }
        size_t u64Ssh = strSaved.find("service_sshapi");
        size_t u64Telnet = strSaved.find("telnetapi_port");
        size_t u64Port = strSaved.find("sshapi_port");
        ASSERT_NE(std::string::npos, u64Ssh) << strSaved;
        EXPECT_LT(u64Ssh, u64Telnet);
        EXPECT_LT(u64Telnet, u64Port);
        EXPECT_EQ("true", Param(strPath, "service_sshapi"));
        EXPECT_EQ("23", Param(strPath, "telnetapi_port"));
    }
}

TEST(ParamFile, SwitchesAndPortsOfAFile)
{
    const std::string strLong(63, '9');
    struct TCase
    {
        std::string strParams;
        int s32Available;
        const char *szPort;        // reported and in the file afterwards
        const char *szTelnetPort;  // in the file afterwards
        bool bOffWarning;
        bool bForcedWarning;
    };
    const TCase atCases[] = {
        // A telnet service is on: the SSH switch decides.
        {P("service_sshapi", "false") + P("service_telnetapi", "TRUE") + P("sshapi_port", "2022"),
         0, "2022", "23", true, false},
        {P("service_sshapi", "false") + P("service_telnettlsapi", "trueish"), 0, "22", "23", true,
         false},
        // Neither is on (values that only look like "true"): a forced start. A
        // switch is on when its first four letters are "true" in any case.
        {P("service_sshapi", "FALSE") + P("service_telnetapi", "tru") +
             P("service_telnettlsapi", "1"),
         1, "22", "23", true, true},
        // A port that does not fit the 64-byte buffer is replaced; present
        // values are kept.
        {P("sshapi_port", strLong.c_str()) + P("telnetapi_port", "2323"), 1, "22", "2323", false,
         true},
    };
    for (const TCase &tCase : atCases) {
        SCOPED_TRACE(tCase.strParams);
        const std::string strPath = ParamFile(Xml(tCase.strParams));
        CLogCapture cLog;
        std::string strPort;
        EXPECT_EQ(tCase.s32Available, CheckParamFilePass(strPath.c_str(), strPort));
        EXPECT_EQ(tCase.szPort, strPort);
        EXPECT_EQ(tCase.szPort, Param(strPath, "sshapi_port"));
        EXPECT_EQ(tCase.szTelnetPort, Param(strPath, "telnetapi_port"));
        const std::string strLog = cLog.Text();
        EXPECT_EQ(tCase.bOffWarning,
                  strLog.find("WARN config ssh service unavailable now") != std::string::npos);
        EXPECT_EQ(tCase.bForcedWarning,
                  strLog.find("WARN Telnet and TelnetTls status: 0, we force start ssh service") !=
                      std::string::npos);
    }
}

// The service's table and answers behind the console, without pipes (the
// console's key making and dispatch rules are the fuzz target's).
TEST(DebugCommands, AnswersThroughTheTable)
{
    const std::string strHelp = "echo help > /var/request; cat /var/response\r\n"
                                "echo status > /var/request; cat /var/response\r\n"
                                "echo \"log verbose\" > /var/request; cat /var/response\r\n"
                                "echo \"log quiet\" > /var/request; cat /var/response\r\n";
    const std::string strDefault = strHelp + "echo default > /var/request; cat /var/response\r\n";
    CDebugFifo cFifo;
    testing::internal::CaptureStdout();
    cFifo.Init(DebugCmdTable);  // pipes under the test prefix
    testing::internal::GetCapturedStdout();
    cFifo.SetDefaultCmd("default", 4);
    log4cpp::Category &rCat = log4cpp::Category::getInstance("CATEGORY");
    const std::tuple<const char *, std::string, int> atCases[] = {
        {"help\n", strHelp, -1},
        {"status\n", "", -1},  // no session: no answer at all
        {"log verbose\n", "set log verbose(libssh need new connect) ok\r\n",
         log4cpp::Priority::DEBUG},
        {"log   quiet\r\n", "set log quiet(libssh need new connect) ok\r\n",
         log4cpp::Priority::INFO},
        {"log\n", strDefault, -1},
        {"\n", strDefault, -1},
    };
    for (const auto &tCase : atCases) {
        std::string strReq = std::get<0>(tCase);
        std::string strResp;
        cFifo.Dispatch(strReq, strResp);
        EXPECT_EQ(std::get<1>(tCase), strResp) << std::get<0>(tCase);
        if (std::get<2>(tCase) >= 0) {
            EXPECT_EQ(std::get<2>(tCase), rCat.getPriority()) << std::get<0>(tCase);
        }
    }
    std::string strNone;
    EXPECT_EQ(0, OnDebugCmd(-1, 0, strNone));  // ids outside the table answer nothing
    EXPECT_EQ(0, OnDebugCmd(5, 0, strNone));
    EXPECT_EQ("", strNone);
}

namespace
{

// ParseOptions on "sshapi" plus vecArgs: its status, what it wrote on
// standard output and error, and the options in one line.
std::tuple<int, std::string, std::string, std::string> Parse(std::vector<std::string> vecArgs)
{
    vecArgs.insert(vecArgs.begin(), "sshapi");
    std::vector<char *> vecArgv;
    for (std::string &strArg : vecArgs) {
        vecArgv.push_back(&strArg[0]);
    }
    TStartOptions t;
    optind = 0;  // getopt starts afresh
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int s32Status = ParseOptions(static_cast<int>(vecArgv.size()), vecArgv.data(), t);
    std::string strOut = testing::internal::GetCapturedStdout();
    std::string strErr = testing::internal::GetCapturedStderr();
    const std::string strOpts =
        "p=" + t.strPort + " t=" + t.strTelnetPort + " a=" + t.strIp + " k=" + t.strEd25519Key +
        " w=" + t.strPasswordMode + " U=" + t.strUser + " P=" + t.strPasswd +
        " limits=" + std::to_string(t.tLimits.s32MaxStartups) + "/" +
        std::to_string(t.tLimits.s32MaxStartupsPerSource) + "/" +
        std::to_string(t.tLimits.s32LoginPenaltySeconds) + "/" + std::to_string(t.s32MaxChannels);
    return {s32Status, strOut, strErr, strOpts};
}

}  // namespace

// The command line: repeated options concatenate, the four numbers take
// the last value within their bounds, and what the usage text lists but
// the table does not know (-k, --ipaddr) is refused with status 1.
TEST(CommandLine, OptionsAndTheirRefusals)
{
    const std::pair<std::vector<std::string>, const char *> atAccepted[] = {
        {{"-p", "22", "--port", "33", "-t", "2", "-t", "3"},
         "p=2233 t=23 a= k= w= U= P= limits=64/8/30/10"},
        {{"--ed25519",
          "/k",
          "--ip",
          "::1",
          "--password",
          "public",
          "--passwd",
          "d",
          "-U",
          "u",
          "--max-startups",
          "5",
          "--max-startups",
          "12",
          "--max-startups-per-source",
          "3",
          "--login-penalty",
          "0",
          "--max-channels",
          "64"},
         "p= t= a=::1 k=/k w=public U=u P=d limits=12/3/0/64"},
    };
    for (const auto &tCase : atAccepted) {
        EXPECT_EQ(std::make_tuple(0, std::string(), std::string(), std::string(tCase.second)),
                  Parse(tCase.first));
    }
    const std::pair<std::vector<std::string>, const char *> atRefused[] = {
        {{"-h"}, ""},
        {{"-k", "x"}, "invalid option -- 'k'"},
        {{"--ipaddr", "1.2.3.4"}, "unrecognized option '--ipaddr'"},
        {{"--max-startups", "0"}, "--max-startups needs a whole number from 1 to 10000, not '0'"},
        {{"--max-startups", "+5"}, "not '+5'"},
        {{"--max-startups", ""}, "not ''"},
        {{"--max-startups-per-source", "99999999999999999999"}, "from 1 to 10000"},
        {{"--login-penalty", "-1"}, "--login-penalty needs a whole number from 0 to 86400"},
        {{"--login-penalty", "86401"}, "not '86401'"},
        {{"--max-channels", "65"}, "--max-channels needs a whole number from 1 to 64, not '65'"},
    };
    for (const auto &tCase : atRefused) {
        auto tGot = Parse(tCase.first);
        EXPECT_EQ(1, std::get<0>(tGot)) << tCase.second;
        EXPECT_EQ(0u, std::get<1>(tGot).find("sshapi [options]\n")) << tCase.second;
        EXPECT_NE(std::string::npos, std::get<2>(tGot).find(tCase.second)) << std::get<2>(tGot);
    }
}
